// The master's windows in-process: list rows and tooltips over real TCP requests, the log
// window, the close box and the exit path.

#include "mst_evlog.h"
#include "mst_main.h"

#include <common/catalogue.h>
#include <common/gui/aboutdlg.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/timeaddr.h>
#include <noticekit/noticekit.h>
#include <testsupport/child_widget.h>
#include <testsupport/heldport.h>
#include <testsupport/masterstore.h>
#include <testsupport/rawtcp.h>
#include <testsupport/screenshots.h>

#include <QAbstractItemModel>
#include <QElapsedTimer>
#include <QFrame>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTableView>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace {

// A registry store with the suite's key and the given port; its own session word per test.
class MasterWindows : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        port = held.port();
        testsupport::UseMasterStore(dir.filePath(QStringLiteral("korvel.reg")).toStdString(), port,
                                    "winTest");
        clockNow = 45000.5; // 12:00:00 of a working day
        Build();
    }

    // The server and its windows; the server takes the held port when handOver is set.
    void Build()
    {
        win.reset();
        logWin.reset();
        server.reset();
        TMstServer::Options options;
        options.clocks = TClocks{[this] { return clockNow; }, [this] { return clockNow * 86400.0; }};
        options.inheritedListener = handOver ? held.handOver() : -1;
        server = std::make_unique<TMstServer>(options);
        logWin = std::make_unique<TpLogWin>(server.get());
        win = std::make_unique<TMstMainWin>(server.get(), logWin.get());
        logWin->SetMainWindow(win.get());
    }

    void TearDown() override
    {
        noticekit::setShowHook({});
        if (win && !win->ClosingAllowed())
            win->EndSession();
        win.reset();
        logWin.reset();
        server.reset();
    }

    // Shows the window and runs its start-up (server, port, log).
    void Start()
    {
        win->show();
        win->FormActivate();
        ASSERT_EQ(win->ListeningPort(), port);
    }

    // The windows' widgets by the names their forms give them.
    template <typename T> T *Win(const char *name) const { return ChildWidget<T>(win, name); }
    template <typename T> T *Log(const char *name) const { return ChildWidget<T>(logWin, name); }
    QTableView *Apps() const { return Win<QTableView>("p_lvApps"); }
    QTableView *LogList() const { return Log<QTableView>("p_lvLog"); }

    // One request on a fresh connection, as a client agent sends it; the reply text.
    QByteArray Request(const QByteArray &text, int waitMs = 3000)
    {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (!s.waitForConnected(3000))
            return "no connection";
        s.write(text);
        QSignalSpy spy(&s, &QTcpSocket::readyRead);
        if (!spy.wait(waitMs))
            return {};
        return s.readAll();
    }

    // What the server did so far is published and shown.
    void Settle()
    {
        EXPECT_TRUE(QTest::qWaitFor([this] { return !server->PublishPending(); }, 5000));
        win->FlushChanges();
    }

    QString Cell(int row, int col)
    {
        Settle();
        auto *m = Apps()->model();
        return m->data(m->index(row, col)).toString();
    }

    QString TipAtRow(int row)
    {
        const QRect r = Apps()->visualRect(Apps()->model()->index(row, 1));
        QTest::mouseMove(Apps()->viewport(), r.center());
        QMouseEvent move(QEvent::MouseMove, QPointF(r.center()),
                         Apps()->viewport()->mapToGlobal(QPointF(r.center())), Qt::NoButton, Qt::NoButton,
                         Qt::NoModifier);
        QCoreApplication::sendEvent(Apps()->viewport(), &move);
        return Win<QLabel>("p_panTip")->text();
    }

    // Rows and log lines as the windows show them now.
    int Rows()
    {
        Settle();
        return Apps()->model()->rowCount();
    }

    QTemporaryDir dir;
    testsupport::HeldPort held;
    bool handOver = true;
    quint16 port = 0;
    TDateTime clockNow = 0;
    std::unique_ptr<TMstServer> server;
    std::unique_ptr<TpLogWin> logWin;
    std::unique_ptr<TMstMainWin> win;
};

} // namespace

TEST_F(MasterWindows, FormHasTheDesignedControls)
{
    EXPECT_EQ(win->windowTitle(), QStringLiteral(" Korvel - Master"));
    EXPECT_EQ(win->size(), QSize(382, 286));
    EXPECT_EQ(Win<QFrame>("p_panTop")->height(), 31);
    EXPECT_EQ(Win<QFrame>("p_panBot")->height(), 72);
    EXPECT_EQ(Win<QPushButton>("p_bnLog")->geometry(), QRect(113, 35, 75, 26));
    EXPECT_EQ(Win<QPushButton>("p_bnEsc")->geometry(), QRect(194, 35, 75, 26));
    EXPECT_EQ(Win<QToolButton>("p_bnHelp")->geometry(), QRect(324, 35, 21, 25));
    EXPECT_EQ(Win<QToolButton>("p_bnAbout")->geometry(), QRect(353, 36, 21, 25));
    EXPECT_EQ(Win<QPushButton>("p_bnEsc")->property("Tag").toInt(), 1);
    EXPECT_EQ(Win<QToolButton>("p_bnHelp")->property("Tag").toInt(), 2);
    EXPECT_EQ(Win<QToolButton>("p_bnAbout")->property("Tag").toInt(), 3);
    EXPECT_EQ(Win<QPushButton>("p_bnLog")->property("Tag").toInt(), 4);
    EXPECT_FALSE(Win<QLabel>("p_labLed")->isEnabled()) << "the lamp is off at start";
    EXPECT_TRUE(Win<QLabel>("p_panTip")->text().isEmpty());
    EXPECT_EQ(Apps()->model()->columnCount(), 5);
    const int widths[] = {33, 45, 120, 70, 60};
    for (int c = 0; c < 5; ++c)
        EXPECT_EQ(Apps()->columnWidth(c), widths[c]);
}

TEST_F(MasterWindows, StartUpLogsThePortAndRunsTheAuditTimer)
{
    Start();
    Settle();
    ASSERT_GE(server->Snapshot()->log.Count(), 1);
    EXPECT_EQ(QString::fromStdU16String(server->Snapshot()->log.At(0).text),
              QStringLiteral("Master begins listening at port %1.").arg(port));
    EXPECT_TRUE(server->AuditTimer()->isActive());
    EXPECT_EQ(server->AuditTimer()->interval(), 180000);
    // A second activation does nothing more.
    win->FormActivate();
    Settle();
    EXPECT_EQ(server->Snapshot()->log.Count(), 1);
}

TEST_F(MasterWindows, ListRowsFollowAnnouncementsAndWithdrawals)
{
    Start();
    EXPECT_EQ(Request("112,0,83,0"), QByteArray("22,1,11,180"));
    EXPECT_EQ(Request("112,0,93,0"), QByteArray("22,1,12,180"));
    EXPECT_EQ(Request("112,11,97,0"), QByteArray("22,1,0,0"));
    ASSERT_EQ(Rows(), 3);
    EXPECT_EQ(Cell(0, 0), QStringLiteral("  1"));
    EXPECT_EQ(Cell(0, 1), QStringLiteral("83"));
    EXPECT_EQ(Cell(0, 2), QString::fromStdU16String(AppDisplayName(83)));
    EXPECT_FALSE(Cell(0, 2).isEmpty());
    EXPECT_EQ(Cell(0, 3), QStringLiteral("12:00:00"));
    EXPECT_EQ(Cell(0, 4), QStringLiteral("11"));
    EXPECT_EQ(Cell(2, 0), QStringLiteral("  3"));
    EXPECT_EQ(Cell(2, 4), QStringLiteral("11"));
    testsupport::saveScreenshot(win.get(), QStringLiteral("master_main_rows"));

    EXPECT_EQ(Request("376,11,83,0"), QByteArray("35,1,0,0"));
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(Cell(0, 1), QStringLiteral("93"));
    EXPECT_EQ(Cell(0, 0), QStringLiteral("  1"));
    EXPECT_EQ(Cell(1, 1), QStringLiteral("97"));
    // A bad request leaves the list as it was.
    EXPECT_EQ(Request("112,0,5,0"), QByteArray("47,0,0,0"));
    EXPECT_EQ(Rows(), 2);
}

TEST_F(MasterWindows, StartTimeWithoutDatePartIsEmpty)
{
    Start();
    clockNow = 0.5;
    EXPECT_EQ(Request("112,0,0,0"), QByteArray("22,1,11,180"));
    ASSERT_EQ(Rows(), 1);
    EXPECT_EQ(Cell(0, 3), QString());
    EXPECT_EQ(Cell(0, 1), QStringLiteral("0"));
    EXPECT_EQ(Cell(0, 2), QString()) << "code 0 has no name";
}

TEST_F(MasterWindows, SecondMessageOnTheSameConnectionIsHandled)
{
    Start();
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    ASSERT_TRUE(s.waitForConnected(3000));
    QSignalSpy accepted(&s, &QTcpSocket::readyRead);
    s.write("112,0,83,0");
    ASSERT_TRUE(accepted.wait(3000));
    EXPECT_EQ(s.readAll(), QByteArray("22,1,11,180"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return Win<QLabel>("p_labLed")->isEnabled(); }, 3000))
        << "the lamp is on while a connection is accepted";
    s.write("259,11,0,0");
    ASSERT_TRUE(accepted.wait(3000));
    EXPECT_EQ(s.readAll(), QByteArray("35,1,0,0"));
    s.disconnectFromHost();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Win<QLabel>("p_labLed")->isEnabled(); }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return win->ConnectionCount() == 0; }, 3000));
}

TEST_F(MasterWindows, TooltipNamesMasterStationAndNetworkClients)
{
    Start();
    // A process that does not exist: no watcher.
    ASSERT_TRUE(PostMessage(win->PortValue(), WM_ANNOUNCE, 83, 0x7ffffff0));
    ASSERT_TRUE(QTest::qWaitFor([this] { return Rows() == 1; }, 5000));
    EXPECT_EQ(Request("112,0,93,0"), QByteArray("22,1,11,180"));
    ASSERT_EQ(Rows(), 2);
    QCoreApplication::processEvents();

    EXPECT_EQ(TipAtRow(0), QStringLiteral("Application is running on master-station (client ID = 10)."));
    const QString tip = TipAtRow(1);
    EXPECT_TRUE(tip.startsWith(QStringLiteral("Client 11.  Host: "))) << tip.toStdString();
    EXPECT_TRUE(tip.endsWith(QStringLiteral(".  Address: 127.0.0.1"))) << tip.toStdString();

    // Leaving the list empties the line.
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(Apps()->viewport(), &leave);
    EXPECT_TRUE(Win<QLabel>("p_panTip")->text().isEmpty());

    // Silent for 415 seconds: the audit drops client 11, its row stays with empty host and
    // address in the tooltip.
    clockNow += 415.0 / 86400.0;
    server->Audit();
    Settle();
    const TMstSnapshotPtr snap = server->Snapshot();
    EXPECT_EQ(QString::fromStdU16String(snap->log.At(snap->log.Count() - 1).text),
              QStringLiteral("Master audit: at least, one client is dead."));
    EXPECT_FALSE(server->AuditTimer()->isActive()) << "no client left";
    ASSERT_EQ(Rows(), 2);
    EXPECT_EQ(TipAtRow(1), QStringLiteral("Client 11.  Host: .  Address: "));

    // Below any row: empty.
    QMouseEvent move(QEvent::MouseMove, QPointF(5, Apps()->viewport()->height() - 2), QPointF(), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Apps()->viewport(), &move);
    EXPECT_TRUE(Win<QLabel>("p_panTip")->text().isEmpty());
}

TEST_F(MasterWindows, CloseBoxOnlyMinimises)
{
    Start();
    win->close();
    EXPECT_TRUE(win->isVisible());
    EXPECT_TRUE(win->isMinimized());
    EXPECT_FALSE(win->ClosingAllowed());
    EXPECT_EQ(win->ListeningPort(), port) << "the master keeps serving";
}

TEST_F(MasterWindows, ExitWithoutSessionsAsksNothing)
{
    Start();
    int boxes = 0;
    noticekit::setShowHook([&](QDialog *box) {
        ++boxes;
        box->reject();
    });
    QTest::mouseClick(Win<QPushButton>("p_bnEsc"), Qt::LeftButton);
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(win->ClosingAllowed());
    EXPECT_FALSE(win->isVisible());
    EXPECT_EQ(win->ListeningPort(), 0) << "the server is closed";
}

TEST_F(MasterWindows, ExitWithSessionsAsksAndNoKeepsRunning)
{
    Start();
    EXPECT_EQ(Request("112,0,83,0"), QByteArray("22,1,11,180"));
    QString asked;
    bool sayYes = false;
    noticekit::setShowHook([&](QDialog *box) {
        auto *mes = qobject_cast<TCustMesBox *>(box);
        ASSERT_NE(mes, nullptr);
        asked = mes->mp_labMes->text();
        QTest::mouseClick(sayYes ? mes->mp_bnOk : mes->mp_bnEsc, Qt::LeftButton);
    });
    QTest::mouseClick(Win<QPushButton>("p_bnEsc"), Qt::LeftButton);
    EXPECT_EQ(asked,
              QStringLiteral(
                  "There are active Ardentis application(s). They will be aborted soon. Continue anyway?"));
    EXPECT_FALSE(win->ClosingAllowed());
    EXPECT_TRUE(win->isVisible());
    EXPECT_EQ(win->ListeningPort(), port);

    sayYes = true;
    asked.clear();
    QTest::mouseClick(Win<QPushButton>("p_bnEsc"), Qt::LeftButton);
    EXPECT_FALSE(asked.isEmpty());
    EXPECT_TRUE(win->ClosingAllowed());
    EXPECT_FALSE(win->isVisible());
}

TEST_F(MasterWindows, EndOfSessionClosesWithoutAsking)
{
    Start();
    EXPECT_EQ(Request("112,0,83,0"), QByteArray("22,1,11,180"));
    int boxes = 0;
    noticekit::setShowHook([&](QDialog *box) {
        ++boxes;
        box->reject();
    });
    win->EndSession();
    EXPECT_EQ(boxes, 0);
    EXPECT_FALSE(win->isVisible());
}

TEST_F(MasterWindows, EventLogButtonShowsTheLogWindowNearTheMainWindow)
{
    Start();
    EXPECT_FALSE(logWin->isVisible());
    QTest::mouseClick(Win<QPushButton>("p_bnLog"), Qt::LeftButton);
    ASSERT_TRUE(logWin->isVisible());
    EXPECT_EQ(logWin->windowTitle(), QStringLiteral(" Master Logger"));
    EXPECT_EQ(logWin->minimumWidth(), 450);
    EXPECT_EQ(logWin->maximumWidth(), 450);
    EXPECT_EQ(logWin->minimumHeight(), 299);
    EXPECT_FALSE(logWin->FirstShow());
    const QPoint first = logWin->pos();

    // Closed and shown again: where it was, not placed anew.
    logWin->move(first + QPoint(-40, -30));
    const QPoint moved = logWin->pos();
    QTest::mouseClick(Log<QPushButton>("p_bnClose"), Qt::LeftButton);
    EXPECT_FALSE(logWin->isVisible());
    QTest::mouseClick(Win<QPushButton>("p_bnLog"), Qt::LeftButton);
    EXPECT_TRUE(logWin->isVisible());
    EXPECT_EQ(logWin->pos(), moved);
}

TEST_F(MasterWindows, LogWindowRowsAndScrolling)
{
    Start();
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(Request("abc"), QByteArray("47,0,0,0"));
    // Hidden: only the count follows.
    Settle();
    auto *m = LogList()->model();
    EXPECT_EQ(m->rowCount(), server->Snapshot()->log.Count());
    EXPECT_EQ(m->rowCount(), 41);
    EXPECT_EQ(m->data(m->index(0, 0)).toString(), QStringLiteral("12:00:00"));
    EXPECT_EQ(m->data(m->index(0, 1)).toString(),
              QStringLiteral("Master begins listening at port %1.").arg(port));
    EXPECT_EQ(m->data(m->index(40, 1)).toString(), QStringLiteral("Bad client messge - discarded."));

    // The next show scrolls the last line fully into view.
    logWin->show();
    QCoreApplication::processEvents();
    const QRect last = LogList()->visualRect(m->index(40, 0));
    EXPECT_TRUE(LogList()->viewport()->rect().contains(last)) << "last row fully visible";
    EXPECT_FALSE(LogList()->viewport()->rect().contains(LogList()->visualRect(m->index(0, 0))));

    // While visible, each new line scrolls into view with the next repaint.
    EXPECT_EQ(Request("259,0,0,0"), QByteArray("35,1,0,0"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m->rowCount() == 42; }, 3000));
    EXPECT_TRUE(LogList()->viewport()->rect().contains(LogList()->visualRect(m->index(41, 0))));
    EXPECT_EQ(m->data(m->index(41, 1)).toString(), QStringLiteral("Client 0 requested for acknowledgment."));
    testsupport::saveScreenshot(logWin.get(), QStringLiteral("master_event_log"));
}

TEST_F(MasterWindows, PortInUseLeavesTheMasterWithoutServer)
{
    // The port stays held by the test: the master cannot have it.
    handOver = false;
    Build();
    win->show();
    win->FormActivate();
    EXPECT_EQ(win->ListeningPort(), 0);
    EXPECT_TRUE(win->Started());
    QWidget *box = win->findChild<QWidget *>(QStringLiteral("ServerErrorBox"));
    ASSERT_NE(box, nullptr) << "the failure is reported";
    EXPECT_TRUE(box->isVisible());
    Settle();
    const TMstSnapshotPtr snap = server->Snapshot();
    ASSERT_EQ(snap->log.Count(), 2) << "the log started anyway, and says why the port is not open";
    const QString failed = QString::fromStdU16String(snap->log.At(1).text);
    EXPECT_TRUE(failed.startsWith(QStringLiteral("Master cannot listen at port "))) << failed.toStdString();
    auto *message = qobject_cast<QMessageBox *>(box);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->text(), failed);
}

TEST_F(MasterWindows, AboutButtonShowsTheAboutBox)
{
    Start();
    bool seen = false;
    QTimer::singleShot(0, [&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *dlg = qobject_cast<TAboutDlg *>(w); dlg && dlg->isVisible()) {
                seen = true;
                EXPECT_EQ(dlg->Rows().size(), 8u);
                testsupport::saveScreenshot(dlg, QStringLiteral("about_box_without_version"));
                dlg->P_bnOk->click();
            }
    });
    QTest::mouseClick(Win<QToolButton>("p_bnAbout"), Qt::LeftButton);
    EXPECT_TRUE(seen);
}

namespace {

// Counts the paints of a widget.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget *w) { w->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

TEST_F(MasterWindows, UpdatesKeepTheSelectionAndComeAtABoundedRate)
{
    Start();
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(Request("112,0,83,0"), QByteArray("22,1,") + QByteArray::number(11 + i) + ",180");
    ASSERT_EQ(Rows(), 40);
    QCoreApplication::processEvents();
    // The user picks a row and scrolls down a little.
    const QRect r = Apps()->visualRect(Apps()->model()->index(3, 1));
    QTest::mouseClick(Apps()->viewport(), Qt::LeftButton, {}, r.center());
    Apps()->verticalScrollBar()->setValue(5);
    const int scrolled = Apps()->verticalScrollBar()->value();
    ASSERT_EQ(Apps()->selectionModel()->selectedRows().value(0).row(), 3);

    // A burst of requests: the list follows, at a few repaints a second.
    PaintCounter counter(Apps()->viewport());
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(Request("259,11,0,0"), QByteArray("35,1,0,0"));
    ASSERT_EQ(Request("112,0,93,0"), QByteArray("22,1,51,180"));
    const qint64 ms = t.elapsed();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Apps()->model()->rowCount() == 41; }, 3000));
    EXPECT_LE(counter.paints, 2 + 2 * static_cast<int>(ms / TMstMainWin::RepaintIntervalMs))
        << counter.paints << " paints in " << ms << " ms";
    EXPECT_EQ(Apps()->selectionModel()->selectedRows().value(0).row(), 3) << "the selection stays";
    EXPECT_EQ(Apps()->verticalScrollBar()->value(), scrolled) << "and so does the scroll position";
    testsupport::saveScreenshot(win.get(), QStringLiteral("master_main_selection_kept"));
}

// The server in its own thread, as the program runs it, changing as fast as clients make it:
// announcements and withdrawals shift the rows all the time. Each row the window reads must
// come from one state: its code is the one its client announced.
TEST(MasterWindowsUnderLoad, RowsAreReadWholeWhileTheServerChanges)
{
    QTemporaryDir dir;
    testsupport::HeldPort held;
    testsupport::UseMasterStore(dir.filePath(QStringLiteral("korvel.reg")).toStdString(), held.port(),
                                "winLoad");

    TMstServer::Options options;
    options.inheritedListener = held.handOver();
    options.resolver = [](const QString &address) { return QStringLiteral("ws-") + address; };
    auto *server = new TMstServer(options);
    QThread thread;
    server->moveToThread(&thread);
    thread.start();
    TMstServer::StartResult started;
    QMetaObject::invokeMethod(
        server, [&] { started = server->StartUp(); }, Qt::BlockingQueuedConnection);
    ASSERT_TRUE(started.blockCreated);
    ASSERT_TRUE(started.listening);
    TpLogWin logWin(server);
    TMstMainWin win(server, &logWin);

    // Which code each client announced; neighbouring rows always differ in code.
    std::mutex lock;
    std::unordered_map<int, int> codeOf;
    std::atomic<bool> done{false};
    std::thread load([&] {
        std::vector<std::pair<int, int>> live;
        QElapsedTimer t;
        t.start();
        for (int k = 0; k < 3000 && t.elapsed() < 30000; ++k) {
            const int code = KnownAppCodes[k % std::size(KnownAppCodes)];
            int fd = testsupport::TcpConnect(held.port());
            const std::string reply = testsupport::TcpAsk(fd, "112,0," + std::to_string(code) + ",0");
            ::close(fd);
            const int id = std::atoi(reply.substr(5).c_str());
            if (reply.rfind("22,1,", 0) != 0 || id == 0)
                continue;
            {
                std::lock_guard<std::mutex> l(lock);
                codeOf[id] = code;
            }
            live.emplace_back(id, code);
            if (live.size() > 30) {
                fd = testsupport::TcpConnect(held.port());
                testsupport::TcpAsk(fd, "376," + std::to_string(live.front().first) + "," +
                                            std::to_string(live.front().second) + ",0");
                ::close(fd);
                live.erase(live.begin());
            }
        }
        done = true;
    });

    int checked = 0, mixed = 0;
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 60000) {
        win.FlushChanges();
        for (int row = 0; row < 40; ++row) {
            const QString code = win.p_lvAppsData(row, 1);
            const QString id = win.p_lvAppsData(row, 4);
            if (code.isEmpty() || id.isEmpty())
                continue;
            std::lock_guard<std::mutex> l(lock);
            const auto it = codeOf.find(id.toInt());
            if (it == codeOf.end())
                continue; // its announcement's reply is still on the way
            ++checked;
            mixed += it->second != code.toInt();
        }
        QCoreApplication::processEvents();
    }
    load.join();
    EXPECT_GT(checked, 1000) << "too few rows read to tell";
    EXPECT_EQ(mixed, 0) << mixed << " of " << checked << " rows mixed two states";

    QMetaObject::invokeMethod(
        server, [server] { delete server; }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    qunsetenv("KORVEL_REGISTRY");
    qunsetenv("KORVEL_SESSION");
}
