#include <common/gui/aboutdlg.h>
#include <common/gui/formkit.h>
#include <common/gui/ownerdata.h>

#include <corekit/corekit.h>
#include <listkit/listkit.h>

#include <QDesktopServices>
#include <QEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <unistd.h>

#include <climits>

namespace {

// Row templates: label "^" value. Rows 1-5 get their value from the version information.
const char *const RowTemplates[] = {
    " Product Name^",
    " Product Version^",
    " Module Name ^",
    " Module Executable File^",
    " Module File Version^",
    " Support service^support@ardentis.example",
    " Copyright^\xC2\xA9 2026 Ardentis",
    " Trademark^Korvel is a trademark of Ardentis",
};

// Positions of the version-information keys in F_GetVersionInfo's list.
enum { viFileDescription = 1, viFileVersion = 2, viProductName = 7, viProductVersion = 8 };

const char *const MakerUrl = "https://www.ardentis.example";

const QColor LinkGrey(128, 128, 128);
const QColor LinkTeal(0, 128, 128);

} // namespace

QString RunningProgramFile()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return QString::fromLocal8Bit(buf, n);
}

TAboutDlg::TAboutDlg(QWidget *parent) : QDialog(parent), FProgramFile(RunningProgramFile())
{
    setWindowFlags(Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    SetupForm(this, "AboutDlg", " About The Program", 11);
    setFixedSize(352, 213);

    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    p_panBase = new QFrame(this);
    p_panBase->setObjectName(QStringLiteral("p_panBase"));
    outer->addWidget(p_panBase);
    auto *base = StackLayout(p_panBase, QMargins(6, 4, 6, 0));

    p_panTop = MakeBand(p_panBase, "p_panTop", 12);
    p_panTop->setFocusPolicy(Qt::ClickFocus);
    Shape1 = new QFrame(p_panTop);
    Shape1->setObjectName(QStringLiteral("Shape1"));
    Shape1->setAutoFillBackground(true);
    Shape1->setBackgroundRole(QPalette::Base);
    Shape1->setGeometry(0, 4, 352 - 12, 8);
    base->addWidget(p_panTop);

    FModel = new TOwnerDataModel(
        {Qt::AlignLeft, Qt::AlignLeft}, [this](int r, int c) { return p_lvAboutData(r, c); }, this);
    p_lvAbout = new QTableView(p_panBase);
    p_lvAbout->setObjectName(QStringLiteral("p_lvAbout"));
    p_lvAbout->setFrameShape(QFrame::NoFrame);
    p_lvAbout->setFont(PixelFont("Segoe UI", 12));
    SetColour(p_lvAbout, QColor(48, 28, 14), QPalette::Text);
    p_lvAbout->setModel(FModel);
    SetupReportView(p_lvAbout, {156, 184}, false);
    p_lvAbout->setSelectionMode(QAbstractItemView::NoSelection);
    p_lvAbout->installEventFilter(this);
    base->addWidget(p_lvAbout, 1);

    p_panBot = MakeBand(p_panBase, "p_panBot", 30);
    auto *bot = new QHBoxLayout(p_panBot);
    bot->setContentsMargins(0, 0, 0, 0);
    p_labURL = new QLabel(QString::fromLatin1(MakerUrl), p_panBot);
    p_labURL->setObjectName(QStringLiteral("p_labURL"));
    p_labURL->setCursor(Qt::PointingHandCursor);
    p_labURL->setAttribute(Qt::WA_TranslucentBackground);
    {
        QFont f = PixelFont("Segoe UI Semibold", 12, QFont::DemiBold);
        f.setUnderline(true);
        p_labURL->setFont(f);
    }
    SetColour(p_labURL, LinkGrey);
    p_labURL->installEventFilter(this);
    bot->addWidget(p_labURL, 0, Qt::AlignLeft | Qt::AlignVCenter);
    bot->addStretch(1);
    P_bnOk = new QPushButton(QStringLiteral("OK"), p_panBot);
    P_bnOk->setObjectName(QStringLiteral("P_bnOk"));
    P_bnOk->setFixedSize(62, 22);
    P_bnOk->setDefault(true);
    bot->addWidget(P_bnOk, 0, Qt::AlignRight | Qt::AlignVCenter);
    connect(P_bnOk, &QPushButton::clicked, this, [this] { done(2); });
    base->addWidget(p_panBot);
}

int TAboutDlg::ShowAbout(QWidget *centreOver)
{
    TAboutDlg dlg(nullptr);
    if (centreOver) {
        const QRect owner = centreOver->frameGeometry();
        dlg.move(owner.x() + (owner.width() - dlg.width()) / 2,
                 owner.y() + (owner.height() - dlg.height()) / 2);
    }
    return dlg.exec();
}

QString TAboutDlg::p_lvAboutData(int row, int column) const
{
    if (row < 0 || row >= static_cast<int>(FRows.size()))
        return {};
    const UnicodeString &r = FRows[static_cast<size_t>(row)];
    return QString::fromStdU16String(column == 0 ? S_Before(r, u'^') : S_After(r, u'^'));
}

void TAboutDlg::FormShow()
{
    FRows.clear();
    for (const char *t : RowTemplates)
        FRows.push_back(Utf8ToUnicode(t));

    std::vector<UnicodeString> info;
    if (!FProgramFile.isEmpty() && F_GetVersionInfo(FProgramFile.toStdU16String(), info) &&
        info.size() >= 10) {
        FRows[0] += info[viProductName];
        FRows[1] += info[viProductVersion];
        FRows[2] += info[viFileDescription];
        FRows[3] += QFileInfo(FProgramFile).fileName().toStdU16String();
        FRows[4] += info[viFileVersion];
    }
    FBrowseUrl = p_labURL->text();
    FModel->SetItemCount(static_cast<int>(FRows.size()));
}

void TAboutDlg::showEvent(QShowEvent *e)
{
    FormShow();
    QDialog::showEvent(e);
}

bool TAboutDlg::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == p_labURL) {
        switch (e->type()) {
        case QEvent::Enter:
            p_labURLMouseEnter();
            break;
        case QEvent::Leave:
            p_labURLMouseLeave();
            break;
        case QEvent::MouseButtonRelease:
            if (static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton)
                p_labURLClick();
            break;
        default:
            break;
        }
    } else if (watched == p_lvAbout && e->type() == QEvent::FocusIn) {
        p_lvAboutEnter();
    }
    return QDialog::eventFilter(watched, e);
}

void TAboutDlg::p_labURLClick()
{
    QDesktopServices::openUrl(QUrl::fromUserInput(FBrowseUrl));
}

void TAboutDlg::p_labURLMouseEnter()
{
    SetColour(p_labURL, LinkTeal);
    p_labURL->update();
}

void TAboutDlg::p_labURLMouseLeave()
{
    SetColour(p_labURL, LinkGrey);
    p_labURL->update();
}

void TAboutDlg::p_lvAboutEnter()
{
    // The list never shows a focused row: the focus moves on at once.
    p_panTop->setFocus(Qt::OtherFocusReason);
}
