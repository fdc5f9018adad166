#include "mst_layout.h"

QPoint MstMainWinPos(int screenWidth, int screenHeight, int windowWidth, int windowHeight)
{
    // Integer tenths keep the truncation exact: 1.5 x 398 is 597, not 596.99...
    const long long left = (10LL * screenWidth - 15LL * windowWidth) / 10;
    const long long top = (10LL * screenHeight - 16LL * windowHeight) / 10;
    return {static_cast<int>(left), static_cast<int>(top)};
}

QPoint LogWinOffsets(int mainWidth, int mainHeight)
{
    return {static_cast<int>(4LL * mainWidth / 10), static_cast<int>(4LL * mainHeight / 10)};
}
