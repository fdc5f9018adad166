#include "boxdriver.h"

#include <QScreen>
#include <QStyle>
#include <gtest/gtest.h>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString CyrillicOk = QString(QChar(0x041E)) + QChar(0x041A);

// Ticks the check box with the mouse, then runs the closing action.
BoxDriver::Action tickThen(BoxDriver::Action then)
{
    return [then](QDialog *box) {
        auto *cbx = box->findChild<QCheckBox *>(u"p_cbxHide"_s);
        QTest::mouseClick(cbx, Qt::LeftButton, {}, QPoint(5, cbx->height() / 2));
        then(box);
    };
}

int need(const QString &text)
{
    TCheckMesBox box;
    return static_cast<int>(1.2 * box.fontMetrics().horizontalAdvance(text));
}

QString repeatWords(int count)
{
    QStringList words;
    for (int i = 0; i < count; ++i)
        words << u"word"_s;
    return words.join(QLatin1Char(' '));
}

UnicodeString toU(const QString &s)
{
    return UnicodeString(reinterpret_cast<const char16_t *>(s.utf16()), static_cast<size_t>(s.size()));
}

} // namespace

TEST(CMesBoxOpt, NotificationHasOneButtonAndTheInformationPicture)
{
    for (bool russian : {false, true}) {
        BoxDriver driver(click("p_bnOk"), russian ? u"optbox_info_ru"_s : u"optbox_info_en"_s);
        bool hide = true;
        EXPECT_TRUE(CMesBoxOpt(mkInfo, nullptr, russian ? u"Сеанс завершён." : u"Session ended.", hide,
                               W_Centre, W_Centre));
        EXPECT_FALSE(hide);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, russian ? u"Уведомление"_s : u"Notification"_s);
        EXPECT_EQ(driver.seen[0].buttons, QStringList{u"p_bnOk="_s + CyrillicOk});
        EXPECT_EQ(driver.seen[0].pictures, QStringList{u"p_imgInfo"_s});
        EXPECT_TRUE(driver.seen[0].checkShown);
        EXPECT_FALSE(driver.seen[0].checked);
        EXPECT_EQ(driver.beeps, std::vector<unsigned>{0});
    }
}

TEST(CMesBoxOpt, WarningHasOkAndCancel)
{
    for (bool russian : {false, true}) {
        BoxDriver driver(click("p_bnEsc"), russian ? u"optbox_warning_ru"_s : u"optbox_warning_en"_s);
        bool hide = true;
        EXPECT_FALSE(CMesBoxOpt(mkWarning, nullptr,
                                russian ? u"Диск почти заполнен." : u"The disc is nearly full.", hide,
                                W_Centre, W_Centre));
        EXPECT_FALSE(hide);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, russian ? u"Предупреждение"_s : u"Warning"_s);
        EXPECT_EQ(driver.seen[0].buttons, (QStringList{u"p_bnOk="_s + CyrillicOk,
                                                       russian ? u"p_bnEsc=Отмена"_s : u"p_bnEsc=Cancel"_s}));
        EXPECT_EQ(driver.seen[0].pictures, QStringList{u"p_imgExcl"_s});
        EXPECT_EQ(driver.beeps, std::vector<unsigned>{48});
    }
}

TEST(CMesBoxOpt, HideIsReturnedHoweverTheBoxClosed)
{
    struct Case {
        BoxDriver::Action action;
        bool result;
    };
    const Case cases[] = {{tickThen(click("p_bnOk")), true},
                          {tickThen(click("p_bnEsc")), false},
                          {tickThen(closeBox()), false},
                          {tickThen(press(Qt::Key_Return)), true}};
    for (const Case &c : cases) {
        BoxDriver driver(c.action);
        bool hide = false;
        EXPECT_EQ(CMesBoxOpt(mkWarning, nullptr, u"Proceed?", hide, W_Centre, W_Centre), c.result);
        EXPECT_TRUE(hide);
    }
    BoxDriver driver(closeBox());
    bool hide = true;
    EXPECT_FALSE(CMesBoxOpt(mkInfo, nullptr, u"Done.", hide, W_Centre, W_Centre));
    EXPECT_FALSE(hide);
}

TEST(CMesBoxOpt, OtherKindsOnlyBeep)
{
    BoxDriver driver(click("p_bnOk"));
    for (int kind : {0, 2, 3, 5, -1, 44}) {
        bool hide = true;
        EXPECT_FALSE(CMesBoxOpt(kind, nullptr, u"Proceed?", hide, W_Centre, W_Centre));
        EXPECT_TRUE(hide);
    }
    EXPECT_TRUE(driver.seen.empty());
    EXPECT_EQ(driver.beeps, std::vector<unsigned>(6, noticekit::SimpleBeep));
}

TEST(CMesBoxOpt, LanguageTestUpperCasesFirst)
{
    struct Case {
        const char16_t *message;
        QString title;
    };
    for (const Case &c :
         {Case{u"внимание", u"Предупреждение"_s}, Case{u"Внимание", u"Предупреждение"_s},
          Case{u"бланк", u"Warning"_s}, Case{u"warning", u"Warning"_s}, Case{u"", u"Warning"_s}}) {
        BoxDriver driver(closeBox());
        bool hide = false;
        CMesBoxOpt(mkWarning, nullptr, c.message, hide, W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].title, c.title);
    }
}

TEST(CMesBoxOpt, EscapeDoesNothingAndCursorComesBack)
{
    QGuiApplication::setOverrideCursor(QCursor(Qt::BusyCursor));
    bool open = false;
    BoxDriver driver([&](QDialog *box) {
        press(Qt::Key_Escape)(box);
        open = box->isVisible();
        box->close();
    });
    bool hide = false;
    CMesBoxOpt(mkInfo, nullptr, u"Done.", hide, W_Centre, W_Centre);
    EXPECT_TRUE(open);
    EXPECT_EQ(driver.seen.at(0).cursor, Qt::ArrowCursor);
    EXPECT_EQ(QGuiApplication::overrideCursor()->shape(), Qt::BusyCursor);
    QGuiApplication::restoreOverrideCursor();
}

TEST(CMesBoxOpt, FailedBeepFallsBack)
{
    BoxDriver driver(closeBox());
    driver.failing = {48};
    bool hide = false;
    CMesBoxOpt(mkWarning, nullptr, u"Proceed?", hide, W_Centre, W_Centre);
    EXPECT_EQ(driver.beeps, (std::vector<unsigned>{48, noticekit::SimpleBeep}));
}

TEST(TCheckMesBoxFit, HeightAndWidthFollowTheMessageLength)
{
    const int room = 234;
    TCheckMesBox design;
    EXPECT_EQ(design.size(), QSize(300, 142));
    EXPECT_EQ(design.p_panMes->width() - 16, room);

    // Find messages for each band from the measured width, so the test holds for any font.
    int words = 1;
    while (need(repeatWords(words + 1)) <= room)
        ++words;
    const QString oneLine = repeatWords(words);
    const QString twoLines = repeatWords(words + 1);
    ASSERT_LE(need(twoLines), 2 * room);
    const QString longer = repeatWords(words * 4);
    ASSERT_GT(need(longer), 2 * room);

    TCheckMesBox a;
    a.FitText(toU(oneLine));
    EXPECT_EQ(a.size(), QSize(300, 120));
    // One line as measured stays the designed height even when its line breaks wrap it.
    const QString broken = u"Saved.\nRestart the agent.\nDone."_s;
    ASSERT_LE(need(broken), room);
    TCheckMesBox lines;
    lines.FitText(toU(broken));
    EXPECT_EQ(lines.size(), QSize(300, 120));
    TCheckMesBox b;
    b.FitText(toU(twoLines));
    EXPECT_EQ(b.size(), QSize(300, 127));
    TCheckMesBox c;
    c.FitText(toU(longer));
    EXPECT_EQ(c.width(), 300 + need(longer) / 3 - room);
    EXPECT_EQ(c.height(), 142);
    EXPECT_EQ(c.p_labMes->text(), longer);
    // The text fits the message panel in every band.
    for (TCheckMesBox *box : {&a, &b, &c})
        EXPECT_LE(box->p_labMes->geometry().bottom(), box->p_panMes->height());
}

TEST(TCheckMesBoxFit, FormShowCentresCheckBoxAndButtons)
{
    TCheckMesBox box;
    box.SetTwoButtons(true);
    box.FitText(u"Proceed?");
    box.FormShow();
    const int w = box.p_panTop->width();
    EXPECT_EQ(box.p_cbxHide->x(), (w - box.p_cbxHide->width()) / 2);
    EXPECT_EQ(box.p_bnOk->x(), (w - 160) / 2);
    EXPECT_EQ(box.p_bnEsc->x(), box.p_bnOk->x() + 85);
    EXPECT_EQ(box.p_bnOk->y(), 13);
    EXPECT_EQ(box.p_cbxHide->geometry(), QRect(88, -1, 123, 17)) << "designed size, centred";

    box.SetTwoButtons(false);
    box.FormShow();
    EXPECT_EQ(box.p_bnOk->x(), (w - 75) / 2);
    EXPECT_TRUE(box.p_bnEsc->isHidden());
}

TEST(CMesBoxOpt, CheckBoxHasItsDesignedColourAndSize)
{
    const QColor designed(168, 184, 193);
    QRect shown;
    QImage shot;
    bool fits = false;
    BoxDriver driver([&](QDialog *box) {
        auto *cbx = box->findChild<QCheckBox *>(u"p_cbxHide"_s);
        shown = QRect(cbx->mapTo(box, QPoint(0, 0)), cbx->size());
        const QStyle *style = cbx->style();
        fits = style->pixelMetric(QStyle::PM_IndicatorWidth, nullptr, cbx) +
                   style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, nullptr, cbx) +
                   cbx->fontMetrics().horizontalAdvance(cbx->text()) <=
               cbx->width();
        shot = testsupport::screenshot(box, u"optbox_checkbox"_s);
        box->close();
    });
    bool hide = false;
    CMesBoxOpt(mkInfo, nullptr, u"Session ended.", hide, W_Centre, W_Centre);
    ASSERT_FALSE(shot.isNull());
    EXPECT_EQ(shown.size(), QSize(123, 17));
    EXPECT_EQ(shown.left(), 88);
    EXPECT_TRUE(fits) << "the caption needs Calibri or its metric twin Carlito to fit";
    // Most of the check box is its background; the panel around it is the window's.
    int background = 0;
    for (int y = std::max(0, shown.top()); y <= shown.bottom(); ++y)
        for (int x = shown.left(); x <= shown.right(); ++x)
            background += shot.pixelColor(x, y) == designed;
    EXPECT_GT(background, shown.width() * shown.height() / 2);
    EXPECT_NE(shot.pixelColor(shown.left() - 2, shown.center().y()), designed);
    EXPECT_NE(shot.pixelColor(shown.right() + 2, shown.center().y()), designed);
}

TEST(CMesBoxCheck, WithoutCheckThereIsNoCheckBoxAndCheckStaysFalse)
{
    BoxDriver driver(click("p_bnOk"), u"checkbox_nocheck_en"_s);
    bool check = false;
    EXPECT_TRUE(
        CMesBoxCheck(nullptr, mkQuestion, check, u"Delete the entry?", u"Korvel", W_Centre, W_Centre));
    EXPECT_FALSE(check);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_FALSE(driver.seen[0].checkShown);
    EXPECT_EQ(driver.seen[0].client, QSize(300, 142 - 19 - 22));
    EXPECT_EQ(driver.seen[0].title, u"Korvel"_s);
    EXPECT_EQ(driver.seen[0].pictures, QStringList{u"p_imgQuest"_s});
    EXPECT_EQ(driver.beeps, std::vector<unsigned>{48});
}

TEST(CMesBoxCheck, WithCheckTheStateIsReturned)
{
    for (bool russian : {false, true}) {
        BoxDriver driver(tickThen(click("p_bnEsc")),
                         russian ? u"checkbox_check_ru"_s : u"checkbox_check_en"_s);
        bool check = true;
        EXPECT_FALSE(CMesBoxCheck(nullptr, mkWarning, check,
                                  russian ? u"удалить запись?" : u"Delete the entry?", u"", W_Centre,
                                  W_Centre));
        EXPECT_TRUE(check);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_TRUE(driver.seen[0].checkShown);
        EXPECT_FALSE(driver.seen[0].checked);
        EXPECT_EQ(driver.seen[0].title, QString()); // the caption, even empty
        EXPECT_EQ(driver.seen[0].buttons, (QStringList{u"p_bnOk="_s + CyrillicOk,
                                                       russian ? u"p_bnEsc=Отмена"_s : u"p_bnEsc=Cancel"_s}));
        EXPECT_EQ(driver.seen[0].client, QSize(300, 120));
    }
    BoxDriver driver(closeBox());
    bool check = true;
    EXPECT_FALSE(CMesBoxCheck(nullptr, mkInfo, check, u"Delete?", u"", W_Centre, W_Centre));
    EXPECT_FALSE(check);
}

TEST(CMesBoxCheck, PictureFollowsTheKind)
{
    struct Case {
        int kind;
        QStringList pictures;
    };
    for (const Case &c : {Case{1, {u"p_imgInfo"_s}}, Case{3, {u"p_imgQuest"_s}}, Case{4, {u"p_imgExcl"_s}},
                          Case{0, {}}, Case{2, {}}}) {
        BoxDriver driver(click("p_bnOk"));
        bool check = false;
        EXPECT_TRUE(CMesBoxCheck(nullptr, c.kind, check, u"Proceed?", u"Title", W_Centre, W_Centre));
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].pictures, c.pictures) << c.kind;
        EXPECT_EQ(driver.seen[0].buttons.size(), 2) << c.kind;
    }
}

TEST(CheckBoxesBadInput, AnyMessageGivesABoxInsideTheScreen)
{
    const QRect s = QGuiApplication::primaryScreen()->geometry();
    QString tenThousand;
    while (tenThousand.size() < 10000)
        tenThousand += u"word "_s;
    tenThousand.truncate(10000);
    const QString messages[] = {QString(), tenThousand, QString(5000, QLatin1Char('x')),
                                u"שלום עולם، مرحبا بالعالم"_s, u"bad "_s + QChar(0xD800) + u" text"_s};
    for (const QString &m : messages) {
        BoxDriver driver(closeBox());
        bool hide = false;
        CMesBoxOpt(mkWarning, nullptr, toU(m), hide, W_Centre, W_Centre);
        bool check = true;
        CMesBoxCheck(nullptr, mkQuestion, check, toU(m), u"", W_Centre, W_Centre);
        ASSERT_EQ(driver.seen.size(), 2u);
        for (const SeenBox &b : driver.seen) {
            EXPECT_TRUE(s.contains(b.frame)) << b.frame.width() << "x" << b.frame.height();
            EXPECT_GE(b.client.width(), 300);
        }
    }
    // A long message fills the screen's width and takes more lines instead of a wider box.
    TCheckMesBox box;
    box.FitText(toU(tenThousand));
    EXPECT_GT(box.p_labMes->height(), 100);
}

TEST(CheckBoxesPlacement, CentredOverTheParentWithTheirFinalSize)
{
    QWidget parent;
    parent.setGeometry(100, 100, 600, 400);
    parent.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    const QRect p = parent.frameGeometry();
    BoxDriver driver(click("p_bnOk"));
    bool hide = false;
    CMesBoxOpt(mkInfo, &parent, u"Done.", hide, W_Centre, W_Centre);
    const QRect f = driver.seen.at(0).frame;
    EXPECT_EQ(f.left(), p.left() + (p.width() - f.width()) / 2);
    EXPECT_EQ(f.top(), p.top() + (p.height() - f.height()) / 2);

    BoxDriver again(click("p_bnOk"));
    bool check = false;
    CMesBoxCheck(&parent, mkInfo, check, u"Done.", u"", 20, 30);
    EXPECT_EQ(again.seen.at(0).frame.topLeft(), p.topLeft() + QPoint(20, 30));
}
