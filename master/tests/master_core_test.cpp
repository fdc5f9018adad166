#include <mst_core.h>

#include <common/timeaddr.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kSecond = 1.0 / 86400.0;
using Timer = TCoreActions::Timer;

// A master core on default settings, started, with a clock the test moves.
class Master : public ::testing::Test {
protected:
    Master()
    {
        core.SetWatcherStarter([this](unsigned short code, int pid) {
            watchers.emplace_back(code, pid);
            return static_cast<std::uint64_t>(watchers.size());
        });
        core.StartUp();
    }
    void advance(double seconds)
    {
        now += seconds * kSecond;
        mono += seconds;
    }
    std::string send(const std::string &text, const TPeerInfo &peer = {u"ws1", u"10.0.0.5"})
    {
        last = core.Receive(text, peer);
        return last.reply;
    }
    std::string logLine(int fromEnd = 0) const
    {
        return UnicodeToUtf8(log.At(log.Count() - 1 - fromEnd).text);
    }
    std::vector<std::pair<int, int>> rows() const
    {
        std::vector<std::pair<int, int>> out;
        for (int i = 0; i < core.RowCount(); ++i)
            out.emplace_back(core.RowAt(i).clientId, core.RowAt(i).appCode);
        return out;
    }

    TDateTime now = 45000.5;
    double mono = 1000;
    TClocks clocks{[this] { return now; }, [this] { return mono; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
    TReceiveResult last;
    std::vector<std::pair<unsigned short, int>> watchers;
};

using Receive = Master;
using Announce = Master;
using KeepAlive = Master;
using Withdraw = Master;
using Closing = Master;
using Audit = Master;
using LocalMessages = Master;
using ListAccess = Master;

TEST_F(Master, StartUpBeginsTheLogAndTheAuditTimer)
{
    EXPECT_EQ(log.Count(), 1);
    EXPECT_EQ(logLine(), "Master begins listening at port 52100.");
    EXPECT_TRUE(core.AuditTimerRunning());
    EXPECT_EQ(core.HighestClientId(), 10);
    EXPECT_TRUE(core.ReplyBuffer().empty());
}

TEST_F(Announce, ANewClientGetsTheNextIdAndTheInterval)
{
    EXPECT_EQ(send("112,0,83,0"), "22,1,11,180");
    EXPECT_TRUE(last.actions.valid);
    EXPECT_TRUE(last.actions.refreshList);
    EXPECT_TRUE(last.actions.refreshLog);
    EXPECT_EQ(last.actions.auditTimer, Timer::Start);
    EXPECT_EQ(logLine(), "Client is assigned ID = 11. ");
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 83}}));
    EXPECT_EQ(core.RowAt(0).start, now);
    ASSERT_EQ(core.Clients().size(), 1);
    const TClientRow c = core.Clients().rows()[0];
    EXPECT_EQ(c.host, u"ws1");
    EXPECT_EQ(c.address, u"10.0.0.5");
    EXPECT_EQ(c.lastContact, mono / 86400.0) << "last contact on the monotonic clock";

    EXPECT_EQ(send("112,0,93,7", {u"ws2", u"10.0.0.6"}), "22,1,12,180");
    EXPECT_EQ(core.HighestClientId(), 12);
}

TEST_F(Announce, TheIntervalIsTheConfiguredAuditPeriod)
{
    core.Settings().auditPeriod = 60;
    EXPECT_EQ(send("112,0,10,0"), "22,1,11,60");
}

TEST_F(Announce, AKnownClientGetsZerosAndAnotherRow)
{
    send("112,0,83,0");
    const int logged = log.Count();
    EXPECT_EQ(send("112,11,83,0"), "22,1,0,0");
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 83}, {11, 83}}));
    EXPECT_EQ(log.Count(), logged); // no ID handed out, no line
    EXPECT_EQ(core.HighestClientId(), 11);
}

TEST_F(Announce, ApplicationCodeZeroIsRecorded)
{
    EXPECT_EQ(send("112,0,0,0"), "22,1,11,180");
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 0}}));
    EXPECT_EQ(core.Sessions().countByApp(0), 1);
}

TEST_F(Announce, DoesNotRenewTheLastContactOfAKnownClient)
{
    send("112,0,83,0");
    const TDateTime first = mono / 86400.0;
    advance(100);
    send("112,11,93,0", {u"other", u"10.9.9.9"});
    const TClientRow c = core.Clients().rows()[0];
    EXPECT_EQ(c.lastContact, first);
    EXPECT_EQ(c.host, u"ws1");
}

TEST_F(Receive, InvalidRequestsGetTheErrorReplyAndChangeNothing)
{
    send("112,0,83,0");
    send("112,0,93,0"); // highest ID now 12
    const auto rowsBefore = rows();
    const int clientsBefore = core.Clients().size();
    const char *bad[] = {
        "112,0,5,0",    "112,9,10,0", "112,13,10,0",  "259,11,0,-1",  "abc",        "",
        "112,,83,0",    "113,11,0,0", "259,11,-83,0", "376,11,84,0",  "428,13,0,0", "112,-11,83,0",
        "65648,0,83,0", "999,0,0,0",  "0,0,0,0",      "112,0,65619,0"};
    for (const char *text : bad) {
        EXPECT_EQ(send(text), "47,0,0,0") << text;
        EXPECT_FALSE(last.actions.valid) << text;
        EXPECT_FALSE(last.actions.refreshList) << text;
        EXPECT_TRUE(last.actions.refreshLog) << text;
        EXPECT_EQ(last.actions.auditTimer, Timer::Keep) << text;
        EXPECT_EQ(logLine(), "Bad client messge - discarded.") << text;
    }
    EXPECT_EQ(rows(), rowsBefore);
    EXPECT_EQ(core.Clients().size(), clientsBefore);
    EXPECT_EQ(core.HighestClientId(), 12);
}

TEST_F(Receive, EmptyPartsAndExtraPartsDoNotMatter)
{
    send("112,0,83,0");
    EXPECT_EQ(send("259,11,0,0,7"), "35,1,0,0");
    EXPECT_EQ(logLine(), "Client 11 requested for acknowledgment.");
    EXPECT_EQ(send("259,,11,0,0"), "35,1,0,0");
    EXPECT_EQ(logLine(), "Client 11 requested for acknowledgment.");
}

TEST_F(Receive, AfterARestartOldIdsAreRefused)
{
    // A fresh master has handed out nothing: every ID above 10 is unknown to it.
    EXPECT_EQ(send("259,11,0,0"), "47,0,0,0");
    EXPECT_EQ(send("376,11,83,0"), "47,0,0,0");
    // ID 10 is the master station and is within range.
    EXPECT_EQ(send("259,10,0,0"), "35,1,0,0");
}

TEST_F(KeepAlive, RenewsTheLastContact)
{
    send("112,0,83,0");
    advance(200);
    EXPECT_EQ(send("259,11,0,0"), "35,1,0,0");
    EXPECT_EQ(core.Clients().rows()[0].lastContact, mono / 86400.0);
    EXPECT_TRUE(last.actions.valid);
    EXPECT_EQ(last.actions.auditTimer, Timer::Keep);
}

TEST_F(KeepAlive, FromAPurgedClientIsAcknowledgedButDoesNotBringItBack)
{
    send("112,0,83,0");
    advance(415);
    core.Audit();
    ASSERT_EQ(core.Clients().size(), 0);
    EXPECT_EQ(send("259,11,0,0"), "35,1,0,0");
    EXPECT_EQ(core.Clients().size(), 0);
    // Its next announcement does, with the host and address of that connection.
    EXPECT_EQ(send("112,11,93,0", {u"ws1-new", u"10.0.0.77"}), "22,1,0,0");
    ASSERT_EQ(core.Clients().size(), 1);
    EXPECT_EQ(core.Clients().rows()[0].host, u"ws1-new");
    EXPECT_EQ(core.Clients().rows()[0].address, u"10.0.0.77");
}

TEST_F(Withdraw, RemovesAllMatchingRowsAndTheClientWhenNoneIsLeft)
{
    send("112,0,10,0");
    send("112,11,10,0");
    send("112,0,83,0"); // client 12 stays
    EXPECT_EQ(send("376,11,10,0"), "35,1,0,0");
    EXPECT_EQ(logLine(), "Application 10 has shut down, client 11.");
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{12, 83}}));
    EXPECT_FALSE(core.Clients().contains(11));
    EXPECT_TRUE(core.Clients().contains(12));
    EXPECT_EQ(last.actions.auditTimer, Timer::Keep);
    EXPECT_TRUE(core.AuditTimerRunning());
}

TEST_F(Withdraw, KeepsAClientThatStillRunsSomething)
{
    send("112,0,83,0");
    send("112,11,93,0");
    send("376,11,83,0");
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 93}}));
    EXPECT_TRUE(core.Clients().contains(11));
}

TEST_F(Withdraw, TheLastClientGoingStopsTheAuditTimer)
{
    send("112,0,83,0");
    send("376,11,83,0");
    EXPECT_EQ(core.Clients().size(), 0);
    EXPECT_EQ(last.actions.auditTimer, Timer::Stop);
    EXPECT_FALSE(core.AuditTimerRunning());
    // The next announcement starts it again.
    send("112,0,83,0");
    EXPECT_EQ(last.actions.auditTimer, Timer::Start);
    EXPECT_TRUE(core.AuditTimerRunning());
}

TEST_F(Withdraw, OfSomethingNeverAnnouncedOnlyLogsAndAcknowledges)
{
    send("112,0,83,0");
    EXPECT_EQ(send("376,11,97,0"), "35,1,0,0");
    EXPECT_EQ(logLine(), "Application 97 has shut down, client 11.");
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_TRUE(core.Clients().contains(11));
}

TEST_F(Closing, RepeatsThePreviousReply)
{
    EXPECT_EQ(send("428,0,0,0"), "");
    EXPECT_TRUE(last.actions.valid);
    EXPECT_EQ(log.Count(), 1); // nothing logged
    send("112,0,83,0");
    send("259,11,0,0");
    EXPECT_EQ(send("428,0,0,0"), "35,1,0,0");
    send("abc");
    EXPECT_EQ(send("428,11,0,0"), "47,0,0,0");
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(Audit, TimeoutIsTheSumOfPeriodsTimesOnePointFifteen)
{
    EXPECT_EQ(core.AuditTimeout(), 414);
    core.Settings().auditPeriod = 60;
    core.Settings().gracePeriod = 0;
    EXPECT_EQ(core.AuditTimeout(), 69);
    core.Settings().auditPeriod = 65535;
    core.Settings().gracePeriod = 65535;
    EXPECT_EQ(core.AuditTimeout(), 150730);
}

TEST_F(Audit, AllActiveLogsSoAndKeepsTheTimer)
{
    send("112,0,83,0");
    advance(414);
    const TCoreActions a = core.Audit();
    EXPECT_EQ(logLine(), "Master audit: all clients are active.");
    EXPECT_EQ(core.Clients().size(), 1);
    EXPECT_EQ(a.auditTimer, Timer::Start);
    EXPECT_FALSE(a.refreshList);
    EXPECT_TRUE(a.refreshLog);
    EXPECT_TRUE(core.AuditTimerRunning());
}

TEST_F(Audit, ASilentClientIsRemovedButItsRowsStay)
{
    send("112,0,83,0");
    send("112,0,93,0");
    advance(300);
    send("259,12,0,0");
    advance(115); // client 11 silent for 415 s, client 12 for 115 s
    const TCoreActions a = core.Audit();
    EXPECT_EQ(logLine(), "Master audit: at least, one client is dead.");
    EXPECT_FALSE(core.Clients().contains(11));
    EXPECT_TRUE(core.Clients().contains(12));
    EXPECT_TRUE(a.refreshList);
    EXPECT_EQ(a.auditTimer, Timer::Start);
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 83}, {12, 93}}));
    EXPECT_EQ(core.Sessions().countByClient(11), 1);
    // The tooltip of the purged client's row shows empty host and address.
    EXPECT_EQ(UnicodeToUtf8(core.TipText(0)), "Client 11.  Host: .  Address: ");
}

TEST_F(Audit, TheLastClientRemovedLeavesTheTimerOff)
{
    send("112,0,83,0");
    advance(415);
    const TCoreActions a = core.Audit();
    EXPECT_EQ(logLine(), "Master audit: at least, one client is dead.");
    EXPECT_EQ(a.auditTimer, Timer::Stop);
    EXPECT_FALSE(core.AuditTimerRunning());
}

TEST_F(Audit, WithOnlyLocalInstancesLogsNothing)
{
    core.LocalAnnounce(83, 4242);
    const int logged = log.Count();
    const TCoreActions a = core.Audit();
    EXPECT_EQ(log.Count(), logged);
    EXPECT_EQ(a.auditTimer, Timer::Stop);
    EXPECT_FALSE(a.refreshLog);
    EXPECT_FALSE(core.AuditTimerRunning());
    EXPECT_EQ(rows().size(), 1u);
}

TEST_F(LocalMessages, AnnounceRecordsClientTenAndStartsAWatcher)
{
    const TCoreActions a = core.LocalAnnounce(83, 4242);
    EXPECT_TRUE(a.refreshList);
    EXPECT_EQ(a.auditTimer, Timer::Keep);
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{10, 83}}));
    EXPECT_EQ(core.RowAt(0).start, now);
    EXPECT_EQ(core.Clients().size(), 0); // the master station has no client row
    EXPECT_EQ(core.AnnouncedCode(), 83);
    EXPECT_EQ(core.AnnouncedProcess(), 4242);
    EXPECT_EQ(watchers, (std::vector<std::pair<unsigned short, int>>{{83, 4242}}));
    EXPECT_TRUE(core.WatcherSlotHeld(83));
    EXPECT_EQ(core.WatchedProcess(83), 4242);
    EXPECT_EQ(UnicodeToUtf8(core.TipText(0)), "Application is running on master-station (client ID = 10).");
}

TEST_F(LocalMessages, AnUnknownCodeIsWatchedButHasNoSlot)
{
    core.LocalAnnounce(55, 77);
    EXPECT_EQ(watchers, (std::vector<std::pair<unsigned short, int>>{{55, 77}}));
    EXPECT_FALSE(core.WatcherSlotHeld(55));
    EXPECT_EQ(core.WatchedProcess(55), 0);
    EXPECT_TRUE(core.HeldWatcherCodes().empty());
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{10, 55}}));
}

TEST_F(LocalMessages, TwoInstancesOfOneCodeEndTogether)
{
    core.LocalAnnounce(83, 100);
    core.LocalAnnounce(83, 200);
    EXPECT_EQ(core.WatchedProcess(83), 200); // the second replaces the first in the slot
    EXPECT_EQ(watchers.size(), 2u);
    TCoreActions a = core.LocalEnded(83);
    EXPECT_TRUE(a.refreshList);
    EXPECT_EQ(logLine(), "Application 83 has shut down, client 10.");
    EXPECT_EQ(core.RowCount(), 0);
    EXPECT_FALSE(core.WatcherSlotHeld(83));
    EXPECT_EQ(core.ReplyBuffer(), "35,1,0,0");
    const int logged = log.Count();
    a = core.LocalEnded(83); // the first watcher's message: only the log line
    EXPECT_EQ(log.Count(), logged + 1);
    EXPECT_EQ(core.RowCount(), 0);
}

TEST_F(LocalMessages, EndingWithNoNetworkClientStopsTheAuditTimer)
{
    core.LocalAnnounce(93, 1);
    const TCoreActions a = core.LocalEnded(93);
    EXPECT_EQ(a.auditTimer, Timer::Stop);
    EXPECT_FALSE(core.AuditTimerRunning());
}

TEST_F(LocalMessages, EndingKeepsNetworkRowsAndTheirClients)
{
    send("112,0,93,0");
    core.LocalAnnounce(93, 1);
    core.LocalAnnounce(97, 2);
    const TCoreActions a = core.LocalEnded(93);
    EXPECT_EQ(a.auditTimer, Timer::Keep);
    EXPECT_EQ(rows(), (std::vector<std::pair<int, int>>{{11, 93}, {10, 97}}));
    EXPECT_EQ(core.HeldWatcherCodes(), (std::vector<unsigned short>{97}));
    EXPECT_EQ(core.HeldWatchIds(), (std::vector<std::uint64_t>{2})) << "the watch of 97, to end at close";
}

TEST_F(LocalMessages, TheReplyBufferAfterALocalEndIsWhatAClosingRequestGets)
{
    core.LocalAnnounce(10, 1);
    core.LocalEnded(10);
    EXPECT_EQ(send("428,0,0,0"), "35,1,0,0");
}

TEST_F(ListAccess, RowsAndTipsFollowTheTableOrder)
{
    send("112,0,83,0", {u"alpha", u"192.168.1.2"});
    core.LocalAnnounce(97, 9);
    EXPECT_EQ(core.RowCount(), 2);
    EXPECT_EQ(UnicodeToUtf8(core.TipText(0)), "Client 11.  Host: alpha.  Address: 192.168.1.2");
    EXPECT_EQ(UnicodeToUtf8(core.TipText(1)), "Application is running on master-station (client ID = 10).");
    EXPECT_TRUE(core.TipText(2).empty());
    EXPECT_TRUE(core.TipText(-1).empty());
}

TEST_F(Master, SocketErrorsAreLoggedWithTheirWord)
{
    const TCoreActions a = core.SocketError(5);
    EXPECT_TRUE(a.refreshLog);
    EXPECT_EQ(logLine(), "Error occured during communication session with a client (connecting).");
}

} // namespace

namespace {

// A master whose wall clock follows a time zone and can be stepped, while its monotonic
// clock only runs.
struct ZonedMaster {
    explicit ZonedMaster(long long utc) : utc(utc), mono(1000) { core.StartUp(); }
    void run(long long seconds, long long wallStep = 0)
    {
        utc += seconds + wallStep;
        mono += static_cast<double>(seconds);
    }
    long long utc;
    double mono;
    TClocks clocks{[this] { return UnixToDateTime(utc); }, [this] { return mono; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
};

// Sets TZ for as long as it lives.
class Zone {
public:
    explicit Zone(const char *tz) : old_(std::getenv("TZ") ? std::getenv("TZ") : "")
    {
        had_ = std::getenv("TZ") != nullptr;
        setenv("TZ", tz, 1);
        tzset();
    }
    ~Zone()
    {
        if (had_)
            setenv("TZ", old_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string old_;
    bool had_ = false;
};

TEST(WallClockChanges, NeitherPurgeClientsNorEmptyTheLog)
{
    const Zone berlin("Europe/Berlin");
    struct Case {
        const char *what;
        long long start;    // UTC seconds
        long long wallStep; // the wall clock's jump beyond the time that passes
    };
    const Case cases[] = {
        // 02:59 CEST -> 02:01 CET: the local time goes back 58 minutes.
        {"autumn daylight-saving change", 1729990740, 0},
        // 01:59 CET -> 03:01 CEST: the local time goes forward 62 minutes.
        {"spring daylight-saving change", 1711846740, 0},
        {"clock stepped two hours ahead", 1700000000, 7200},
        {"clock stepped two hours back", 1700000000, -7200},
    };
    for (const Case &c : cases) {
        ZonedMaster m(c.start);
        EXPECT_EQ(m.core.Receive("112,0,83,0", TPeerInfo{u"ws", u"10.0.0.5"}).reply, "22,1,11,180");
        for (int i = 0; i < 12; ++i)
            m.core.Receive("259,11,0,0", TPeerInfo{});
        const int lines = m.log.Count();
        m.run(120, c.wallStep);
        m.core.Audit();
        EXPECT_TRUE(m.core.Clients().contains(11)) << c.what;
        EXPECT_EQ(UnicodeToUtf8(m.log.At(m.log.Count() - 1).text), "Master audit: all clients are active.")
            << c.what;
        EXPECT_EQ(m.log.Count(), lines + 1) << c.what << ": nothing pruned";
        // The times shown stay the local wall-clock times.
        EXPECT_EQ(m.log.At(m.log.Count() - 1).time, UnixToDateTime(m.utc)) << c.what;

        // Real silence still counts: 415 seconds later the client goes.
        m.run(415);
        m.core.Audit();
        EXPECT_FALSE(m.core.Clients().contains(11)) << c.what;
    }
}

TEST(ClientIds, NeverNegativeAndNeverShared)
{
    const TClocks clocks{[] { return 45000.5; }, [] { return 1000.0; }};
    TLogStore log(clocks);
    TMstCore core(log, clocks);
    core.SetSessionBounds(TSessionBounds{256, 1 << 20, 1 << 20}); // one address may take every ID here
    core.StartUp();
    const TPeerInfo peer{u"ws", u"10.0.0.5"};
    auto announce = [&] { return core.Receive("112,0,83,0", peer).reply; };
    for (int id = 11; id <= 32767; ++id)
        ASSERT_EQ(announce(), "22,1," + std::to_string(id) + ",180");
    // Past the signed 16-bit range: still counted up, shown and accepted as unsigned.
    EXPECT_EQ(announce(), "22,1,32768,180");
    EXPECT_EQ(UnicodeToUtf8(core.TipText(core.RowCount() - 1)),
              "Client 32768.  Host: ws.  Address: 10.0.0.5");
    EXPECT_EQ(core.Receive("259,32768,0,0", peer).reply, "35,1,0,0");
    for (int id = 32769; id <= 65535; ++id)
        ASSERT_EQ(announce(), "22,1," + std::to_string(id) + ",180");
    EXPECT_EQ(core.HighestClientId(), 65535);
    EXPECT_EQ(core.Receive("259,65535,0,0", peer).reply, "35,1,0,0");
    EXPECT_EQ(core.Receive("259,65536,0,0", peer).reply, "47,0,0,0") << "beyond 16 bits";

    // Every ID is held: a new client cannot be given one.
    EXPECT_EQ(announce(), "47,0,0,0");
    EXPECT_EQ(UnicodeToUtf8(log.At(log.Count() - 1).text), "Bad client messge - discarded.");
    // IDs come free as their clients go, and only those are handed out again.
    core.Receive("376,13,83,0", peer);
    core.Receive("376,11,83,0", peer);
    EXPECT_EQ(announce(), "22,1,11,180");
    EXPECT_EQ(announce(), "22,1,13,180");
    EXPECT_EQ(announce(), "47,0,0,0");
    int ids11 = 0;
    for (const TSessionRow &r : core.Sessions().rows())
        ids11 += r.clientId == 11;
    EXPECT_EQ(ids11, 1);
}

TEST(HostNames, TheAddressServesUntilTheLookupFinishes)
{
    const TClocks clocks{[] { return 45000.5; }, [] { return 1000.0; }};
    TLogStore log(clocks);
    TMstCore core(log, clocks);
    core.StartUp();
    core.Receive("112,0,83,0", TPeerInfo{{}, u"10.0.0.5", true});
    core.Receive("112,0,93,0", TPeerInfo{{}, u"10.0.0.6", true});
    core.Receive("112,0,97,0", TPeerInfo{{}, u"10.0.0.7", true});
    EXPECT_EQ(UnicodeToUtf8(core.TipText(0)), "Client 11.  Host: 10.0.0.5.  Address: 10.0.0.5");
    core.FillHost(u"10.0.0.5", u"ws5");
    core.FillHost(u"10.0.0.6", u""); // failed, or too late
    EXPECT_EQ(UnicodeToUtf8(core.TipText(0)), "Client 11.  Host: ws5.  Address: 10.0.0.5");
    EXPECT_EQ(UnicodeToUtf8(core.TipText(1)), "Client 12.  Host: 10.0.0.6.  Address: 10.0.0.6");
    EXPECT_EQ(UnicodeToUtf8(core.TipText(2)), "Client 13.  Host: 10.0.0.7.  Address: 10.0.0.7");
    // A lookup that finishes once more later changes nothing for clients no longer waiting.
    core.FillHost(u"10.0.0.6", u"ws6");
    EXPECT_EQ(UnicodeToUtf8(core.TipText(1)), "Client 12.  Host: 10.0.0.6.  Address: 10.0.0.6");
}

TEST(LongRequests, AreReadOnlyAsFarAsTheirFourthPart)
{
    const TClocks clocks{[] { return 45000.5; }, [] { return 1000.0; }};
    TLogStore log(clocks);
    TMstCore core(log, clocks);
    core.StartUp();
    std::string text = ",,,259,,10,0,0,";
    text.append(8 << 20, '7');
    EXPECT_EQ(core.Receive(text, TPeerInfo{}).reply, "35,1,0,0");
    EXPECT_EQ(core.Receive(std::string(8 << 20, '9'), TPeerInfo{}).reply, "47,0,0,0");
    EXPECT_EQ(core.Receive("00000000000000000000000000000259,10,0,0", TPeerInfo{}).reply, "35,1,0,0");
}

} // namespace
