#include <common/gui/aboutdlg.h>
#include <common/gui/ownerdata.h>

#include <testsupport/screenshots.h>

#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

QString Cell(TAboutDlg &dlg, int row, int col)
{
    return dlg.p_lvAbout->model()->data(dlg.p_lvAbout->model()->index(row, col)).toString();
}

// Receives the addresses the link label opens instead of a web browser.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

} // namespace

TEST(AboutRows, ProgramWithoutVersionInformationKeepsEmptyValues)
{
    // The test program carries no version block: rows 1 to 5 keep only their labels.
    TAboutDlg dlg;
    dlg.show();
    ASSERT_EQ(dlg.Rows().size(), 8u);
    EXPECT_EQ(QString::fromStdU16String(dlg.Rows()[0]), QStringLiteral(" Product Name^"));
    EXPECT_EQ(QString::fromStdU16String(dlg.Rows()[2]), QStringLiteral(" Module Name ^"));
    EXPECT_EQ(QString::fromStdU16String(dlg.Rows()[3]), QStringLiteral(" Module Executable File^"));
    EXPECT_EQ(dlg.p_lvAbout->model()->rowCount(), 8);
    EXPECT_EQ(Cell(dlg, 3, 0), QStringLiteral(" Module Executable File"));
    EXPECT_EQ(Cell(dlg, 3, 1), QString());
    EXPECT_EQ(Cell(dlg, 2, 0), QStringLiteral(" Module Name "));
    EXPECT_FALSE(Cell(dlg, 5, 1).isEmpty()) << "support row carries its contact";
    EXPECT_FALSE(Cell(dlg, 6, 0).isEmpty());
    EXPECT_FALSE(Cell(dlg, 7, 1).isEmpty());
}

TEST(AboutRows, ProgramWithVersionInformationFillsProductAndModuleRows)
{
    const QString master = QStringLiteral(KORVEL_BIN_DIR "/master");
    if (!QFileInfo::exists(master))
        GTEST_SKIP() << "master not built";
    TAboutDlg dlg;
    dlg.SetProgramFile(master);
    dlg.show();
    EXPECT_EQ(Cell(dlg, 0, 1), QStringLiteral("Korvel"));
    EXPECT_FALSE(Cell(dlg, 1, 1).isEmpty());
    EXPECT_EQ(Cell(dlg, 2, 1), QStringLiteral("Korvel Master"));
    EXPECT_EQ(Cell(dlg, 3, 1), QStringLiteral("master")) << "file name without its folder";
    EXPECT_FALSE(Cell(dlg, 4, 1).isEmpty());
    testsupport::saveScreenshot(&dlg, QStringLiteral("about_box"));
}

TEST(AboutRows, RowsAreRefilledOnEveryShow)
{
    TAboutDlg dlg;
    dlg.show();
    dlg.hide();
    dlg.show();
    EXPECT_EQ(dlg.Rows().size(), 8u);
}

TEST(AboutLink, ColourFollowsTheMouse)
{
    TAboutDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.p_labURL->palette().color(QPalette::WindowText), QColor(128, 128, 128));
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(dlg.p_labURL, &enter);
    EXPECT_EQ(dlg.p_labURL->palette().color(QPalette::WindowText), QColor(0, 128, 128));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(dlg.p_labURL, &leave);
    EXPECT_EQ(dlg.p_labURL->palette().color(QPalette::WindowText), QColor(128, 128, 128));
}

TEST(AboutLink, ClickOpensTheCaptionsAddress)
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    TAboutDlg dlg;
    dlg.show();
    EXPECT_EQ(dlg.BrowseUrl(), dlg.p_labURL->text());
    QTest::mouseClick(dlg.p_labURL, Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl::fromUserInput(dlg.p_labURL->text()));
    // A right click opens nothing.
    QTest::mouseClick(dlg.p_labURL, Qt::RightButton);
    EXPECT_EQ(catcher.urls.size(), 1);
}

TEST(AboutFocus, ListPassesTheFocusOn)
{
    TAboutDlg dlg;
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.p_lvAbout->setFocus(Qt::MouseFocusReason);
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.p_panTop->hasFocus(); }, 1000));
    EXPECT_FALSE(dlg.p_lvAbout->hasFocus());
}

TEST(AboutForm, DesignedSizeAndOkResult)
{
    QWidget owner;
    owner.setGeometry(200, 150, 400, 300);
    owner.show();
    int result = -1;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *dlg = qobject_cast<TAboutDlg *>(w);
            if (dlg && dlg->isVisible()) {
                EXPECT_EQ(dlg->size(), QSize(352, 213));
                EXPECT_EQ(dlg->windowTitle(), QStringLiteral(" About The Program"));
                EXPECT_EQ(dlg->P_bnOk->size(), QSize(62, 22));
                const QPoint c = dlg->frameGeometry().center();
                EXPECT_NEAR(c.x(), owner.frameGeometry().center().x(), 2);
                EXPECT_NEAR(c.y(), owner.frameGeometry().center().y(), 2);
                QTest::mouseClick(dlg->P_bnOk, Qt::LeftButton);
            }
        }
    });
    result = TAboutDlg::ShowAbout(&owner);
    EXPECT_EQ(result, 2);
}

#include "aboutdlg_test.moc"
