// Client IDs and session rows: what the audit leaves behind never keeps a new workstation out,
// and no sender can make the session table grow without bound.

#include <mst_core.h>

#include <common/messages.h>
#include <common/timeaddr.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A started core with a clock the test moves; bounds small enough to reach in a test.
struct Core {
    explicit Core(TSessionBounds bounds = {})
    {
        core.SetSessionBounds(bounds);
        core.StartUp();
    }
    std::string send(const std::string &text, const std::string &address)
    {
        const std::u16string a = Utf8ToUnicode(address);
        return core.Receive(text, TPeerInfo{a, a, false}).reply;
    }
    // Time passes past the audit timeout and the audit runs: every client is purged.
    void purgeAll()
    {
        mono += static_cast<double>(core.AuditTimeout() + 1);
        core.Audit();
    }
    int rowsOf(int clientId) const
    {
        return core.Sessions().countByClient(static_cast<std::int16_t>(clientId));
    }

    TDateTime now = 45000.5;
    double mono = 1000;
    TClocks clocks{[this] { return now; }, [this] { return mono; }};
    TLogStore log{clocks};
    TMstCore core{log, clocks};
};

TEST(ClientIdReuse, RowsOfPurgedClientsNeverKeepANewWorkstationOut)
{
    Core c;
    // Every ID handed out, from enough addresses that no address reaches its bound.
    for (int i = 0; i < TMstCore::ClientIdCount; ++i)
        ASSERT_EQ(c.send("112,0,83,0", "10.1." + std::to_string(i / 4000) + ".1"),
                  "22,1," + std::to_string(FIRST_CLIENT_ID + i) + ",180");
    EXPECT_EQ(c.send("112,0,83,0", "10.9.9.9"), "47,0,0,0") << "every client is alive";

    c.purgeAll();
    EXPECT_EQ(c.core.Clients().size(), 0);
    EXPECT_EQ(c.core.RowCount(), TMstCore::ClientIdCount) << "the rows of purged clients stay";

    // New workstations get the IDs of the clients purged first; only their rows go.
    EXPECT_EQ(c.send("112,0,93,0", "10.9.9.9"), "22,1,11,180");
    EXPECT_EQ(c.send("112,0,93,0", "10.9.9.8"), "22,1,12,180");
    EXPECT_EQ(c.core.RowCount(), TMstCore::ClientIdCount);
    EXPECT_EQ(c.rowsOf(11), 1);
    EXPECT_EQ(c.core.RowAt(c.core.RowCount() - 1).appCode, 93);
    EXPECT_EQ(UnicodeToUtf8(c.core.TipText(c.core.RowCount() - 1)),
              "Client 12.  Host: 10.9.9.8.  Address: 10.9.9.8");
    EXPECT_EQ(c.rowsOf(13), 1) << "a purged client's rows stay while its ID is not needed";

    // A purged client that comes back with its ID holds it again: it is not handed out.
    EXPECT_EQ(c.send("112,13,83,0", "10.1.0.1"), "22,1,0,0");
    EXPECT_EQ(c.send("112,0,83,0", "10.9.9.7"), "22,1,14,180");
    EXPECT_EQ(c.rowsOf(13), 2);
}

TEST(SessionBounds, WhatOneSenderCanMakeTheTableHold)
{
    const TSessionBounds bounds{4, 10, 25};
    struct Step {
        const char *request;
        const char *address;
        int times;
        const char *reply; // of the last of them
    };
    const struct {
        const char *what;
        std::vector<Step> steps;
        bool purgeBetween; // the audit purges everyone after the first step
        std::vector<Step> after;
        int rows;
    } cases[] = {
        {"one client's own ID, over and over",
         {{"112,0,83,0", "a", 1, "22,1,11,180"}},
         false,
         {{"112,11,83,0", "a", 3, "22,1,0,0"}, {"112,11,93,0", "a", 1, "47,0,0,0"}},
         4},
        {"its withdrawal makes room again",
         {{"112,0,83,0", "a", 1, "22,1,11,180"}, {"112,11,83,0", "a", 3, "22,1,0,0"}},
         false,
         {{"376,11,83,0", "a", 1, "35,1,0,0"}, {"112,11,93,0", "a", 4, "22,1,0,0"}},
         4},
        {"new IDs from one address",
         {{"112,0,83,0", "a", 10, "22,1,20,180"}},
         false,
         {{"112,0,83,0", "a", 1, "47,0,0,0"},
          {"112,20,83,0", "a", 1, "47,0,0,0"},
          {"112,0,83,0", "b", 1, "22,1,21,180"}},
         11},
        {"an address gives up its purged rows, oldest first",
         {{"112,0,83,0", "a", 10, "22,1,20,180"}},
         true,
         {{"112,0,93,0", "a", 3, "22,1,23,180"}},
         10},
        {"the total, with addresses under their bound",
         {{"112,0,83,0", "a", 9, "22,1,19,180"},
          {"112,0,83,0", "b", 9, "22,1,28,180"},
          {"112,0,83,0", "c", 7, "22,1,35,180"}},
         false,
         {{"112,0,83,0", "d", 1, "47,0,0,0"}, {"112,11,83,0", "a", 1, "47,0,0,0"}},
         25},
        {"the total gives up purged rows of any address",
         {{"112,0,83,0", "a", 9, "22,1,19,180"},
          {"112,0,83,0", "b", 9, "22,1,28,180"},
          {"112,0,83,0", "c", 7, "22,1,35,180"}},
         true,
         {{"112,0,83,0", "d", 5, "22,1,40,180"}},
         25},
    };
    for (const auto &t : cases) {
        Core c(bounds);
        for (const auto *steps : {&t.steps, &t.after}) {
            for (const Step &s : *steps) {
                std::string reply;
                for (int i = 0; i < s.times; ++i)
                    reply = c.send(s.request, s.address);
                EXPECT_EQ(reply, s.reply) << t.what << ": " << s.request << " from " << s.address;
            }
            if (steps == &t.steps && t.purgeBetween)
                c.purgeAll();
        }
        EXPECT_EQ(c.core.RowCount(), t.rows) << t.what;
        EXPECT_LE(c.core.RowsOfAddress(u"a"), bounds.perAddress) << t.what;
    }
}

TEST(SessionBounds, PurgedRowsGoOldestFirstAndOnlyAtTheBound)
{
    Core c(TSessionBounds{8, 6, 100});
    for (int i = 0; i < 3; ++i)
        c.send("112,0,83,0", "a"); // 11, 12, 13
    c.purgeAll();
    for (int i = 0; i < 3; ++i)
        c.send("112,0,93,0", "a"); // 14, 15, 16: at the bound, nothing given up yet
    EXPECT_EQ(c.core.RowCount(), 6);
    EXPECT_EQ(c.core.PurgedHolders(), 3);
    c.purgeAll();
    EXPECT_EQ(c.core.PurgedHolders(), 6);
    EXPECT_EQ(c.send("112,0,10,0", "a"), "22,1,17,180");
    EXPECT_EQ(c.rowsOf(11), 0) << "purged first, given up first";
    EXPECT_EQ(c.rowsOf(12), 1);
    EXPECT_EQ(c.core.RowCount(), 6);
    EXPECT_EQ(c.core.RowsOfAddress(u"a"), 6);
    // Rows of a purged client that withdraws its instance go as designed.
    EXPECT_EQ(c.send("376,12,83,0", "a"), "35,1,0,0");
    EXPECT_EQ(c.core.RowsOfAddress(u"a"), 5);
    EXPECT_EQ(c.core.PurgedHolders(), 4);
}

TEST(SessionBounds, LocalInstancesCountOnlyInTheTotal)
{
    Core c(TSessionBounds{2, 2, 5});
    std::vector<int> watched;
    c.core.SetWatcherStarter([&](unsigned short, int pid) {
        watched.push_back(pid);
        return static_cast<std::uint64_t>(watched.size());
    });
    for (int pid = 100; pid < 104; ++pid)
        c.core.LocalAnnounce(83, pid);
    EXPECT_EQ(c.core.RowCount(), 4) << "the master station is not held to one client's bound";
    EXPECT_EQ(c.send("112,0,83,0", "a"), "22,1,11,180");
    c.core.LocalAnnounce(83, 104);
    EXPECT_EQ(c.core.RowCount(), 5);
    EXPECT_EQ(watched.size(), 4u) << "past the total an instance is neither recorded nor watched";
    c.purgeAll();
    c.core.LocalAnnounce(83, 105);
    EXPECT_EQ(c.rowsOf(11), 0) << "the purged client's row made room";
    EXPECT_EQ(c.rowsOf(10), 5);
    EXPECT_EQ(watched.size(), 5u);
}

} // namespace
