#pragma once
// Where the master's windows go, as plain arithmetic on sizes.

#include <QPoint>

/// Main window on show: left = screen width - 1.5 x window width, top = screen height - 1.6 x
/// window height, each truncated toward zero (outer sizes).
QPoint MstMainWinPos(int screenWidth, int screenHeight, int windowWidth, int windowHeight);

/// Offsets of the event log window from the main window on its first show: 0.4 x the main
/// window's outer width and height, truncated toward zero.
QPoint LogWinOffsets(int mainWidth, int mainHeight);
