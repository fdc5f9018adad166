// The agent object with real sockets, timers, port, handle block and watchers, against a
// stand-in master on loopback; no window.

#include "cln_agent.h"
#include "fake_master.h"

#include <common/catalogue.h>
#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/strtable.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtCore/qtestsupport_core.h>

#include <gtest/gtest.h>
#include <testsupport/child.h>

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <memory>

using testsupport::DeafListener;
using testsupport::FakeMaster;

namespace {

QCoreApplication *App()
{
    static int argc = 1;
    static char name[] = "cln_agent_test";
    static char *argv[] = {name, nullptr};
    static QCoreApplication *app = new QCoreApplication(argc, argv);
    return app;
}

class Agent : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_TRUE(dir.isValid());
        static int n = 0;
        qputenv("KORVEL_SESSION",
                QByteArray("agentTest") + QByteArray::number(getpid()) + "x" + QByteArray::number(++n));
        qputenv("KORVEL_REGISTRY", dir.filePath(QStringLiteral("korvel.reg")).toLocal8Bit());
    }
    void TearDown() override
    {
        children.clear(); // kills and reaps what still runs
    }

    void WriteReg(const std::string &values)
    {
        std::ofstream f(dir.filePath(QStringLiteral("korvel.reg")).toStdString(), std::ios::binary);
        f << "Windows Registry Editor Version "
             "5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ardentis\\Korvel]\r\n"
          << values;
    }

    // A process of the suite's application `code`, announced to the agent as korvel-run does.
    testsupport::Child *Announced(TClnAgent &agent, unsigned short code)
    {
        auto p = std::make_unique<testsupport::Child>();
        EXPECT_TRUE(p->Start("sleep", {"30"}));
        EXPECT_TRUE(PostMessage(agent.PortValue(), WM_ANNOUNCE, code, static_cast<std::intptr_t>(p->Pid())));
        children.push_back(std::move(p));
        return children.back().get();
    }

    static bool WaitForRequests(FakeMaster &m, std::size_t n, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return m.requests.size() >= n; }, ms);
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<testsupport::Child>> children;
};

} // namespace

TEST_F(Agent, ReportsAnAnnouncedProcessWhileItRunsAndItsEnd)
{
    FakeMaster master(1); // keep-alives every second
    WriteReg("\"Address\"=\"127.0.0.1\"\r\n\"Port\"=\"" + std::to_string(master.Port()) + "\"\r\n");
    TClnAgent agent;
    QSignalSpy apps(&agent, &TClnAgent::appsChanged);
    QSignalSpy errors(&agent, &TClnAgent::errorShown);
    agent.StartUp();
    EXPECT_EQ(agent.Settings().address, u"127.0.0.1");
    std::uint32_t held = 0;
    ASSERT_TRUE(TestHandleBlock(&held));
    EXPECT_EQ(held, agent.PortValue()) << "the handle block names the agent's port";
    EXPECT_EQ(agent.PollTimer()->interval(), 180000);
    EXPECT_FALSE(agent.PollTimer()->isActive());

    testsupport::Child *app = Announced(agent, 83);
    ASSERT_TRUE(WaitForRequests(master, 1));
    EXPECT_EQ(master.requests[0].text, QByteArray("112,0,83,2"));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return agent.AppsText() == QString::fromStdU16String(AppDisplayName(83)); }, 3000));
    EXPECT_EQ(apps.last().at(0).toString(), QString::fromStdU16String(AppDisplayName(83)));
    EXPECT_EQ(agent.Engine().ClientId(), 11);
    EXPECT_TRUE(agent.PollTimer()->isActive());
    EXPECT_EQ(agent.PollTimer()->interval(), 1000) << "the interval the master dictates";
    EXPECT_TRUE(agent.StatusText().startsWith(QStringLiteral("Last connection: ")));

    ASSERT_TRUE(WaitForRequests(master, 2, 8000)) << "keep-alives flow";
    EXPECT_EQ(master.requests[1].text, QByteArray("259,11,0,0"));

    // No keep-alive comes due from here on, so the end can only be reported by itself, at once,
    // and not with the next keep-alive.
    agent.PollTimer()->setInterval(24 * 3600 * 1000);
    ASSERT_TRUE(QTest::qWaitFor([&] { return agent.Engine().Pending() == TPending::None; }, 5000));
    const std::size_t before = master.requests.size();
    app->Kill();
    ASSERT_TRUE(WaitForRequests(master, before + 1));
    EXPECT_EQ(master.requests[before].text, QByteArray("376,11,83,0"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !agent.PollTimer()->isActive(); }, 3000)) << "nothing runs";
    EXPECT_TRUE(agent.AppsText().isEmpty());
    EXPECT_TRUE(agent.MinimiseTimer()->isActive()) << "armed by the withdrawal";
    EXPECT_EQ(errors.count(), 0);

    agent.Close();
    EXPECT_FALSE(TestHandleBlock()) << "the block goes with the agent";
}

TEST_F(Agent, ConversationsThatFailEndWithTheSystemsCodeWithinTheirBound)
{
    struct Case {
        const char *name;
        int expectCode; // OS error, or -2 for a bad master message
    } cases[] = {
        {"refused", ECONNREFUSED},     {"never accepted", ETIMEDOUT},     {"never answered", ETIMEDOUT},
        {"closed without a word", -2}, {"not an address", EADDRNOTAVAIL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeMaster master;
        DeafListener deaf;
        TClnTimings timings;
        timings.connectMs = timings.replyMs = 400;
        TClnAgent agent(nullptr, timings);
        agent.StartUp();
        agent.Settings().address = u"127.0.0.1";
        agent.Settings().port = master.Port();
        const std::string name = c.name;
        if (name == "refused")
            master.GoAway();
        else if (name == "never accepted")
            agent.Settings().port = deaf.Port();
        else if (name == "never answered")
            master.answer = [](const QByteArray &) { return QByteArray(); };
        else if (name == "closed without a word") {
            master.answer = [](const QByteArray &) { return QByteArray(); };
            master.closeSilently = true;
        } else
            agent.Settings().address = u"-1.0.0.1";

        QSignalSpy errors(&agent, &TClnAgent::errorShown);
        QElapsedTimer t;
        t.start();
        ASSERT_TRUE(PostMessage(agent.PortValue(), WM_ANNOUNCE, 93, getpid()));
        // The system's own bounds are minutes (a connection never accepted) or none (a reply
        // that never comes); the agent's are 400 ms here. The wait only catches a hang.
        ASSERT_TRUE(errors.wait(30000));
        const qint64 took = t.elapsed();
        EXPECT_EQ(errors.at(0).at(0).toString(),
                  QString::fromStdU16String(TClnEngine::ErrorText(c.expectCode, false)));
        if (c.expectCode == ETIMEDOUT) {
            EXPECT_GE(took, 400) << "ended by the agent's deadline, not before it";
        }
        EXPECT_EQ(agent.Engine().Pending(), TPending::None);
        EXPECT_EQ(agent.Engine().RunningCount(), 0);
        EXPECT_TRUE(agent.HoldsHandleBlock()) << "only a keep-alive ends the session";
    }
}

TEST_F(Agent, ConnectionTestConnectsOnly)
{
    FakeMaster master;
    TClnAgent agent;
    agent.StartUp();
    QSignalSpy results(&agent, &TClnAgent::testResult);
    QSignalSpy errors(&agent, &TClnAgent::errorShown);
    agent.TestConnection(QStringLiteral("127.0.0.1"), master.Port());
    ASSERT_TRUE(results.wait(5000));
    EXPECT_EQ(results.at(0).at(0).toInt(), 1);
    EXPECT_TRUE(agent.StatusText().startsWith(QStringLiteral("Last connection: ")));
    master.GoAway();
    agent.TestConnection(QStringLiteral("127.0.0.1"), master.Port());
    ASSERT_TRUE(results.wait(5000));
    EXPECT_EQ(results.at(1).at(0).toInt(), 2);
    QCoreApplication::processEvents();
    EXPECT_TRUE(master.requests.empty()) << "a test sends nothing";
    EXPECT_EQ(errors.count(), 0);
}

TEST_F(Agent, OneAgentPerSession)
{
    TClnAgent first;
    first.StartUp();
    TClnAgent second;
    try {
        second.StartUp();
        ADD_FAILURE() << "the second agent took the handle block";
    } catch (const cmn_err &e) {
        EXPECT_EQ(e.id(), IDS_BLOCK_CREATE_ERROR);
    }
    EXPECT_TRUE(TestHandleBlock());
    first.Close();
    EXPECT_FALSE(TestHandleBlock());
}

TEST_F(Agent, ConnectionTestLeavesTheMasterRequestsConnectionAlone)
{
    auto master = std::make_unique<FakeMaster>();
    master->answer = [](const QByteArray &) { return QByteArray(); }; // holds the request
    TClnAgent agent;
    agent.StartUp();
    agent.Settings().address = u"127.0.0.1";
    agent.Settings().port = master->Port();
    QSignalSpy connected(&agent, &TClnAgent::requestConnected);
    QSignalSpy disconnected(&agent, &TClnAgent::disconnected);
    QSignalSpy results(&agent, &TClnAgent::testResult);

    // A test alone is no connection to the master's requests.
    agent.TestConnection(QStringLiteral("127.0.0.1"), master->Port());
    ASSERT_TRUE(results.wait(5000));
    EXPECT_EQ(connected.count(), 0);
    EXPECT_EQ(disconnected.count(), 0);

    ASSERT_TRUE(PostMessage(agent.PortValue(), WM_ANNOUNCE, 93, getpid()));
    ASSERT_TRUE(WaitForRequests(*master, 1));
    ASSERT_EQ(connected.count(), 1);
    agent.TestConnection(QStringLiteral("127.0.0.1"), master->Port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return results.count() == 2; }, 5000));
    EXPECT_EQ(results.at(1).at(0).toInt(), 1);
    EXPECT_EQ(disconnected.count(), 0) << "the request is still connected";
    EXPECT_EQ(agent.Engine().Pending(), TPending::Announcement);

    // The request's own end is reported.
    master.reset();
    ASSERT_TRUE(disconnected.wait(5000));
    EXPECT_EQ(disconnected.count(), 1);
    EXPECT_EQ(agent.Engine().Pending(), TPending::None);
}
