#include "idleguard.h"
#include "mst_layout.h"

#include <corekit/corekit.h>
#include <corekit/windows.h>

#include <gtest/gtest.h>

#include <sys/resource.h>

TEST(WindowPositions, MainWindowNearBottomRightOfFullHdScreen)
{
    EXPECT_EQ(MstMainWinPos(1920, 1080, 398, 325), QPoint(1323, 560));
}

TEST(WindowPositions, MainWindowTruncatesTowardZero)
{
    // 1.5 x 399 = 598.5 -> 1321.5 -> 1321; 1.6 x 326 = 521.6 -> 558.4 -> 558.
    EXPECT_EQ(MstMainWinPos(1920, 1080, 399, 326), QPoint(1321, 558));
    // A window larger than the screen gives a negative position, truncated toward zero.
    EXPECT_EQ(MstMainWinPos(100, 100, 101, 101), QPoint(-51, -61));
}

TEST(WindowPositions, LogWindowOffsetsAreFourTenthsOfTheMainWindow)
{
    EXPECT_EQ(LogWinOffsets(398, 325), QPoint(159, 130));
    EXPECT_EQ(LogWinOffsets(382, 286), QPoint(152, 114));
}

TEST(WindowPositions, LogWindowOnFullHdScreenIsPushedBackInside)
{
    // Main window 398 x 325 at (1323, 560); log window 466 x 338 outside.
    const QPoint off = LogWinOffsets(398, 325);
    const W_Point p = W_CalcCreatedFormPos(W_Rect{1323, 560, 1323 + 398, 560 + 325}, W_Rect{0, 0, 466, 338},
                                           off.x(), off.y(), 1920, 1080);
    EXPECT_EQ(p.X, 1920 - 466) << "right edge meets the screen edge";
    EXPECT_EQ(p.Y, 560 + 130);
}

TEST(IdleGuard, DropsOnlyConnectionsThatNeverSpokeOldestFirst)
{
    TIdleGuard g(3);
    g.Accepted(1, 0);
    g.Accepted(2, 1);
    g.Accepted(3, 2);
    g.Sent(1);
    // Full: one must go to make room, and it is the oldest silent one, not the one that spoke.
    EXPECT_EQ(g.ToDropForRoom(10, 1), std::vector<TIdleGuard::Key>{2});
    g.Closed(2);
    g.Accepted(4, 3);
    g.Sent(3);
    g.Sent(4);
    // Everyone has spoken: nothing is dropped even though the budget is reached.
    EXPECT_TRUE(g.ToDropForRoom(10, 1).empty());
    g.Closed(4);
    g.Accepted(5, 10);
    // One just accepted may not have been read yet: it is not taken for silent.
    EXPECT_TRUE(g.ToDropForRoom(10.5, 1).empty());
    EXPECT_EQ(g.ToDropForRoom(11.5, 1), std::vector<TIdleGuard::Key>{5});
    EXPECT_EQ(g.Count(), 3u);
}

TEST(IdleGuard, DropsSilentConnectionsAfterTheIdleTimeOnly)
{
    TIdleGuard g(100);
    g.Accepted(1, 0);
    g.Accepted(2, 50);
    g.Accepted(3, 60);
    g.Sent(3);
    EXPECT_TRUE(g.ToDropIdle(100, 100).empty());
    EXPECT_EQ(g.ToDropIdle(100.5, 100), std::vector<TIdleGuard::Key>{1});
    EXPECT_EQ(g.ToDropIdle(1000, 100), (std::vector<TIdleGuard::Key>{1, 2}));
    g.Closed(1);
    g.Closed(2);
    EXPECT_TRUE(g.ToDropIdle(5000, 100).empty()) << "a connection that spoke stays open";
}

TEST(IdleGuard, ManyClosedConnectionsDoNotLinger)
{
    TIdleGuard g(10);
    for (TIdleGuard::Key k = 1; k <= 1000; ++k) {
        g.Accepted(k, 0);
        g.Closed(k);
    }
    EXPECT_EQ(g.Count(), 0u);
    EXPECT_TRUE(g.ToDropForRoom(1e9, 1).empty());
    EXPECT_TRUE(g.ToDropIdle(1e9, 1).empty());
}

TEST(IdleGuard, FileLimitIsRaisedToTheHardLimit)
{
    const std::size_t now = RaiseFileLimit();
    rlimit rl{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    EXPECT_EQ(static_cast<std::size_t>(rl.rlim_cur), now);
    if (rl.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(rl.rlim_cur, rl.rlim_max);
    }
}
