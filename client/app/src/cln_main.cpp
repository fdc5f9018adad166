#include "cln_main.h"

#include "cln_settings_dialog.h"

#include <common/cmn_err.h>
#include <common/gui/aboutdlg.h>
#include <common/gui/buttontags.h>
#include <common/gui/formkit.h>
#include <common/gui/helpopen.h>
#include <common/strtable.h>
#include <common/timeaddr.h>
#include <corekit/corekit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cstdio>

namespace {

// A caption above one of the three text panels.
QLabel *Caption(QWidget *parent, const char *name, const char *text, int top)
{
    auto *l = new QLabel(QString::fromLatin1(text), parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(16, top, 334, 17);
    l->setFont(PixelFont("Segoe UI Semibold", 12, QFont::DemiBold));
    SetColour(l, QColor(110, 110, 110));
    return l;
}

// A sunken panel holding one label that fills it.
QLabel *TextPanel(QWidget *parent, QFrame *&panel, const char *panelName, const char *labelName, int top,
                  int height, const QColor &colour, bool wrap)
{
    panel = new QFrame(parent);
    panel->setObjectName(QString::fromLatin1(panelName));
    panel->setGeometry(16, top, 334, height);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    auto *lay = new QVBoxLayout(panel);
    lay->setContentsMargins(6, 2, 6, 2);
    auto *label = new QLabel(panel);
    label->setObjectName(QString::fromLatin1(labelName));
    label->setFont(PixelFont("Trebuchet MS", 13));
    label->setAlignment(wrap ? Qt::AlignLeft | Qt::AlignTop : Qt::AlignLeft | Qt::AlignVCenter);
    label->setWordWrap(wrap);
    SetColour(label, colour);
    lay->addWidget(label);
    return label;
}

} // namespace

QPoint ClnMainWinPos(int screenWidth, int screenHeight, int windowWidth, int windowHeight)
{
    return PlaceFromScreenEnd(screenWidth, screenHeight, windowWidth, windowHeight, 13, 16);
}

TClnMainWin::TClnMainWin(const TClnWinOptions &options, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      FOptions(options), FShot(this, options.agent.screenshotFile)
{
    BuildForm();
    FAgent = new TClnAgent(this, FOptions.timings);
    connect(FAgent, &TClnAgent::statusChanged, this, &TClnMainWin::SetStatus);
    connect(FAgent, &TClnAgent::appsChanged, this, &TClnMainWin::SetApps);
    connect(FAgent, &TClnAgent::errorShown, this, &TClnMainWin::ShowError);
    connect(FAgent, &TClnAgent::busyChanged, this, &TClnMainWin::SetBusy);
    // The lamp shows a master request's connection only, not the dialog's connection test.
    connect(FAgent, &TClnAgent::requestConnected, this, [this] {
        p_bnSet->setEnabled(false);
        p_labLed->setEnabled(true);
        p_labLed->repaint();
    });
    connect(FAgent, &TClnAgent::disconnected, this, [this] {
        p_bnSet->setEnabled(true);
        p_labLed->setEnabled(false);
        p_labLed->update();
    });
    connect(FAgent, &TClnAgent::minimiseDue, this, [this] { showMinimized(); });
    connect(FAgent, &TClnAgent::shutdownDue, this, [this] {
        FClosing = true;
        close();
    });

    // The dialog's connection test runs through the agent, beside the master's requests.
    FSetDlg = new TClientSetDlg(this);
    connect(FSetDlg, &TClientSetDlg::testRequested, FAgent, &TClnAgent::TestConnection);
    connect(FAgent, &TClnAgent::testResult, FSetDlg, &TClientSetDlg::ReportTestResult);
    FConfigure = [this](TClnSettings &settings) { return FSetDlg->Execute(settings); };

    // The start-up runs once the window exists and the event loop turns.
    QTimer::singleShot(0, this, &TClnMainWin::DeferredStart);
}

TClnMainWin::~TClnMainWin()
{
    SetBusy(false);
    FAgent->Close();
}

void TClnMainWin::BuildForm()
{
    SetupForm(this, "ClnMainWin", " Korvel - Client ", 12);
    setFixedSize(366, 238);

    p_panBase = new QFrame(this);
    p_panBase->setObjectName(QStringLiteral("p_panBase"));
    p_panBase->setGeometry(0, 0, 366, 238);
    p_panBase->setFrameShape(QFrame::Panel);
    p_panBase->setFrameShadow(QFrame::Sunken);
    p_panBase->setFocusPolicy(Qt::ClickFocus);
    p_panBase->setContextMenuPolicy(Qt::PreventContextMenu);
    p_panBase->installEventFilter(this);

    const QColor navy(0, 0, 128);
    Label1 = Caption(p_panBase, "Label1", "Status", 8);
    p_labStatus = TextPanel(p_panBase, p_panStatus, "p_panStatus", "p_labStatus", 26, 22, navy, false);
    p_labStatus->setText(QStringLiteral("No connection yet"));
    Label2 = Caption(p_panBase, "Label2", "Active applications", 54);
    p_labApps = TextPanel(p_panBase, p_panApps, "p_panApps", "p_labApps", 72, 22, navy, false);
    Label9 = Caption(p_panBase, "Label9", "Error Message", 100);
    p_labErr = TextPanel(p_panBase, p_panErr, "p_panErr", "p_labErr", 118, 61, QColor(139, 0, 0), true);

    p_labLed = MakeLamp(p_panBase, QRect(16, 197, 16, 24));
    p_labLed->setToolTip(QStringLiteral("Connected to master "));

    p_bnSet = new QPushButton(QStringLiteral("Configure"), p_panBase);
    SetupTagButton(p_bnSet, "p_bnSet", TagValue(TClnMainTag::Configure), QRect(105, 196, 72, 25), this,
                   &TClnMainWin::p_bnSetClick);
    p_bnEsc = new QPushButton(QStringLiteral("Exit"), p_panBase);
    SetupTagButton(p_bnEsc, "p_bnEsc", TagValue(TClnMainTag::Exit), QRect(181, 196, 72, 25), this,
                   &TClnMainWin::p_bnSetClick);
    p_bnHelp = MakeFlatButton(p_panBase, QStringLiteral("?"), PixelFont("Roboto Bk", 15));
    SetupTagButton(p_bnHelp, "p_bnHelp", TagValue(TClnMainTag::Help), QRect(302, 195, 20, 25), this,
                   &TClnMainWin::p_bnSetClick);
    p_bnAbout = MakeFlatButton(p_panBase, QStringLiteral("i"), PixelFont("Roboto Bk", 16));
    SetupTagButton(p_bnAbout, "p_bnAbout", TagValue(TClnMainTag::About), QRect(322, 195, 20, 25), this,
                   &TClnMainWin::p_bnSetClick);
}

void TClnMainWin::showEvent(QShowEvent *e)
{
    QWidget::showEvent(e);
    if (!e->spontaneous())
        MoveOnScreen(this, ClnMainWinPos);
}

void TClnMainWin::DeferredStart()
{
    if (FStarted)
        return;
    FStarted = true;
    repaint();
    try {
        FAgent->StartUp();
    } catch (const cmn_err &e) {
        p_labErr->setText(QString::fromStdU16String(e.text()));
        Probe("error", p_labErr->text());
        p_labErr->repaint();
        Beep();
        // The text stays readable for a while before the program goes.
        QTimer::singleShot(FOptions.startFailMs, this, &TClnMainWin::ExitRule);
        return;
    }
    const QString status = FAgent->StatusText();
    if (!status.isEmpty())
        SetStatus(status);
    Probe("started", QString::number(FAgent->PortValue()));
}

void TClnMainWin::SetStatus(const QString &text)
{
    p_labStatus->setText(text);
    Probe("status", text);
    FShot.Schedule();
}

void TClnMainWin::SetApps(const QString &names)
{
    if (p_labApps->text() != names) {
        p_labApps->setText(names);
        Probe("apps", names);
    }
    p_labApps->repaint();
    FShot.Schedule();
}

void TClnMainWin::ShowError(const QString &text)
{
    p_labErr->setText(text);
    p_labErr->repaint();
    Probe("error", text);
    if (isMinimized()) {
        showNormal();
        raise();
        activateWindow();
        repaint();
    }
    Beep();
    FShot.Schedule();
}

void TClnMainWin::SetBusy(bool busy)
{
    if (busy == FBusy)
        return;
    FBusy = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TClnMainWin::Beep()
{
    ++FBeeps;
    QApplication::beep();
}

void TClnMainWin::Probe(const char *what, const QString &text)
{
    // Headless runs (tests, the demonstration) follow the window's texts on standard error.
    if (!FOptions.probe)
        return;
    std::fprintf(stderr, "client %s: %s\n", what, qPrintable(text));
    std::fflush(stderr);
}

void TClnMainWin::p_bnSetClick(QObject *button)
{
    FAgent->StopMinimise();
    p_panBase->setFocus(Qt::OtherFocusReason);
    switch (TagOf<TClnMainTag>(button)) {
    case TClnMainTag::Configure:
        p_labErr->clear();
        if (FConfigure && FConfigure(FAgent->Settings())) {
            FAgent->SaveSettings();
            FAgent->RearmMinimise();
        }
        break;
    case TClnMainTag::Exit:
        ExitRule();
        break;
    case TClnMainTag::Help:
        OpenHelpGuide(this, QString::fromStdU16String(HelpFilePath()));
        FAgent->RearmMinimise();
        break;
    case TClnMainTag::About:
        TAboutDlg::ShowAbout(this);
        FAgent->RearmMinimise();
        break;
    default:
        break;
    }
}

void TClnMainWin::ExitRule()
{
    if (FAgent->Engine().RunningCount() > 0) {
        const UnicodeString text = LoadStr(IDS_CLN_EXIT_BLOCKED_1) + u"\n" + LoadStr(IDS_CLN_EXIT_BLOCKED_2);
        Probe("refuses", QString::fromStdU16String(text));
        MesBoxC(mkError, this, text, UnicodeString(), W_Centre, W_Centre);
        return;
    }
    FClosing = true;
    close();
}

void TClnMainWin::closeEvent(QCloseEvent *e)
{
    if (!FClosing && !isMinimized()) {
        // The close box only minimises: the agent keeps running.
        e->ignore();
        showMinimized();
        return;
    }
    Probe("closing", {});
    SetBusy(false);
    FAgent->Close();
    e->accept();
    QCoreApplication::quit();
}

void TClnMainWin::changeEvent(QEvent *e)
{
    QWidget::changeEvent(e);
    if (e->type() != QEvent::WindowStateChange)
        return;
    if (isMinimized())
        FAgent->StopMinimise();
    else if (static_cast<QWindowStateChangeEvent *>(e)->oldState() & Qt::WindowMinimized)
        repaint();
}

bool TClnMainWin::eventFilter(QObject *watched, QEvent *e)
{
    // A click on the window starts the auto-minimise delay again.
    if (watched == p_panBase && e->type() == QEvent::MouseButtonPress)
        FAgent->RearmMinimise();
    return QWidget::eventFilter(watched, e);
}
