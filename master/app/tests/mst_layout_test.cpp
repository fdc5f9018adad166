#include "mst_layout.h"

#include <corekit/corekit.h>
#include <corekit/windows.h>

#include <gtest/gtest.h>

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
