// Which client connections make way when the master runs short of descriptors.

#include <idleguard.h>

#include <common/watcher.h>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace {

using Keys = std::vector<TIdleGuard::Key>;

TEST(IdleGuard, UnderPressureTheConnectionQuietLongestGoesAnsweredOrSilent)
{
    TIdleGuard g(3);
    g.Accepted(1, 0);
    g.Accepted(2, 1);
    g.Accepted(3, 2);
    g.Sent(1, 5); // answered at 5, quiet since
    // Full: 2 has been quiet (silent) longest, then 3, then the answered 1.
    EXPECT_EQ(g.ToDropForRoom(10, 1), Keys{2});
    g.Closed(2);
    g.Accepted(4, 9.6);
    g.Sent(3, 9.8);
    // Answered at 5 and silent since: it goes as readily as a silent one would.
    EXPECT_EQ(g.ToDropForRoom(10, 1), Keys{1});
    g.Closed(1);
    g.Accepted(5, 10);
    // Everyone was accepted or answered less than a second ago: nothing goes yet.
    EXPECT_TRUE(g.ToDropForRoom(10.5, 1).empty());
    EXPECT_EQ(g.ToDropForRoom(10.9, 1), Keys{4});
    EXPECT_EQ(g.Count(), 3u);
}

TEST(IdleGuard, DescriptorsHeldByOthersLeaveLessRoom)
{
    TIdleGuard g(10);
    for (TIdleGuard::Key k = 1; k <= 6; ++k)
        g.Accepted(k, static_cast<double>(k));
    const struct {
        std::size_t others;
        Keys drop;
    } cases[] = {
        {0, {}}, {4, {1}}, {5, {1, 2}}, {9, {1, 2, 3, 4, 5, 6}}, {12, {1, 2, 3, 4, 5, 6}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(g.ToDropForRoom(100, 1, c.others), c.drop) << c.others << " held by watchers";
}

TEST(IdleGuard, OneAddressHoldsItsShareAndGivesUpItsQuietestForMore)
{
    TIdleGuard g(100, 3);
    const std::uint32_t a = 1, b = 2;
    EXPECT_EQ(g.MakeWayFor(a), 0u);
    g.Accepted(1, 0, a);
    g.Accepted(2, 0.1, a);
    g.Accepted(3, 0.2, b);
    g.Accepted(4, 0.3, a);
    EXPECT_EQ(g.CountOf(a), 3u);
    EXPECT_EQ(g.MakeWayFor(b), 0u) << "another address is not held back";
    // At its share: a's connection quiet longest makes way, and talking renews one.
    EXPECT_EQ(g.MakeWayFor(a), 1u);
    g.Sent(1, 0.4);
    EXPECT_EQ(g.MakeWayFor(a), 2u);
    g.Closed(2);
    EXPECT_EQ(g.MakeWayFor(a), 0u);
    EXPECT_EQ(g.CountOf(a), 2u);
    EXPECT_EQ(TIdleGuard(100).MakeWayFor(a), 0u) << "no share set: no bound";
}

TEST(IdleGuard, DropsSilentConnectionsAfterTheIdleTimeOnly)
{
    TIdleGuard g(100);
    g.Accepted(1, 0);
    g.Accepted(2, 50);
    g.Accepted(3, 60);
    g.Sent(3, 60);
    EXPECT_TRUE(g.ToDropIdle(100, 100).empty());
    EXPECT_EQ(g.ToDropIdle(100.5, 100), Keys{1});
    EXPECT_EQ(g.ToDropIdle(1000, 100), (Keys{1, 2}));
    g.Closed(1);
    g.Closed(2);
    EXPECT_TRUE(g.ToDropIdle(5000, 100).empty()) << "without pressure a connection that spoke stays open";
}

TEST(IdleGuard, ClosedConnectionsLeaveNothingBehind)
{
    TIdleGuard g(10, 4);
    for (TIdleGuard::Key k = 1; k <= 1000; ++k) {
        g.Accepted(k, 0, static_cast<std::uint32_t>(k % 7));
        if (k % 2)
            g.Sent(k, 0.5);
        g.Closed(k);
    }
    g.Closed(5000); // unknown: nothing
    EXPECT_EQ(g.Count(), 0u);
    EXPECT_EQ(g.CountOf(3), 0u);
    EXPECT_TRUE(g.ToDropForRoom(1e9, 1).empty());
    EXPECT_TRUE(g.ToDropIdle(1e9, 1).empty());
}

TEST(DescriptorShares, OneLimitSharedByConnectionsAndWatchers)
{
    const struct {
        std::size_t limit, pool, watchers, perAddress;
    } cases[] = {
        {150, 86, 43, 10}, {1024, 960, 480, 120}, {524288, 524224, 262112, 1024},
        {100, 50, 25, 6},  {2, 1, 1, 4},
    };
    for (const auto &c : cases) {
        const TDescriptorShares s = TDescriptorShares::ForLimit(c.limit);
        EXPECT_EQ(s.pool, c.pool) << c.limit;
        EXPECT_EQ(s.watchers, c.watchers) << c.limit;
        EXPECT_EQ(s.perAddress, c.perAddress) << c.limit;
    }
}

TEST(DescriptorShares, WatchersStopAtTheShareTheMasterGivesThem)
{
    TWatcher::SetBudget(2);
    const int self = static_cast<int>(::getpid());
    const TWatcher::Id a = TWatcher::Start(83, self, 0);
    const TWatcher::Id b = TWatcher::Start(93, self, 0);
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_EQ(TWatcher::Start(97, self, 0), 0u) << "past the share, nothing more is watched";
    TWatcher::Terminate(a);
    const TWatcher::Id c = TWatcher::Start(97, self, 0);
    EXPECT_NE(c, 0u) << "an ended watch frees its place";
    TWatcher::Terminate(b);
    TWatcher::Terminate(c);
    EXPECT_EQ(TWatcher::Count(), 0u);
}

TEST(DescriptorShares, FileLimitIsRaisedToTheHardLimit)
{
    const std::size_t now = RaiseFileLimit();
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(static_cast<std::size_t>(rl.rlim_cur), now);
    if (rl.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(rl.rlim_cur, rl.rlim_max);
    }
}

} // namespace
