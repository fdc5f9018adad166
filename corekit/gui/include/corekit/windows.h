// W_: placing a newly created window; K_: the state of the modifier keys.
// The public header of corekit_gui, which links Qt's GUI modules.
//
// Window handles are QWidget pointers; this header stays free of Qt includes.
#pragma once

#include <corekit/types.h>

class QWidget;

/// Offset value that centres the window on that axis.
inline constexpr int W_Centre = 0x7FFFFFFF;

/// A screen rectangle in pixels; width = Right - Left, height = Bottom - Top.
struct W_Rect {
    int Left = 0;
    int Top = 0;
    int Right = 0;
    int Bottom = 0;
};

/// A screen position in pixels.
struct W_Point {
    int X = 0;
    int Y = 0;
};

/// Where W_PosCreatedForm puts a window: the owner's top-left corner plus the offsets (W_Centre
/// centres on that axis over the owner), pushed back inside a screen of the given size, and
/// never left of or above its top-left corner. A window larger than the screen starts at its
/// left or top edge. Offsets that would overflow an int are clamped, not wrapped.
W_Point W_CalcCreatedFormPos(const W_Rect &owner, const W_Rect &window, int dx, int dy, int screenWidth,
                             int screenHeight);

/// Moves window (its outer frame, size kept) to the place W_CalcCreatedFormPos gives for the
/// owner's outer frame (for a control inside a window, its rectangle on the screen) and the
/// primary screen. Does nothing when either handle is null or
/// there is no screen.
void W_PosCreatedForm(QWidget *owner, QWidget *window, int dx, int dy);

/// Shift-state flags: bit 0 Shift, bit 1 Alt, bit 2 Ctrl, bit 3 left and bit 4 right mouse
/// button; bits 5 to 10 the framework's further flags.
inline constexpr unsigned short K_ssShift = 0x01;
inline constexpr unsigned short K_ssAlt = 0x02;
inline constexpr unsigned short K_ssCtrl = 0x04;
inline constexpr unsigned short K_ssLeft = 0x08;
inline constexpr unsigned short K_ssRight = 0x10;

/// Tests state against the given letters (S Shift, A Alt, C Ctrl, L left, R right button;
/// other characters ignored). Letters starting with '=' asks for exactly those flags and no
/// other; otherwise every named flag must be set. Empty or null letters throw
/// std::out_of_range.
bool K_CheckShift(unsigned short state, const char *letters);

/// True while the key is down: virtual-key codes 0x10 Shift, 0x11 Ctrl, 0x12 Alt, their left
/// and right variants 0xA0 to 0xA5, 0x5B/0x5C the logo keys, and 0x01, 0x02, 0x04 the left,
/// right and middle mouse buttons. Other keys cannot be queried here and give false.
bool K_CheckKey(unsigned short virtualKey);

/// Letters of the modifier keys held now, in the order A (Alt), C (Ctrl), S (Shift):
/// "CS" with Ctrl and Shift held, empty with none.
UnicodeString K_MKeyString();
