#include "mst_layout.h"

#include <common/gui/formkit.h>

QPoint MstMainWinPos(int screenWidth, int screenHeight, int windowWidth, int windowHeight)
{
    return PlaceFromScreenEnd(screenWidth, screenHeight, windowWidth, windowHeight, 15, 16);
}

QPoint LogWinOffsets(int mainWidth, int mainHeight)
{
    return {static_cast<int>(4LL * mainWidth / 10), static_cast<int>(4LL * mainHeight / 10)};
}
