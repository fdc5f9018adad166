// The client's settings dialog offscreen: address keys, the connection test through its owner
// (a real loopback connection where it matters), OK and Cancel, Browse over a mount table and a
// resolver of the test's own, and the state the dialog keeps between openings.

#include "cln_settings_dialog.h"
#include <testsupport/child_widget.h>

#include <common/settings.h>
#include <ctlpack/ctlpack.h>
#include <noticekit/noticekit.h>
#include <testsupport/screenshots.h>

#include <QLabel>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <fstream>
#include <map>

// Readable failures.
void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace {

struct SeenBox {
    QString title;
    QString message;
};

// A mount table with a CIFS share, an NFS export, a share of a machine no resolver knows, and
// local discs.
const QByteArray Mounts = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                          "30 22 8:2 / /home rw,relatime shared:30 - ext4 /dev/sda2 rw\n"
                          "41 22 0:44 / /mnt/master rw,relatime shared:80 - cifs //mastersrv/C rw\n"
                          "42 22 0:45 / /mnt/nfs rw,relatime shared:81 - nfs fileserver:/export rw\n"
                          "43 22 0:46 / /mnt/gone rw,relatime shared:82 - cifs //nowhere/share rw\n";

class ClientSettingsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        // The key exists, so the dialog's save can write into it.
        const QString reg = dir.filePath(QStringLiteral("korvel.reg"));
        std::ofstream f(reg.toStdString(), std::ios::binary);
        f << "Windows Registry Editor Version 5.00\r\n\r\n"
          << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
          << "\"Port\"=\"52100\"\r\n";
        f.close();
        qputenv("KORVEL_REGISTRY", reg.toLocal8Bit());

        noticekit::setBeepHook([](unsigned) { return true; });
        noticekit::setShowHook([this](QDialog *box) {
            auto *mes = qobject_cast<TCustMesBox *>(box);
            ASSERT_NE(mes, nullptr);
            boxes.push_back({mes->windowTitle(), mes->mp_labMes->text()});
            QTest::mouseClick(mes->mp_bnOk, Qt::LeftButton);
        });

        mainWin = std::make_unique<QWidget>();
        mainWin->resize(366, 238);
        mainWin->move(200, 200);
        mainWin->show();
        dlg = new TClientSetDlg(mainWin.get());
        dlg->SetMountTableReader([] { return Mounts; });
        dlg->SetResolver([this](const UnicodeString &node) {
            const auto it = hosts.find(node);
            return it == hosts.end() ? UnicodeString() : it->second;
        });
        dlg->SetFolderChooser([this](QWidget *owner, const QString &caption, const QString &start) {
            chooserCaption = caption;
            chooserStart = start;
            EXPECT_EQ(owner, dlg);
            return chosenFolder;
        });
        QObject::connect(dlg, &TClientSetDlg::testRequested, dlg,
                         [this](const QString &address, quint16 port) {
                             requested.emplace_back(address, port);
                             if (ownerTests)
                                 ownerTests(address, port);
                         });
    }

    void TearDown() override
    {
        noticekit::setShowHook({});
        noticekit::setBeepHook({});
        mainWin.reset(); // takes the dialog with it
    }

    // Opens the dialog with settings, runs body inside its modal loop, and closes the dialog
    // with Cancel if body left it open; returns what Execute returned.
    bool Open(TClnSettings &settings, const std::function<void()> &body)
    {
        QTimer::singleShot(0, dlg, [this, body] {
            // Keys and focus go where a user's would: into the active dialog.
            dlg->activateWindow();
            EXPECT_TRUE(QTest::qWaitForWindowActive(dlg));
            body();
            if (dlg->TestRunning())
                dlg->ReportTestResult(2);
            if (dlg->isVisible())
                QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnEsc"), Qt::LeftButton);
        });
        // Whatever happens in body, the modal loop ends.
        QTimer guard;
        guard.setSingleShot(true);
        QObject::connect(&guard, &QTimer::timeout, dlg, [this] {
            ADD_FAILURE() << "the dialog was still open after 60 s";
            dlg->ReportTestResult(2);
            dlg->done(QDialog::Rejected);
        });
        guard.start(60000);
        return dlg->Execute(settings);
    }

    // The owner answers every test request with result, after the request returned, as the
    // main window's socket would.
    void OwnerAnswers(int result)
    {
        ownerTests = [this, result](const QString &, quint16) {
            QTimer::singleShot(0, dlg, [this, result] { dlg->ReportTestResult(result); });
        };
    }

    // Clicks Test Connection and waits for the owner's answer.
    void RunTest()
    {
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnTest"), Qt::LeftButton);
        EXPECT_TRUE(QTest::qWaitFor([this] { return !dlg->TestRunning(); }, 20000));
    }

    void Browse(const char *folder)
    {
        chosenFolder = QString::fromUtf8(folder);
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnMast"), Qt::LeftButton);
    }

    QString LastBox() const { return boxes.empty() ? QString() : boxes.back().message; }

    QTemporaryDir dir;
    std::unique_ptr<QWidget> mainWin;
    TClientSetDlg *dlg = nullptr;
    std::vector<SeenBox> boxes;
    std::map<UnicodeString, UnicodeString> hosts{{u"mastersrv", u"198.18.0.2"},
                                                 {u"fileserver", u"198.18.0.5,198.18.0.6,198.18.0.7"}};
    QString chosenFolder;
    QString chooserCaption;
    QString chooserStart;
    std::vector<std::pair<QString, quint16>> requested;
    std::function<void(const QString &, quint16)> ownerTests;
};

} // namespace

TEST_F(ClientSettingsDialog, OpensBesideTheMainWindowWithTheSettings)
{
    TClnSettings s;
    s.port = 52111;
    s.address = u"10.0.0";
    s.host = u"station";
    Open(s, [&] {
        EXPECT_EQ(dlg->windowTitle(), QStringLiteral(" Client Configuration"));
        EXPECT_EQ(dlg->size(), QSize(367, 222));
        EXPECT_TRUE(ChildWidget<QToolButton>(dlg, "p_bnNext")->isHidden())
            << "no addresses to step through yet";
        EXPECT_FALSE(ChildWidget<TSEdit>(dlg, "p_edPort")->isEnabled()) << "the port is shown, not changed";
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());
        const QPoint owner = mainWin->frameGeometry().topLeft();
        EXPECT_EQ(dlg->frameGeometry().topLeft(), owner + QPoint(50, -30));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("10.0.0"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edPort")->text(), QStringLiteral("52111"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edMast")->text(), QStringLiteral("station"));
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled())
            << "the stored address fails the check";

        // The node name is not typed: the edit hands the focus on.
        QTest::mouseClick(ChildWidget<TSEdit>(dlg, "p_edMast"), Qt::LeftButton);
        ASSERT_NE(dlg->focusWidget(), nullptr);
        EXPECT_NE(dlg->focusWidget(), ChildWidget<TSEdit>(dlg, "p_edMast"));
        QTest::keyClicks(dlg->focusWidget(), QStringLiteral("x"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edMast")->text(), QStringLiteral("station"));
    });
}

TEST_F(ClientSettingsDialog, AddressKeysAreFilteredAndTestFollowsTheAddressCheck)
{
    struct Case {
        const char *typed;
        const char *shown;
        bool testEnabled;
    } cases[] = {
        {"192.168.1.10", "192.168.1.10", true},
        {"1a9-2.1x68.1.1-0", "192.168.1.10", true}, // letters and minus do nothing
        {"192.168.1.255", "192.168.1.255", false},  // 255 is refused
        {"10.0.0", "10.0.0", false},                // three parts
        {"10.0.0.1 ", "10.0.0.1 ", false},          // the blank is typed, and fails the check
        {"254.0.0.0", "254.0.0.0", true},
        {"1..2.3", "1..2.3", false},
    };
    TClnSettings s;
    Open(s, [&] {
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled()) << "no address stored";
        ChildWidget<TSEdit>(dlg, "p_edAddr")->setFocus();
        for (const Case &c : cases) {
            ChildWidget<TSEdit>(dlg, "p_edAddr")->clear();
            QTest::keyClicks(ChildWidget<TSEdit>(dlg, "p_edAddr"), QString::fromUtf8(c.typed));
            EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QString::fromUtf8(c.shown)) << c.typed;
            EXPECT_EQ(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled(), c.testEnabled) << c.typed;
        }
        // Editing keys still work.
        QTest::keyClick(ChildWidget<TSEdit>(dlg, "p_edAddr"), Qt::Key_Backspace);
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("1..2."));
    });
    EXPECT_TRUE(requested.empty());
}

TEST_F(ClientSettingsDialog, ConnectionTestOverLoopbackThenOkStoresTheTestedAddress)
{
    QTcpServer master;
    ASSERT_TRUE(master.listen(QHostAddress::LocalHost, 0));
    const quint16 port = master.serverPort();
    master.close(); // nothing listens at first: the test fails

    // The owner's side as the main window runs it: one connection, connected or failed.
    QTcpSocket socket;
    bool wasEnabledDuringTest = true;
    ownerTests = [&](const QString &address, quint16 p) {
        wasEnabledDuringTest = dlg->isEnabled();
        socket.abort();
        socket.connectToHost(address, p);
    };
    QObject::connect(&socket, &QTcpSocket::connected, dlg, [&] {
        dlg->ReportTestResult(1);
        socket.abort();
    });
    QObject::connect(&socket, &QTcpSocket::errorOccurred, dlg, [&] { dlg->ReportTestResult(2); });

    TClnSettings s;
    s.port = port;
    s.address = u"127.0.0.1";
    s.host = u"mastersrv";
    const TClnSettings before = s;
    const bool ok = Open(s, [&] {
        testsupport::saveScreenshot(dlg, QStringLiteral("client_settings_before_test"));
        EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled());
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());

        // OK before any successful test: refused, the dialog stays.
        dlg->p_bnMastClick(ChildWidget<QPushButton>(dlg, "p_bnOk"));
        EXPECT_EQ(LastBox(), QStringLiteral("Connection to Master has not been tested."));
        EXPECT_EQ(boxes.back().title, QStringLiteral("Error"));
        EXPECT_TRUE(dlg->isVisible());

        RunTest();
        EXPECT_FALSE(wasEnabledDuringTest) << "the dialog waits disabled for the owner";
        EXPECT_EQ(LastBox(), QStringLiteral("Error! Attempt of connecting to Master failed."));
        EXPECT_EQ(boxes.back().title, QStringLiteral("Notification"));
        EXPECT_EQ(dlg->TestState(), 2);
        EXPECT_TRUE(dlg->isEnabled());
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());

        ASSERT_TRUE(master.listen(QHostAddress::LocalHost, port));
        RunTest();
        EXPECT_EQ(LastBox(), QStringLiteral("Connection successfully completed."));
        EXPECT_EQ(dlg->TestState(), 1);
        EXPECT_TRUE(dlg->isEnabled());
        EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());
        testsupport::saveScreenshot(dlg, QStringLiteral("client_settings_after_test"));

        // Changed after the test: OK still stores what was tested.
        ChildWidget<TSEdit>(dlg, "p_edAddr")->setFocus();
        QTest::keyClicks(ChildWidget<TSEdit>(dlg, "p_edAddr"), QStringLiteral("5"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("127.0.0.15"));
        EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnOk"), Qt::LeftButton);
        EXPECT_FALSE(dlg->isVisible());
    });
    EXPECT_TRUE(ok);
    ASSERT_EQ(requested.size(), 2u);
    EXPECT_EQ(requested[1], std::make_pair(QStringLiteral("127.0.0.1"), port));
    EXPECT_EQ(QString::fromStdU16String(s.address), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(s.port, before.port);
    EXPECT_EQ(QString::fromStdU16String(s.host), QStringLiteral("mastersrv"));
    EXPECT_EQ(QString::fromStdU16String(ReadSetting(u"Address")), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(QString::fromStdU16String(ReadSetting(u"Host")), QStringLiteral("mastersrv"));
    EXPECT_EQ(QString::fromStdU16String(ReadSetting(u"Port")), QStringLiteral("52100"))
        << "the client never writes the port";
}

TEST_F(ClientSettingsDialog, CancelLeavesTheSettingsAndATestInFlightKeepsTheDialogOpen)
{
    bool answerNow = false;
    ownerTests = [&](const QString &, quint16) {
        if (answerNow)
            dlg->ReportTestResult(1); // an owner may answer before the request returns
    };
    TClnSettings s;
    s.address = u"198.18.0.9";
    s.host = u"old";
    const bool ok = Open(s, [&] {
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnTest"), Qt::LeftButton);
        ASSERT_TRUE(dlg->TestRunning());
        EXPECT_FALSE(dlg->isEnabled());
        dlg->reject();
        dlg->close();
        EXPECT_TRUE(dlg->isVisible()) << "the result must find the dialog open";
        dlg->ReportTestResult(1);
        EXPECT_TRUE(dlg->isEnabled());
        EXPECT_EQ(dlg->TestState(), 1);

        // A report nobody asked for changes nothing.
        const auto seen = boxes.size();
        dlg->ReportTestResult(2);
        EXPECT_EQ(boxes.size(), seen);
        EXPECT_EQ(dlg->TestState(), 1);

        answerNow = true;
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnTest"), Qt::LeftButton);
        EXPECT_FALSE(dlg->TestRunning());
        EXPECT_TRUE(dlg->isEnabled());
        EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());

        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnEsc"), Qt::LeftButton);
        EXPECT_FALSE(dlg->isVisible());
    });
    EXPECT_FALSE(ok);
    EXPECT_EQ(QString::fromStdU16String(s.address), QStringLiteral("198.18.0.9"));
    EXPECT_EQ(QString::fromStdU16String(s.host), QStringLiteral("old"));
    EXPECT_TRUE(ReadSetting(u"Address").empty());
    EXPECT_TRUE(ReadSetting(u"Host").empty());
}

TEST_F(ClientSettingsDialog, BrowseFindsTheMasterFromTheMountOfTheChosenFolder)
{
    OwnerAnswers(1);
    TClnSettings s;
    s.address = u"10.0.0.1";
    s.host = u"before";
    Open(s, [&] {
        RunTest();
        ASSERT_EQ(dlg->TestState(), 1);

        struct Case {
            const char *folder;
            const char *error;   // box shown, or empty
            const char *address; // p_edAddr afterwards
            const char *node;    // p_edMast afterwards
        } cases[] = {
            {"/mnt/master/Users", "", "198.18.0.2", "mastersrv"},
            {"/home/ann", "Error getting full UNC disc name. Possibly, local disc is selected.", "198.18.0.2",
             "mastersrv"},
            {"/mnt/gone", "Error getting Master IP address(es).", "198.18.0.2", "mastersrv"},
            {"", "", "198.18.0.2", "mastersrv"}, // the chooser cancelled
        };
        for (const Case &c : cases) {
            boxes.clear();
            Browse(c.folder);
            EXPECT_EQ(dlg->TestState(), 0) << c.folder;
            EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled()) << c.folder;
            EXPECT_EQ(LastBox(), QString::fromUtf8(c.error)) << c.folder;
            EXPECT_LE(boxes.size(), 1u) << c.folder;
            if (!boxes.empty()) {
                EXPECT_EQ(boxes.back().title, QStringLiteral("Error"));
            }
            EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QString::fromUtf8(c.address)) << c.folder;
            EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edMast")->text(), QString::fromUtf8(c.node)) << c.folder;
            EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled()) << c.folder;
            EXPECT_TRUE(ChildWidget<QToolButton>(dlg, "p_bnNext")->isHidden()) << "one address needs no Next";
        }
        EXPECT_EQ(chooserCaption, QStringLiteral("Select system disc on a master station."));
        EXPECT_EQ(chooserStart, QString::fromStdU16String(F_GetMyComputerFolder()));
        ASSERT_EQ(dlg->AddressList().size(), 1u);
    });
}

TEST_F(ClientSettingsDialog, MasterWithThreeAddressesCyclesWithNext)
{
    TClnSettings s;
    Open(s, [&] {
        Browse("/mnt/nfs/share");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].message,
                  QStringLiteral("Master owns 3 IP addresses. Use down arrow button to test each one."));
        EXPECT_EQ(boxes[0].title, QStringLiteral("Notification"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edMast")->text(), QStringLiteral("fileserver"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("198.18.0.5"));
        ASSERT_TRUE(ChildWidget<QToolButton>(dlg, "p_bnNext")->isVisible());
        const char *expected[] = {"198.18.0.6", "198.18.0.7", "198.18.0.5", "198.18.0.6"};
        for (const char *e : expected) {
            QTest::mouseClick(ChildWidget<QToolButton>(dlg, "p_bnNext"), Qt::LeftButton);
            EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QString::fromUtf8(e));
            EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnTest")->isEnabled());
        }
        testsupport::saveScreenshot(dlg, QStringLiteral("client_settings_three_addresses"));
    });
}

TEST_F(ClientSettingsDialog, StateIsKeptBetweenOpenings)
{
    OwnerAnswers(1);
    TClnSettings s;
    s.address = u"10.1.1.1";
    s.host = u"stored";
    EXPECT_FALSE(Open(s, [&] {
        Browse("/mnt/nfs");
        QTest::mouseClick(ChildWidget<QToolButton>(dlg, "p_bnNext"), Qt::LeftButton);
        RunTest(); // tests 198.18.0.6
        EXPECT_EQ(dlg->TestState(), 1);
    }));

    EXPECT_TRUE(Open(s, [&] {
        // The edits show the settings again; the test, the list and Next survive.
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("10.1.1.1"));
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edMast")->text(), QStringLiteral("stored"));
        EXPECT_EQ(dlg->TestState(), 1);
        EXPECT_EQ(dlg->AddressList().size(), 3u);
        EXPECT_TRUE(ChildWidget<QToolButton>(dlg, "p_bnNext")->isVisible());
        EXPECT_FALSE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled())
            << "OK waits for the next change of the address";

        QTest::mouseClick(ChildWidget<QToolButton>(dlg, "p_bnNext"), Qt::LeftButton);
        EXPECT_EQ(ChildWidget<TSEdit>(dlg, "p_edAddr")->text(), QStringLiteral("198.18.0.7"))
            << "Next goes on from the kept index";
        EXPECT_TRUE(ChildWidget<QPushButton>(dlg, "p_bnOk")->isEnabled());
        QTest::mouseClick(ChildWidget<QPushButton>(dlg, "p_bnOk"), Qt::LeftButton);
    }));
    EXPECT_EQ(QString::fromStdU16String(s.address), QStringLiteral("198.18.0.6"))
        << "the address of the last test";
    EXPECT_EQ(QString::fromStdU16String(s.host), QStringLiteral("stored"));
    EXPECT_EQ(QString::fromStdU16String(ReadSetting(u"Address")), QStringLiteral("198.18.0.6"));
}

TEST_F(ClientSettingsDialog, ButtonsCarryTheFormsTags)
{
    // The numbers are the form's; the shared click handler dispatches on them. Cancel has none.
    const struct {
        const char *name;
        int tag;
    } buttons[] = {{"p_bnMast", 1}, {"p_bnTest", 2}, {"p_bnOk", 3}, {"p_bnNext", 4}, {"p_bnEsc", 0}};
    for (const auto &b : buttons)
        EXPECT_EQ(ChildWidget<QAbstractButton>(dlg, b.name)->property("Tag").toInt(), b.tag) << b.name;
}
