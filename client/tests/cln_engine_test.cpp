// The request engine driven through its transport, clock and effects: no socket, no waiting.

#include "cln_engine.h"

#include <common/catalogue.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string N(const UnicodeString &s)
{
    return UnicodeToUtf8(s);
}

struct FakeTransport : TClnTransport {
    std::vector<std::string> ops;
    void Open(TClnLine line, const UnicodeString &address, std::uint16_t port) override
    {
        ops.push_back("open " + std::to_string(int(line)) + " " + N(address) + ":" + std::to_string(port));
    }
    void Send(TClnLine line, const std::string &text) override
    {
        ops.push_back("send " + std::to_string(int(line)) + " " + text);
    }
    void Close(TClnLine line) override { ops.push_back("close " + std::to_string(int(line))); }
    // The texts sent to the master, in order.
    std::vector<std::string> Sent() const
    {
        std::vector<std::string> s;
        for (const std::string &op : ops)
            if (op.rfind("send 0 ", 0) == 0)
                s.push_back(op.substr(7));
        return s;
    }
    int Opens() const
    {
        int n = 0;
        for (const std::string &op : ops)
            n += op.rfind("open", 0) == 0;
        return n;
    }
};

struct FakeClock : TClnClock {
    TDateTime now = 45000.5;
    long long ms = 1000000;
    TDateTime Now() override { return now; }
    long long SteadyMs() override { return ms; }
    void Advance(long long by)
    {
        ms += by;
        now += by / 86400000.0;
    }
};

struct FakeEffects : TClnEffects {
    WatcherId next = 1;
    bool failWatchers = false;
    std::vector<std::pair<unsigned short, int>> started;
    std::vector<WatcherId> terminated;
    bool pollOn = false;
    int pollMs = 0;
    int minimise = 0;
    int sessionEnding = 0;
    int statusChanges = 0;
    UnicodeString apps;
    std::vector<std::string> errors;
    std::vector<int> tests;
    std::vector<bool> busy;

    WatcherId StartWatcher(unsigned short code, int pid) override
    {
        if (failWatchers)
            return 0;
        started.emplace_back(code, pid);
        return next++;
    }
    void TerminateWatcher(WatcherId id) override { terminated.push_back(id); }
    void SetPollTimer(bool enabled, int intervalMs) override
    {
        pollOn = enabled;
        pollMs = intervalMs;
    }
    void ArmMinimiseTimer() override { ++minimise; }
    void SessionEnding() override { ++sessionEnding; }
    void StatusChanged(TDateTime) override { ++statusChanges; }
    void AppsChanged(const UnicodeString &names) override { apps = names; }
    void ErrorShown(const UnicodeString &text) override { errors.push_back(N(text)); }
    void TestResult(int result) override { tests.push_back(result); }
    void BusyChanged(bool b) override { busy.push_back(b); }
};

class Engine : public ::testing::Test {
protected:
    Engine() : engine(transport, clock, fx)
    {
        engine.StartUp();
        engine.Settings().address = u"127.0.0.1";
        engine.Settings().port = 52100;
    }

    // Connects the request in flight and answers it with reply.
    void Converse(const std::string &reply)
    {
        ASSERT_NE(engine.Pending(), TPending::None);
        engine.OnConnected(TClnLine::Master);
        engine.OnReply(TClnLine::Master, reply);
    }

    FakeTransport transport;
    FakeClock clock;
    FakeEffects fx;
    TClnEngine engine;
};

const std::string BadMessage = "Error occured during conversation with Master (bad Master message).";

} // namespace

TEST_F(Engine, AnnouncementRepliesAreJudgedByTheRules)
{
    struct Case {
        const char *reply;
        bool good;
        int id;
        int pollMs;
    } cases[] = {
        {"22,1,7,60", true, 7, 60000},
        {"22,1,0,60", true, 0, 180000},  // no new ID: neither changes
        {"22,1,7,0", true, 7, 180000},   // an ID without interval keeps the interval
        {"22,1,7,60,9", true, 7, 60000}, // parts after the fourth are ignored
        {"22,1,7,-1", false, 0, 180000},
        {"22,1,-7,60", false, 0, 180000},
        {"47,0,0,0", false, 0, 180000},
        {"35,1,0,0", false, 0, 180000},
        {"abc", false, 0, 180000},
        {"22,1,7", false, 0, 180000},
        {"", false, 0, 180000}, // closed without a reply
        {"22,1,7,9999999", true, 7, 2147483000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reply);
        FakeTransport t;
        FakeEffects f;
        TClnEngine e(t, clock, f);
        e.StartUp();
        e.Settings().address = u"10.0.0.5";
        e.Announce(83, 4242);
        ASSERT_EQ(e.Pending(), TPending::Announcement);
        e.OnConnected(TClnLine::Master);
        e.OnReply(TClnLine::Master, c.reply);
        EXPECT_EQ(t.Sent(), std::vector<std::string>{"112,0,83,2"});
        EXPECT_EQ(e.Pending(), TPending::None);
        EXPECT_EQ(e.ClientId(), c.id);
        EXPECT_EQ(e.PollIntervalMs(), c.pollMs);
        EXPECT_EQ(t.ops.back(), "close 0") << "the connection is closed after the reply";
        if (c.good) {
            EXPECT_TRUE(f.errors.empty());
            ASSERT_EQ(f.started.size(), 1u);
            EXPECT_EQ(f.started[0], (std::pair<unsigned short, int>(83, 4242)));
            EXPECT_EQ(e.Rows()[1].pid, 4242);
            EXPECT_TRUE(f.pollOn);
            EXPECT_EQ(f.pollMs, c.pollMs);
            EXPECT_EQ(N(f.apps), N(AppDisplayName(83)));
        } else {
            EXPECT_EQ(f.errors, std::vector<std::string>{BadMessage});
            EXPECT_TRUE(f.started.empty()) << "no watcher without a good reply";
            EXPECT_EQ(e.RunningCount(), 0);
            EXPECT_FALSE(f.pollOn);
            EXPECT_EQ(f.sessionEnding, 0) << "only a keep-alive ends the session";
        }
    }
}

TEST_F(Engine, KeepAliveAndWithdrawalWantAnAcknowledgement)
{
    struct Case {
        TPending kind;
        const char *reply;
        bool good;
    } cases[] = {
        {TPending::KeepAlive, "35,1,0,0", true},   {TPending::KeepAlive, "35,0,0,0", true},
        {TPending::KeepAlive, "47,0,0,0", false},  {TPending::KeepAlive, "abc", false},
        {TPending::KeepAlive, "22,1,7,60", false}, {TPending::Withdrawal, "35,1,0,0", true},
        {TPending::Withdrawal, "47,0,0,0", false}, {TPending::Withdrawal, "", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.kind == TPending::KeepAlive ? "keep-alive " : "withdrawal ") + c.reply);
        FakeTransport t;
        FakeEffects f;
        TClnEngine e(t, clock, f);
        e.StartUp();
        e.Settings().address = u"10.0.0.5";
        if (c.kind == TPending::KeepAlive) {
            e.PollTick();
        } else {
            e.Announce(93, 77);
            e.OnConnected(TClnLine::Master);
            e.OnReply(TClnLine::Master, "22,1,0,0");
            t.ops.clear();
            e.InstanceEnded(93, 77);
        }
        ASSERT_EQ(e.Pending(), c.kind);
        e.OnConnected(TClnLine::Master);
        e.OnReply(TClnLine::Master, c.reply);
        EXPECT_EQ(t.Sent(),
                  std::vector<std::string>{c.kind == TPending::KeepAlive ? "259,0,0,0" : "376,0,93,0"});
        EXPECT_EQ(e.Pending(), TPending::None);
        if (c.good) {
            EXPECT_TRUE(f.errors.empty());
            EXPECT_EQ(f.sessionEnding, 0);
            EXPECT_EQ(f.minimise, c.kind == TPending::Withdrawal ? 1 : 0);
        } else if (c.kind == TPending::KeepAlive) {
            EXPECT_EQ(f.errors, std::vector<std::string>{BadMessage + " Work session ends soon."});
            EXPECT_EQ(f.sessionEnding, 1);
        } else {
            EXPECT_EQ(f.errors, std::vector<std::string>{BadMessage});
            EXPECT_EQ(f.sessionEnding, 0);
        }
    }
}

TEST_F(Engine, KeepAliveTickShortlyAfterAConnectionSendsNothing)
{
    engine.Announce(83, 500);
    Converse("22,1,11,60");
    ASSERT_EQ(engine.PollIntervalMs(), 60000);
    const int opens = transport.Opens();

    clock.Advance(3000); // exactly 60000 / 20 after the connection
    engine.PollTick();
    EXPECT_EQ(transport.Opens(), opens);
    EXPECT_EQ(engine.Pending(), TPending::None);

    clock.Advance(1);
    engine.PollTick();
    EXPECT_EQ(engine.Pending(), TPending::KeepAlive);
    // A second tick while the keep-alive is under way adds none.
    engine.PollTick();
    EXPECT_TRUE(engine.Queued().empty());
    Converse("35,1,0,0");
    EXPECT_EQ(transport.Sent().back(), "259,11,0,0");

    // With the default interval the margin is 9000 ms.
    TClnEngine fresh(transport, clock, fx);
    fresh.StartUp();
    fresh.Settings().address = u"10.0.0.5";
    fresh.TestConnection(u"10.0.0.6", 52100);
    fresh.OnConnected(TClnLine::Test);
    clock.Advance(9000);
    fresh.PollTick();
    EXPECT_EQ(fresh.Pending(), TPending::None);
    clock.Advance(1);
    fresh.PollTick();
    EXPECT_EQ(fresh.Pending(), TPending::KeepAlive);
}

TEST_F(Engine, FailedKeepAliveEndsTheSession)
{
    engine.Announce(10, 600);
    Converse("22,1,12,180");
    clock.Advance(10000);
    engine.PollTick();
    ASSERT_EQ(engine.Pending(), TPending::KeepAlive);
    engine.OnError(TClnLine::Master, 111);
    EXPECT_EQ(fx.errors.back(),
              "Error occured during conversation with Master (OS error code 111). Work session ends soon.");
    EXPECT_EQ(fx.sessionEnding, 1);
    EXPECT_TRUE(engine.SessionEnds());
    EXPECT_FALSE(engine.PollEnabled());
    EXPECT_EQ(engine.Pending(), TPending::None);
    EXPECT_EQ(transport.ops.back(), "close 0");
    // No keep-alive goes out any more.
    const int opens = transport.Opens();
    clock.Advance(200000);
    engine.PollTick();
    EXPECT_EQ(transport.Opens(), opens);
}

TEST_F(Engine, WithoutAnAddressNoConnectionIsTried)
{
    engine.Announce(93, 800);
    Converse("22,1,11,180");
    const int opens = transport.Opens();
    const std::size_t busy = fx.busy.size();
    engine.Settings().address.clear();
    engine.Announce(83, 700);
    engine.InstanceEnded(93, 800);
    EXPECT_EQ(transport.Opens(), opens);
    EXPECT_EQ(engine.Pending(), TPending::None);
    EXPECT_TRUE(engine.Queued().empty());
    EXPECT_EQ(fx.started.size(), 1u);
    EXPECT_EQ(fx.errors,
              (std::vector<std::string>{
                  "Error occured during conversation with Master (Master IP address not defined).",
                  "Error occured during conversation with Master (Master IP address not defined)."}));
    EXPECT_EQ(fx.busy.size(), busy) << "no hour-glass without a connection";
}

TEST_F(Engine, RequestsMadeWhileOneIsInFlightFollowInOrder)
{
    engine.Announce(83, 100);
    engine.Announce(93, 200); // arrives before the master has answered the first
    engine.OnConnected(TClnLine::Master);
    engine.Announce(97, 300);
    ASSERT_EQ(engine.Queued().size(), 2u);
    EXPECT_EQ(transport.Opens(), 1) << "one conversation at a time";
    engine.OnReply(TClnLine::Master, "22,1,11,60");
    // The next request goes at once, with the ID the first one brought.
    EXPECT_EQ(engine.Pending(), TPending::Announcement);
    Converse("22,1,0,0");
    clock.Advance(5000);
    engine.PollTick(); // queued behind the last announcement
    Converse("22,1,0,0");
    Converse("35,1,0,0");
    EXPECT_EQ(transport.Sent(),
              (std::vector<std::string>{"112,0,83,2", "112,11,93,3", "112,11,97,4", "259,11,0,0"}));
    EXPECT_EQ(engine.RunningCount(), 3);
    EXPECT_EQ(N(fx.apps), N(AppDisplayName(83) + u", " + AppDisplayName(93) + u", " + AppDisplayName(97)));

    // An end, a new start and another end in quick succession all reach the master.
    engine.InstanceEnded(93, 200);
    engine.Announce(10, 400);
    engine.InstanceEnded(97, 300);
    Converse("35,1,0,0");
    Converse("22,1,0,0");
    Converse("35,1,0,0");
    const std::vector<std::string> sent = transport.Sent();
    EXPECT_EQ(std::vector<std::string>(sent.end() - 3, sent.end()),
              (std::vector<std::string>{"376,11,93,0", "112,11,10,1", "376,11,97,0"}));
    EXPECT_EQ(N(fx.apps), N(AppDisplayName(10) + u", " + AppDisplayName(83)));
    EXPECT_TRUE(fx.pollOn) << "instances still run";
}

TEST_F(Engine, ErrorDropsOnlyTheRequestItHit)
{
    engine.Announce(83, 100);
    engine.Announce(93, 200);
    engine.OnError(TClnLine::Master, 111);
    EXPECT_EQ(fx.errors.back(), "Error occured during conversation with Master (OS error code 111).");
    EXPECT_EQ(fx.sessionEnding, 0);
    EXPECT_EQ(engine.Pending(), TPending::Announcement) << "the next request goes";
    Converse("22,1,11,180");
    EXPECT_EQ(transport.Sent(), std::vector<std::string>{"112,0,93,3"});
    EXPECT_EQ(engine.RunningCount(), 1);
    EXPECT_EQ(engine.Rows()[2].pid, 200);
}

TEST_F(Engine, SecondInstanceOfACodeSurvivesTheEndOfTheFirst)
{
    engine.Announce(83, 100);
    Converse("22,1,11,180");
    engine.Announce(83, 200);
    Converse("22,1,0,0");
    EXPECT_EQ(engine.Rows()[1].pid, 200) << "the row holds the later process";
    EXPECT_EQ(engine.RunningCount(), 1);
    EXPECT_EQ(engine.WatchedCount(), 2u);

    // The earlier one ends: the master drops every row of (11, 83), so the one that still
    // runs is announced again.
    engine.InstanceEnded(83, 100);
    EXPECT_EQ(engine.Rows()[1].pid, 200);
    Converse("35,1,0,0");
    Converse("22,1,0,0");
    EXPECT_EQ(fx.started.size(), 2u) << "no second watcher for the process already watched";
    EXPECT_EQ(engine.RunningCount(), 1);
    EXPECT_TRUE(fx.pollOn);

    engine.InstanceEnded(83, 200);
    EXPECT_EQ(engine.RunningCount(), 0);
    Converse("35,1,0,0");
    EXPECT_FALSE(engine.Pending() != TPending::None || !engine.Queued().empty());
    const std::vector<std::string> sent = transport.Sent();
    EXPECT_EQ(std::vector<std::string>(sent.begin() + 2, sent.end()),
              (std::vector<std::string>{"376,11,83,0", "112,11,83,2", "376,11,83,0"}));
    EXPECT_FALSE(fx.pollOn) << "nothing runs any more";
    EXPECT_TRUE(fx.apps.empty());
}

TEST_F(Engine, ProcessGoneBeforeItCouldBeWatchedIsWithdrawn)
{
    fx.failWatchers = true;
    engine.Announce(97, 900);
    Converse("22,1,11,180");
    EXPECT_EQ(engine.RunningCount(), 0);
    EXPECT_EQ(engine.Pending(), TPending::Withdrawal);
    Converse("35,1,0,0");
    EXPECT_EQ(transport.Sent(), (std::vector<std::string>{"112,0,97,4", "376,11,97,0"}));
}

TEST_F(Engine, CodeWithoutARowIsWatchedButNotListed)
{
    engine.Announce(0, 321);
    Converse("22,1,11,180");
    EXPECT_EQ(transport.Sent().back(), "112,0,0,0") << "no row: per-application value 0";
    EXPECT_EQ(fx.started.size(), 1u);
    EXPECT_EQ(engine.RunningCount(), 0);
    EXPECT_TRUE(fx.apps.empty());
    engine.InstanceEnded(0, 321);
    Converse("35,1,0,0");
    EXPECT_EQ(transport.Sent().back(), "376,11,0,0");
    EXPECT_EQ(engine.WatchedCount(), 0u);
}

TEST_F(Engine, ConnectionTestRunsBesideTheMastersRequests)
{
    engine.Announce(83, 100);
    engine.TestConnection(u"192.168.7.9", 52111);
    EXPECT_EQ(transport.ops,
              (std::vector<std::string>{"open 0 127.0.0.1:52100", "open 1 192.168.7.9:52111"}));
    engine.OnConnected(TClnLine::Test);
    EXPECT_EQ(fx.tests, std::vector<int>{1});
    EXPECT_EQ(transport.ops.back(), "close 1") << "connect only";
    EXPECT_EQ(engine.LastConnection(), clock.now);
    EXPECT_EQ(engine.Pending(), TPending::Announcement) << "the announcement is untouched";

    engine.TestConnection(u"192.168.7.10", 52111);
    engine.OnError(TClnLine::Test, 113);
    EXPECT_EQ(fx.tests, (std::vector<int>{1, 2}));
    EXPECT_TRUE(fx.errors.empty()) << "a failed test is the dialog's to report";
    Converse("22,1,11,180");
    EXPECT_EQ(transport.Sent(), std::vector<std::string>{"112,0,83,2"});
    EXPECT_EQ(fx.busy, (std::vector<bool>{true, false})) << "hour-glass while either line connects";
}

TEST_F(Engine, ShutdownStopsEveryWatcherAndSendsNothingMore)
{
    engine.Announce(83, 100);
    Converse("22,1,11,180");
    engine.Announce(93, 200);
    Converse("22,1,0,0");
    engine.Announce(97, 300);
    engine.Shutdown();
    EXPECT_EQ(fx.terminated, (std::vector<TClnEffects::WatcherId>{1, 2}));
    EXPECT_EQ(engine.RunningCount(), 0);
    EXPECT_EQ(transport.ops.back(), "close 0");
    const std::size_t ops = transport.ops.size();
    engine.OnConnected(TClnLine::Master);
    engine.InstanceEnded(83, 100);
    engine.PollTick();
    EXPECT_EQ(transport.ops.size(), ops);
}

TEST_F(Engine, EndReportThatMatchesNoWatchIsIgnored)
{
    engine.Announce(83, 100);
    Converse("22,1,11,180");
    engine.Announce(83, 200);
    Converse("22,1,0,0");
    engine.Announce(93, 300);
    Converse("22,1,0,0");
    const std::size_t sent = transport.Sent().size();
    const UnicodeString apps = fx.apps;

    // An unknown process of a watched code, a watched process under another code, a code
    // nothing of which is watched.
    const std::pair<unsigned short, int> strays[] = {{83, 999}, {93, 100}, {10, 100}, {83, 0}};
    for (const auto &[code, pid] : strays) {
        SCOPED_TRACE(std::to_string(code) + "/" + std::to_string(pid));
        fx.apps = u"untouched";
        engine.InstanceEnded(code, pid);
        EXPECT_EQ(engine.WatchedCount(), 3u) << "no running process loses its watch";
        EXPECT_EQ(engine.Pending(), TPending::None) << "nothing to tell the master";
        EXPECT_TRUE(engine.Queued().empty());
        EXPECT_EQ(N(fx.apps), "untouched");
    }
    EXPECT_EQ(engine.Rows()[1].pid, 200);
    EXPECT_EQ(engine.Rows()[2].pid, 300);
    EXPECT_EQ(transport.Sent().size(), sent);

    // The real end of the earlier process still takes that process only.
    engine.InstanceEnded(83, 100);
    Converse("35,1,0,0");
    ASSERT_EQ(engine.Pending(), TPending::Announcement);
    Converse("22,1,0,0");
    EXPECT_EQ(engine.WatchedCount(), 2u);
    EXPECT_EQ(engine.Rows()[1].pid, 200);
    EXPECT_EQ(N(fx.apps), N(apps));
    const std::vector<std::string> all = transport.Sent();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(sent), all.end()),
              (std::vector<std::string>{"376,11,83,0", "112,11,83,2"}));
}

TEST_F(Engine, FullQueueDropsNewRequestsWithAReportButNeverAWithdrawal)
{
    engine.Announce(83, 100);
    Converse("22,1,11,180");
    engine.Announce(10, 1); // in flight, the master does not answer yet
    for (std::size_t i = 0; i < TClnEngine::MaxQueued; ++i)
        engine.Announce(93, 2000 + static_cast<int>(i));
    ASSERT_EQ(engine.Queued().size(), TClnEngine::MaxQueued);
    EXPECT_TRUE(fx.errors.empty());

    engine.Announce(97, 5000);
    clock.Advance(10000);
    engine.PollTick();
    EXPECT_EQ(fx.errors,
              (std::vector<std::string>{
                  "Request to Master dropped, 1024 requests are waiting: announcement of application 97 "
                  "(process 5000).",
                  "Request to Master dropped, 1024 requests are waiting: keep-alive."}));
    EXPECT_EQ(fx.sessionEnding, 0) << "a dropped keep-alive is no failed one";
    EXPECT_EQ(engine.Queued().size(), TClnEngine::MaxQueued);

    engine.InstanceEnded(83, 100);
    ASSERT_EQ(engine.Queued().size(), TClnEngine::MaxQueued + 1);
    EXPECT_EQ(engine.Queued().back().kind, TPending::Withdrawal);
    EXPECT_EQ(engine.Queued().back().code, 83);
    EXPECT_EQ(fx.errors.size(), 2u) << "the withdrawal is kept, not reported";

    // Everything queued reaches the master in order, the withdrawal last.
    for (std::size_t i = 0; i <= TClnEngine::MaxQueued && engine.Pending() == TPending::Announcement; ++i)
        Converse("22,1,0,0");
    ASSERT_EQ(engine.Pending(), TPending::Withdrawal);
    Converse("35,1,0,0");
    EXPECT_EQ(transport.Sent().size(), TClnEngine::MaxQueued + 3);
    EXPECT_EQ(transport.Sent().back(), "376,11,83,0");
    EXPECT_EQ(engine.Pending(), TPending::None);
    EXPECT_EQ(fx.errors.size(), 2u);
}

TEST_F(Engine, EndsWhileRequestsWaitLeaveTheMasterOneRowPerRunningProcess)
{
    const auto tail = [&](std::size_t n) {
        const std::vector<std::string> sent = transport.Sent();
        return std::vector<std::string>(sent.end() - static_cast<long>(n), sent.end());
    };
    const auto queuedPids = [&] {
        std::vector<std::pair<TPending, int>> q;
        for (const TClnRequest &r : engine.Queued())
            q.emplace_back(r.kind, r.pid);
        return q;
    };

    // Two processes of 83 end while a keep-alive holds the line, and a third starts.
    engine.Announce(83, 100);
    Converse("22,1,11,180");
    engine.Announce(83, 200);
    Converse("22,1,0,0");
    clock.Advance(10000);
    engine.PollTick();
    engine.InstanceEnded(83, 100);
    engine.InstanceEnded(83, 200);
    EXPECT_EQ(queuedPids(), (std::vector<std::pair<TPending, int>>{{TPending::Withdrawal, 0}}))
        << "the waiting withdrawal of 83 covers the second end; the ended process is not announced again";
    engine.Announce(83, 300);
    Converse("35,1,0,0");
    Converse("35,1,0,0");
    Converse("22,1,0,0");
    EXPECT_EQ(tail(3), (std::vector<std::string>{"259,11,0,0", "376,11,83,0", "112,11,83,2"}));

    // A process announced while the withdrawal of its code waits is announced again after it.
    engine.Announce(83, 400);
    engine.InstanceEnded(83, 300);
    Converse("22,1,0,0");
    Converse("35,1,0,0");
    ASSERT_EQ(engine.Pending(), TPending::Announcement);
    Converse("22,1,0,0");
    EXPECT_EQ(tail(3), (std::vector<std::string>{"112,11,83,2", "376,11,83,0", "112,11,83,2"}));
    EXPECT_EQ(fx.started.size(), 4u) << "announced again, not watched twice";
    EXPECT_EQ(engine.Rows()[1].pid, 400);

    // A waiting announcement of a process that then ends is dropped with its end.
    for (int pid : {500, 600, 700}) {
        engine.Announce(93, pid);
        Converse("22,1,0,0");
    }
    engine.InstanceEnded(93, 700);
    Converse("35,1,0,0"); // 500 goes again at once, 600 waits
    EXPECT_EQ(queuedPids(), (std::vector<std::pair<TPending, int>>{{TPending::Announcement, 600}}));
    engine.InstanceEnded(93, 600);
    EXPECT_EQ(queuedPids(), (std::vector<std::pair<TPending, int>>{{TPending::Withdrawal, 0}}));
    Converse("22,1,0,0");
    Converse("35,1,0,0");
    Converse("22,1,0,0");
    EXPECT_EQ(engine.Pending(), TPending::None);
    EXPECT_TRUE(engine.Queued().empty());
    EXPECT_EQ(tail(4),
              (std::vector<std::string>{"376,11,93,0", "112,11,93,3", "376,11,93,0", "112,11,93,3"}));
    EXPECT_EQ(engine.Rows()[2].pid, 500);
}
