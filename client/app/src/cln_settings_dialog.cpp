#include "cln_settings_dialog.h"

#include <common/gui/buttontags.h>
#include <common/gui/formkit.h>
#include <common/strtable.h>
#include <common/timeaddr.h>
#include <ctlpack/ctlpack.h>
#include <listkit/listkit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <algorithm>

namespace {

QLabel *MakeLabel(const char *name, const QString &text, QWidget *parent, int x, int y)
{
    auto *l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->adjustSize();
    l->move(x, y);
    return l;
}

QPushButton *MakeButton(const char *name, const QString &text, TClnSetTag tag, QWidget *parent,
                        const QRect &r)
{
    auto *b = new QPushButton(text, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(r);
    // Enter in an edit must not press whichever button last had the focus.
    b->setAutoDefault(false);
    if (tag != TClnSetTag::None)
        b->setProperty("Tag", TagValue(tag));
    return b;
}

TSEdit *MakeEdit(const char *name, QWidget *parent, const QRect &r)
{
    auto *e = new TSEdit(parent);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(r);
    e->SetEscape(true);
    e->SetDotAsDecimalSep(true);
    return e;
}

// Address keys: printable characters other than digits and the full stop are dropped;
// control characters and the blank pass.
bool AddressCharAllowed(QChar c)
{
    return c.unicode() < 33 || c == QLatin1Char('.') || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

bool AddressTextAllowed(const QString &text)
{
    return std::all_of(text.begin(), text.end(), AddressCharAllowed);
}

QString SystemFolderChooser(QWidget *owner, const QString &caption, const QString &start)
{
    return QFileDialog::getExistingDirectory(owner, caption, start, QFileDialog::ShowDirsOnly);
}

} // namespace

TClientSetDlg::TClientSetDlg(QWidget *mainWin)
    : QDialog(mainWin, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      FMainWin(mainWin)
{
    SetFolderChooser({});
    SetMountTableReader({});
    SetResolver({});
    BuildForm();
}

void TClientSetDlg::BuildForm()
{
    SetupForm(this, "ClientSetDlg", " Client Configuration", 12);
    setFixedSize(367, 222);

    p_panTop = new QFrame(this);
    p_panTop->setObjectName(QStringLiteral("p_panTop"));
    p_panTop->setGeometry(0, 0, 367, 25);
    p_panTop->setFocusPolicy(Qt::ClickFocus);
    Label1 = new QLabel(QStringLiteral("Connection  to Master"), p_panTop);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setFont(PixelFont("Segoe UI Semibold", 12, QFont::DemiBold));
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setGeometry(0, 0, 367, 25);

    p_panMaster = new QFrame(this);
    p_panMaster->setObjectName(QStringLiteral("p_panMaster"));
    p_panMaster->setGeometry(15, 28, 337, 144);
    p_panMaster->setFrameShape(QFrame::Panel);
    p_panMaster->setFrameShadow(QFrame::Raised);
    p_panMaster->setFocusPolicy(Qt::ClickFocus);

    Label2 = MakeLabel("Label2", QStringLiteral("IP  address"), p_panMaster, 16, 12);
    p_edAddr = MakeEdit("p_edAddr", p_panMaster, QRect(88, 9, 102, 23));
    p_edAddr->installEventFilter(this);
    connect(p_edAddr, &QLineEdit::textChanged, this, &TClientSetDlg::p_edAddrChange);

    p_bnNext = new QToolButton(p_panMaster);
    p_bnNext->setObjectName(QStringLiteral("p_bnNext"));
    p_bnNext->setGeometry(188, 9, 23, 20);
    p_bnNext->setAutoRaise(true);
    p_bnNext->setFont(PixelFont("DejaVu Sans", 12));
    p_bnNext->setText(QString(QChar(0x25BC)));
    p_bnNext->setToolTip(QStringLiteral("Next IP"));
    p_bnNext->setProperty("Tag", TagValue(TClnSetTag::NextAddress));
    p_bnNext->hide();

    p_bnTest = MakeButton("p_bnTest", QStringLiteral("Test\nConnection"), TClnSetTag::TestConnection,
                          p_panMaster, QRect(246, 9, 75, 47));

    Label3 = MakeLabel("Label3", QStringLiteral("Port number"), p_panMaster, 16, 38);
    p_edPort = MakeEdit("p_edPort", p_panMaster, QRect(89, 35, 69, 23));
    p_edPort->setEnabled(false);
    p_edPort->setMaxLength(5);
    p_edPort->SetEditKind(ekUFloat);

    Label4 = new QLabel(QStringLiteral("In LOCAL NETWORK, instead of IP, select any disc on master-station:"),
                        p_panMaster);
    Label4->setObjectName(QStringLiteral("Label4"));
    Label4->setGeometry(15, 69, 324, 33);
    Label4->setWordWrap(true);
    SetColour(Label4, QColor(0, 0, 255));

    Label5 = MakeLabel("Label5", QStringLiteral("Node name"), p_panMaster, 15, 111);
    p_edMast = MakeEdit("p_edMast", p_panMaster, QRect(88, 110, 151, 23));
    p_edMast->installEventFilter(this);
    p_bnMast = MakeButton("p_bnMast", QStringLiteral("Browse"), TClnSetTag::Browse, p_panMaster,
                          QRect(246, 110, 75, 23));

    p_bnOk = MakeButton("p_bnOk", QStringLiteral("OK"), TClnSetTag::Ok, this, QRect(106, 181, 75, 25));
    p_bnOk->setEnabled(false);
    p_bnEsc =
        MakeButton("p_bnEsc", QStringLiteral("Cancel"), TClnSetTag::None, this, QRect(187, 181, 75, 25));
    connect(p_bnEsc, &QPushButton::clicked, this, &TClientSetDlg::reject);

    for (QAbstractButton *b :
         {static_cast<QAbstractButton *>(p_bnMast), static_cast<QAbstractButton *>(p_bnTest),
          static_cast<QAbstractButton *>(p_bnOk), static_cast<QAbstractButton *>(p_bnNext)})
        connect(b, &QAbstractButton::clicked, this, [this, b] { p_bnMastClick(b); });
}

void TClientSetDlg::SetFolderChooser(FolderChooser chooser)
{
    FChooseFolder = chooser ? std::move(chooser) : FolderChooser(SystemFolderChooser);
}

void TClientSetDlg::SetMountTableReader(MountTableReader reader)
{
    FReadMountTable = reader ? std::move(reader) : MountTableReader(ReadMountTable);
}

void TClientSetDlg::SetResolver(THostResolver resolver)
{
    FResolve = resolver ? std::move(resolver) : THostResolver(ResolveHostIPv4);
}

bool TClientSetDlg::Execute(TClnSettings &settings)
{
    if (isVisible())
        return false;
    FSettings = settings;
    winId(); // the frame is known once the platform window exists
    W_PosCreatedForm(FMainWin, this, 50, -30);
    if (exec() != QDialog::Accepted)
        return false;
    settings = FSettings;
    return true;
}

void TClientSetDlg::showEvent(QShowEvent *e)
{
    QDialog::showEvent(e);
    FormActivate();
}

void TClientSetDlg::FormActivate()
{
    p_edAddr->setText(QString::fromStdU16String(FSettings.address));
    p_edPort->setText(QString::number(FSettings.port));
    p_edMast->setText(QString::fromStdU16String(FSettings.host));
    p_bnOk->setEnabled(false);
    p_bnTest->setEnabled(IsDottedAddress(FSettings.address));
}

void TClientSetDlg::ButtonUpdate()
{
    p_bnTest->setEnabled(!p_edPort->IsEditEmpty() && IsDottedAddress(p_edAddr->text().toStdU16String()));
    p_bnOk->setEnabled(FTestState == 1);
}

void TClientSetDlg::p_edAddrChange()
{
    if (isVisible())
        ButtonUpdate();
}

bool TClientSetDlg::eventFilter(QObject *watched, QEvent *e)
{
    if (watched == p_edAddr) {
        if (e->type() == QEvent::KeyPress && !AddressTextAllowed(static_cast<QKeyEvent *>(e)->text()))
            return true;
        if (e->type() == QEvent::InputMethod &&
            !AddressTextAllowed(static_cast<QInputMethodEvent *>(e)->commitString()))
            return true;
    } else if (watched == p_edMast && e->type() == QEvent::FocusIn) {
        // The node name comes from Browse; the edit passes the focus on and is never typed into.
        p_panMaster->setFocus();
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

void TClientSetDlg::p_bnMastClick(QObject *button)
{
    p_panTop->setFocus();
    switch (TagOf<TClnSetTag>(button)) {
    case TClnSetTag::Browse:
        Browse();
        break;
    case TClnSetTag::TestConnection:
        TestConnection();
        break;
    case TClnSetTag::Ok:
        Confirm();
        break;
    case TClnSetTag::NextAddress:
        NextAddress();
        break;
    default:
        break;
    }
}

void TClientSetDlg::ShowError(int stringId)
{
    MesBoxC(mkError, this, LoadStr(stringId), u"", W_Centre, W_Centre);
}

void TClientSetDlg::Browse()
{
    FTestState = 0;
    ButtonUpdate();

    const QString folder = FChooseFolder(this, QString::fromStdU16String(LoadStr(IDS_CLN_SELECT_DISC)),
                                         QString::fromStdU16String(F_GetMyComputerFolder()));
    if (folder.isEmpty())
        return;
    const QString node = FolderHost(folder, FReadMountTable());
    if (node.isEmpty()) {
        ShowError(IDS_CLN_UNC_ERROR);
        return;
    }

    UnicodeString joined;
    {
        // The lookup blocks until the resolver answers.
        QApplication::setOverrideCursor(Qt::WaitCursor);
        joined = FResolve(node.toStdU16String());
        QApplication::restoreOverrideCursor();
    }
    std::vector<UnicodeString> list;
    Sv_StrToList(joined, u",", list);
    if (list.empty()) {
        ShowError(IDS_CLN_NO_MASTER_ADDRESS);
        return;
    }

    p_edMast->setText(node);
    FAddressList = std::move(list);
    FListIndex = 0;
    p_edAddr->setText(QString::fromStdU16String(FAddressList.front()));
    const auto count = static_cast<int>(FAddressList.size());
    if (count >= 2)
        MesBoxC(mkInfo, this, LoadFmt(IDS_CLN_ADDRESS_COUNT, {count}), u"", W_Centre, W_Centre);
    p_bnNext->setVisible(count >= 2);
    ButtonUpdate();
}

void TClientSetDlg::NextAddress()
{
    if (FAddressList.empty())
        return;
    FListIndex = NextAddressIndex(FListIndex, FAddressList.size());
    p_edAddr->setText(QString::fromStdU16String(FAddressList[FListIndex]));
}

void TClientSetDlg::TestConnection()
{
    const QString address = p_edAddr->text();
    int port = 0;
    try {
        port = p_edPort->GetAsInteger();
    } catch (const EConvertError &) {
        port = 0;
    }
    if (!IsDottedAddress(address.toStdU16String())) {
        ShowError(IDS_CLN_BAD_ADDRESS);
        return;
    }
    if (port < 1 || port > 65534) {
        ShowError(IDS_CLN_BAD_PORT);
        return;
    }
    // Taken only once they pass, so a refused test never leaves OK storing a bad address.
    FTestedAddress = address;
    FTestedPort = port;

    setEnabled(false);
    FTestRunning = true;
    emit testRequested(FTestedAddress, static_cast<quint16>(FTestedPort));
}

void TClientSetDlg::ReportTestResult(int result)
{
    if (!FTestRunning)
        return;
    FTestRunning = false;
    const int state = result == 1 ? 1 : 2;
    MesBoxC(mkInfo, this, LoadStr(state == 1 ? IDS_CLN_TEST_OK : IDS_CLN_TEST_FAILED), u"", W_Centre,
            W_Centre);
    setEnabled(true);
    FTestState = state;
    p_bnOk->setEnabled(state == 1);
}

void TClientSetDlg::Confirm()
{
    if (FTestState != 1) {
        ShowError(IDS_CLN_NOT_TESTED);
        return;
    }
    FSettings.address = FTestedAddress.toStdU16String();
    FSettings.port = static_cast<std::uint16_t>(FTestedPort);
    FSettings.host = p_edMast->text().toStdU16String();
    ClnSetSave(FSettings);
    accept();
}

void TClientSetDlg::reject()
{
    if (!FTestRunning)
        QDialog::reject();
}

void TClientSetDlg::closeEvent(QCloseEvent *e)
{
    if (FTestRunning) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}
