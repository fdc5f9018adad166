// The client agent's window offscreen, with its real agent talking to a stand-in master on
// loopback and real processes announced through the message port.

#include "cln_agent.h"
#include "cln_main.h"
#include "cln_settings_dialog.h"
#include <testsupport/child_widget.h>

#include "../../tests/fake_master.h"

#include <common/catalogue.h>
#include <common/gui/aboutdlg.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <ctlpack/ctlpack.h>
#include <noticekit/noticekit.h>
#include <testsupport/screenshots.h>

#include <QApplication>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>

using testsupport::FakeMaster;

namespace {

class ClientWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        static int n = 0;
        qputenv("KORVEL_SESSION",
                QByteArray("clnWin") + QByteArray::number(getpid()) + "x" + QByteArray::number(++n));
        qputenv("KORVEL_REGISTRY", RegPath().toLocal8Bit());
    }

    void TearDown() override
    {
        noticekit::setShowHook({});
        win.reset();
        for (auto &p : children)
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(3000);
            }
    }

    QString RegPath() const { return dir.filePath(QStringLiteral("korvel.reg")); }

    void WriteReg(quint16 port, const char *address = "127.0.0.1")
    {
        std::ofstream f(RegPath().toStdString(), std::ios::binary);
        f << "Windows Registry Editor Version "
             "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
          << "\"Address\"=\"" << address << "\"\r\n\"Port\"=\"" << port << "\"\r\n";
    }

    std::string ReadReg() const
    {
        std::ifstream f(RegPath().toStdString(), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }

    // Creates and shows the window and waits for its start-up.
    void Start(const TClnWinOptions &options = {})
    {
        win = std::make_unique<TClnMainWin>(options);
        win->show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return win->Started(); }, 5000));
    }

    QProcess *Announce(unsigned short code)
    {
        auto p = std::make_unique<QProcess>();
        p->start(QStringLiteral("sleep"), {QStringLiteral("30")});
        EXPECT_TRUE(p->waitForStarted(5000));
        EXPECT_TRUE(PostMessage(win->Agent().PortValue(), WM_ANNOUNCE, code,
                                static_cast<std::intptr_t>(p->processId())));
        children.push_back(std::move(p));
        return children.back().get();
    }

    bool AppsShow(const QString &text, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return ChildWidget<QLabel>(win, "p_labApps")->text() == text; }, ms);
    }

    QTemporaryDir dir;
    std::unique_ptr<TClnMainWin> win;
    std::vector<std::unique_ptr<QProcess>> children;
};

const QString ExitRefusal = QStringLiteral("There is at least one ative Ardentis application(s).\nKorvel "
                                           "cannot exit until it is closed or aborted.");

} // namespace

TEST(ClientWindowPlace, NearTheBottomRightCorner)
{
    struct Case {
        int sw, sh, ww, wh, left, top;
    } cases[] = {
        {1920, 1080, 382, 277, 1423, 636}, // 1920 - 496.6, 1080 - 443.2
        {1920, 1080, 370, 250, 1439, 680}, // exact products stay exact
        {800, 600, 366, 238, 324, 219},
        {300, 200, 366, 238, -175, -180}, // a screen smaller than the window
    };
    for (const Case &c : cases)
        EXPECT_EQ(ClnMainWinPos(c.sw, c.sh, c.ww, c.wh), QPoint(c.left, c.top)) << c.sw << "x" << c.sh;
}

TEST_F(ClientWindow, FormHasTheDesignedControlsAndTexts)
{
    WriteReg(1);
    Start();
    EXPECT_EQ(win->windowTitle(), QStringLiteral(" Korvel - Client "));
    EXPECT_EQ(win->size(), QSize(366, 238));
    EXPECT_EQ(ChildWidget<QLabel>(win, "Label1")->text(), QStringLiteral("Status"));
    EXPECT_EQ(ChildWidget<QLabel>(win, "Label2")->text(), QStringLiteral("Active applications"));
    EXPECT_EQ(ChildWidget<QLabel>(win, "Label9")->text(), QStringLiteral("Error Message"));
    EXPECT_EQ(ChildWidget<QFrame>(win, "p_panStatus")->geometry(), QRect(16, 26, 334, 22));
    EXPECT_EQ(ChildWidget<QFrame>(win, "p_panApps")->height(), 22);
    EXPECT_EQ(ChildWidget<QFrame>(win, "p_panErr")->height(), 61);
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labErr")->wordWrap());
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labLed")->pos(), QPoint(16, 197));
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labLed")->toolTip(), QStringLiteral("Connected to master "));
    EXPECT_FALSE(ChildWidget<QLabel>(win, "p_labLed")->isEnabled()) << "the lamp is off at start";
    struct Btn {
        QAbstractButton *b;
        const char *text;
        int tag;
        QPoint pos;
    } buttons[] = {{ChildWidget<QPushButton>(win, "p_bnSet"), "Configure", 2, {105, 196}},
                   {ChildWidget<QPushButton>(win, "p_bnEsc"), "Exit", 3, {181, 196}},
                   {ChildWidget<QToolButton>(win, "p_bnHelp"), "?", 4, {302, 195}},
                   {ChildWidget<QToolButton>(win, "p_bnAbout"), "i", 5, {322, 195}}};
    for (const Btn &b : buttons) {
        EXPECT_EQ(b.b->text(), QString::fromLatin1(b.text));
        EXPECT_EQ(b.b->property("Tag").toInt(), b.tag) << b.text;
        EXPECT_EQ(b.b->pos(), b.pos) << b.text;
    }
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labStatus")->text(), QStringLiteral("No connection yet"));
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labApps")->text().isEmpty());
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labErr")->text().isEmpty());
    EXPECT_EQ(win->contextMenuPolicy(), Qt::PreventContextMenu);
    EXPECT_EQ(ChildWidget<QFrame>(win, "p_panBase")->contextMenuPolicy(), Qt::PreventContextMenu);

    // Placed by its outer size near the bottom right corner of the screen.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = win->frameGeometry();
    EXPECT_EQ(frame.topLeft(), ClnMainWinPos(screen.width(), screen.height(), frame.width(), frame.height()));

    // The deferred start-up took the handle block for the agent's port.
    std::uint32_t held = 0;
    ASSERT_TRUE(TestHandleBlock(&held));
    EXPECT_EQ(held, win->Agent().PortValue());
    EXPECT_EQ(win->Agent().MinimiseTimer()->interval(), 210000);
    EXPECT_EQ(win->Agent().PollTimer()->interval(), 180000);
    EXPECT_EQ(win->Agent().ShutdownTimer()->interval(), 6000);
    EXPECT_EQ(win->Options().startFailMs, 7000) << "a failed start-up shows its error this long";
    testsupport::saveScreenshot(win.get(), QStringLiteral("client_main_idle"));
}

TEST_F(ClientWindow, RunningApplicationsAreListedAndHoldTheExit)
{
    FakeMaster master;
    WriteReg(master.Port());
    Start();
    QProcess *ledger = Announce(83);
    ASSERT_TRUE(AppsShow(QString::fromStdU16String(AppDisplayName(83))));
    QProcess *planner = Announce(93);
    const QString both = QString::fromStdU16String(AppDisplayName(83) + u", " + AppDisplayName(93));
    ASSERT_TRUE(AppsShow(both));
    EXPECT_TRUE(
        ChildWidget<QLabel>(win, "p_labStatus")->text().startsWith(QStringLiteral("Last connection: ")));
    EXPECT_EQ(master.Texts(), (std::vector<QByteArray>{"112,0,83,2", "112,11,93,3"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return ChildWidget<QPushButton>(win, "p_bnSet")->isEnabled(); }, 3000))
        << "offered again once closed";
    testsupport::saveScreenshot(win.get(), QStringLiteral("client_main_two_apps"));

    // Exit while applications run: the two-line refusal, and the window stays.
    QStringList asked;
    noticekit::setShowHook([&](QDialog *box) {
        auto *mes = qobject_cast<TCustMesBox *>(box);
        ASSERT_NE(mes, nullptr);
        asked << mes->mp_labMes->text();
        testsupport::saveScreenshot(box, QStringLiteral("client_exit_refused"));
        QTest::mouseClick(mes->mp_bnOk, Qt::LeftButton);
    });
    QTest::mouseClick(ChildWidget<QPushButton>(win, "p_bnEsc"), Qt::LeftButton);
    EXPECT_EQ(asked, QStringList{ExitRefusal});
    EXPECT_FALSE(win->Closing());
    EXPECT_TRUE(win->isVisible());
    EXPECT_FALSE(win->Agent().MinimiseTimer()->isActive()) << "Exit leaves the auto-minimise stopped";

    // The end of the session follows the same rule.
    win->ExitRule();
    EXPECT_EQ(asked.size(), 2);
    EXPECT_TRUE(win->isVisible());

    ledger->kill();
    ASSERT_TRUE(AppsShow(QString::fromStdU16String(AppDisplayName(93))));
    planner->kill();
    ASSERT_TRUE(AppsShow(QString()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return master.requests.size() == 4; }, 5000));
    EXPECT_EQ(master.requests[2].text.left(7), QByteArray("376,11,"));
    EXPECT_EQ(master.requests[3].text.left(7), QByteArray("376,11,"));

    QTest::mouseClick(ChildWidget<QPushButton>(win, "p_bnEsc"), Qt::LeftButton);
    EXPECT_EQ(asked.size(), 2) << "nothing runs: no question";
    EXPECT_TRUE(win->Closing());
    EXPECT_FALSE(win->isVisible());
    EXPECT_FALSE(TestHandleBlock()) << "the handle block goes with the window";
}

TEST_F(ClientWindow, CloseBoxMinimisesAndAMinimisedWindowCloses)
{
    WriteReg(1);
    Start();
    win->close();
    EXPECT_TRUE(win->isVisible());
    EXPECT_TRUE(win->isMinimized());
    EXPECT_FALSE(win->Closing());
    EXPECT_TRUE(TestHandleBlock()) << "the agent keeps running";
    win->close();
    EXPECT_FALSE(win->isVisible());
    EXPECT_FALSE(TestHandleBlock());
}

TEST_F(ClientWindow, ErrorsAreShownWithTheirDetailAndBringTheWindowBack)
{
    FakeMaster master;
    master.GoAway();
    std::ofstream(RegPath().toStdString(), std::ios::binary)
        << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
        << "\"Port\"=\"" << master.Port() << "\"\r\n\"Address\"=\"192.168.0.255\"\r\n";
    Start();
    EXPECT_TRUE(win->Agent().Settings().address.empty()) << "an address that fails the check is none";
    win->showMinimized();
    ASSERT_TRUE(win->isMinimized());

    ASSERT_TRUE(PostMessage(win->Agent().PortValue(), WM_ANNOUNCE, 83, getpid()));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !ChildWidget<QLabel>(win, "p_labErr")->text().isEmpty(); }, 5000));
    EXPECT_EQ(
        ChildWidget<QLabel>(win, "p_labErr")->text(),
        QStringLiteral("Error occured during conversation with Master (Master IP address not defined)."));
    EXPECT_FALSE(win->isMinimized()) << "an error brings the window back";
    EXPECT_EQ(win->Beeps(), 1);
    EXPECT_TRUE(master.requests.empty());
    testsupport::saveScreenshot(win.get(), QStringLiteral("client_main_error"));

    win->Agent().Settings().address = u"127.0.0.1";
    ASSERT_TRUE(PostMessage(win->Agent().PortValue(), WM_ANNOUNCE, 83, getpid()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return win->Beeps() == 2; }, 5000));
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labErr")->text(),
              QStringLiteral("Error occured during conversation with Master (OS error code %1).")
                  .arg(ECONNREFUSED));
    EXPECT_TRUE(win->isVisible());
    EXPECT_FALSE(win->Closing());
}

TEST_F(ClientWindow, FailedKeepAliveEndsTheProgramWhenTheShutdownDelayRunsOut)
{
    FakeMaster master(1);
    WriteReg(master.Port());
    TClnWinOptions options;
    options.timings.shutdownMs = 600000; // ends only when the test lets the delay run out
    Start(options);
    Announce(97);
    ASSERT_TRUE(AppsShow(QString::fromStdU16String(AppDisplayName(97))));
    master.GoAway();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return !ChildWidget<QLabel>(win, "p_labErr")->text().isEmpty(); }, 8000));
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labErr")->text(),
              QStringLiteral(
                  "Error occured during conversation with Master (OS error code %1). Work session ends soon.")
                  .arg(ECONNREFUSED));
    EXPECT_FALSE(TestHandleBlock()) << "given up at once";
    EXPECT_TRUE(win->isVisible()) << "the text stays for the shutdown delay";
    EXPECT_FALSE(win->Closing());
    EXPECT_TRUE(win->Agent().ShutdownTimer()->isActive());
    EXPECT_EQ(win->Agent().ShutdownTimer()->interval(), 600000);
    testsupport::saveScreenshot(win.get(), QStringLiteral("client_main_session_ends"));

    win->Agent().ShutdownTimer()->start(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !win->isVisible(); }, 5000));
    EXPECT_TRUE(win->Closing()) << "closed although an application runs";
}

TEST_F(ClientWindow, LampAndConfigureFollowTheMasterRequestNotTheConnectionTest)
{
    auto master = std::make_unique<FakeMaster>();
    master->answer = [](const QByteArray &) { return QByteArray(); }; // holds the request
    WriteReg(master->Port());
    Start();
    // With no request under way a test lights nothing.
    QSignalSpy results(&win->Agent(), &TClnAgent::testResult);
    win->Agent().TestConnection(QStringLiteral("127.0.0.1"), master->Port());
    ASSERT_TRUE(results.wait(5000));
    EXPECT_EQ(results.at(0).at(0).toInt(), 1);
    EXPECT_FALSE(ChildWidget<QLabel>(win, "p_labLed")->isEnabled());
    EXPECT_TRUE(ChildWidget<QPushButton>(win, "p_bnSet")->isEnabled());

    ASSERT_TRUE(PostMessage(win->Agent().PortValue(), WM_ANNOUNCE, 93, getpid()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return master->requests.size() == 1; }, 5000));
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labLed")->isEnabled());
    EXPECT_FALSE(ChildWidget<QPushButton>(win, "p_bnSet")->isEnabled());

    // The dialog's test connects and closes beside the request.
    win->Agent().TestConnection(QStringLiteral("127.0.0.1"), master->Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return results.count() == 2; }, 5000));
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labLed")->isEnabled()) << "the request is still connected";
    EXPECT_FALSE(ChildWidget<QPushButton>(win, "p_bnSet")->isEnabled());
    testsupport::saveScreenshot(win.get(), QStringLiteral("client_main_request_connected"));

    master.reset(); // the master goes without a reply
    ASSERT_TRUE(QTest::qWaitFor([&] { return ChildWidget<QPushButton>(win, "p_bnSet")->isEnabled(); }, 5000));
    EXPECT_FALSE(ChildWidget<QLabel>(win, "p_labLed")->isEnabled());
}

TEST_F(ClientWindow, ConfigureStoresConfirmedSettingsOnly)
{
    WriteReg(52100);
    Start();
    ChildWidget<QLabel>(win, "p_labErr")->setText(QStringLiteral("old error"));
    win->SetConfigure([](TClnSettings &s) {
        s.address = u"127.0.0.2";
        s.host = u"masterhost";
        return false;
    });
    QTest::mouseClick(ChildWidget<QPushButton>(win, "p_bnSet"), Qt::LeftButton);
    EXPECT_TRUE(ChildWidget<QLabel>(win, "p_labErr")->text().isEmpty());
    EXPECT_EQ(ReadReg().find("masterhost"), std::string::npos) << "cancelled: nothing stored";
    EXPECT_FALSE(win->Agent().MinimiseTimer()->isActive());

    win->SetConfigure([](TClnSettings &s) {
        s.address = u"127.0.0.2";
        s.host = u"masterhost";
        return true;
    });
    QTest::mouseClick(ChildWidget<QPushButton>(win, "p_bnSet"), Qt::LeftButton);
    const std::string reg = ReadReg();
    EXPECT_NE(reg.find("\"Address\"=\"127.0.0.2\""), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"Host\"=\"masterhost\""), std::string::npos) << reg;
    EXPECT_NE(reg.find("\"Port\"=\"52100\""), std::string::npos) << "the port is never written, but kept";
    EXPECT_TRUE(win->Agent().MinimiseTimer()->isActive());
}

TEST_F(ClientWindow, ConfigureTestsTheAddressThroughTheAgentAndStoresIt)
{
    FakeMaster master;
    WriteReg(master.Port(), "");
    Start();
    QStringList boxes;
    noticekit::setShowHook([&](QDialog *box) {
        auto *mes = qobject_cast<TCustMesBox *>(box);
        ASSERT_NE(mes, nullptr);
        boxes << mes->mp_labMes->text();
        QTest::mouseClick(mes->mp_bnOk, Qt::LeftButton);
    });
    TClientSetDlg *dlg = win->SetDlg();
    ASSERT_NE(dlg, nullptr);
    QTimer::singleShot(0, dlg, [&] {
        dlg->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(dlg));
        ChildWidget<TSEdit>(dlg, "p_edAddr")->setFocus();
        QTest::keyClicks(ChildWidget<TSEdit>(dlg, "p_edAddr"), QStringLiteral("127.0.0.1"));
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnTest"), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg->TestRunning(); }, 10000));
        testsupport::saveScreenshot(dlg, QStringLiteral("client_settings_tested"));
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnOk"), Qt::LeftButton);
        if (dlg->isVisible())
            dlg->done(QDialog::Rejected);
    });
    QTest::mouseClick(ChildWidget<QPushButton>(win, "p_bnSet"), Qt::LeftButton);
    EXPECT_EQ(boxes, QStringList{QStringLiteral("Connection successfully completed.")});
    EXPECT_EQ(dlg->TestState(), 1);
    EXPECT_TRUE(master.requests.empty()) << "the test connects only";
    EXPECT_EQ(win->Agent().Settings().address, u"127.0.0.1");
    EXPECT_NE(ReadReg().find("\"Address\"=\"127.0.0.1\""), std::string::npos) << ReadReg();
    EXPECT_TRUE(
        ChildWidget<QLabel>(win, "p_labStatus")->text().startsWith(QStringLiteral("Last connection: ")));

    // The master's requests now go to the confirmed address.
    ASSERT_TRUE(PostMessage(win->Agent().PortValue(), WM_ANNOUNCE, 93, getpid()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return master.requests.size() == 1; }, 5000));
    EXPECT_EQ(master.requests[0].text, QByteArray("112,0,93,3"));
}

TEST_F(ClientWindow, AutoMinimiseAfterActivityAndAboutBox)
{
    WriteReg(1);
    TClnWinOptions options;
    options.timings.minimiseMs = 100;
    Start(options);
    bool seen = false;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *dlg = qobject_cast<TAboutDlg *>(w); dlg && dlg->isVisible()) {
                seen = true;
                dlg->P_bnOk->click();
            }
    });
    QTest::mouseClick(ChildWidget<QToolButton>(win, "p_bnAbout"), Qt::LeftButton);
    EXPECT_TRUE(seen);
    EXPECT_TRUE(win->Agent().MinimiseTimer()->isActive()) << "re-armed after the about box";
    ASSERT_TRUE(QTest::qWaitFor([&] { return win->isMinimized(); }, 5000));
    EXPECT_FALSE(win->Agent().MinimiseTimer()->isActive()) << "stopped once minimised";

    // A click on the window starts the delay again.
    win->showNormal();
    QTest::mouseClick(ChildWidget<QFrame>(win, "p_panBase"), Qt::LeftButton, {}, QPoint(200, 15));
    EXPECT_TRUE(win->Agent().MinimiseTimer()->isActive());
}

TEST_F(ClientWindow, HandleBlockHeldElsewhereEndsTheStartUp)
{
    WriteReg(1);
    TClnAgent other;
    other.StartUp();
    TClnWinOptions options;
    options.startFailMs = 50;
    Start(options);
    EXPECT_EQ(ChildWidget<QLabel>(win, "p_labErr")->text(),
              QStringLiteral("Internal error: mutex or memory file create error."));
    EXPECT_EQ(win->Beeps(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !win->isVisible(); }, 5000)) << "the exit rule follows";
    EXPECT_TRUE(win->Closing());
    EXPECT_TRUE(TestHandleBlock()) << "the other agent's block is untouched";
}
