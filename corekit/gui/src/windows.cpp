#include <corekit/windows.h>

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace {

long long centredOffset(long long ownerSize, long long windowSize)
{
    // Truncating toward zero, as the integer division of the original arithmetic does.
    return (ownerSize - windowSize) / 2;
}

int clampToInt(long long v)
{
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

W_Rect frameRect(QWidget *w)
{
    QRect r;
    if (w->isWindow()) {
        // A window that was never shown has no platform window yet, and so no frame to measure.
        w->winId();
        r = w->frameGeometry();
    } else {
        // A control inside a window: its geometry is relative to its parent, not the screen.
        r = QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
    }
    return {r.left(), r.top(), r.left() + r.width(), r.top() + r.height()};
}

} // namespace

W_Point W_CalcCreatedFormPos(const W_Rect &owner, const W_Rect &window, int dx, int dy, int screenWidth,
                             int screenHeight)
{
    const long long ownerW = static_cast<long long>(owner.Right) - owner.Left;
    const long long ownerH = static_cast<long long>(owner.Bottom) - owner.Top;
    const long long winW = static_cast<long long>(window.Right) - window.Left;
    const long long winH = static_cast<long long>(window.Bottom) - window.Top;

    const long long offX = dx == W_Centre ? centredOffset(ownerW, winW) : dx;
    const long long offY = dy == W_Centre ? centredOffset(ownerH, winH) : dy;
    long long x = owner.Left + offX;
    long long y = owner.Top + offY;

    if (x > 0 && x + winW > screenWidth)
        x = screenWidth - winW;
    if (y > 0 && y + winH > screenHeight)
        y = screenHeight - winH;
    if (x < 0)
        x = 0;
    if (y < 0)
        y = 0;
    return {clampToInt(x), clampToInt(y)};
}

void W_PosCreatedForm(QWidget *owner, QWidget *window, int dx, int dy)
{
    if (!owner || !window)
        return;
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QSize screenSize = screen->geometry().size();
    const W_Point p = W_CalcCreatedFormPos(frameRect(owner), frameRect(window), dx, dy, screenSize.width(),
                                           screenSize.height());
    // move() places the outer frame of a top-level window, which is what the rectangles measure.
    window->move(p.X, p.Y);
    window->update();
}

bool K_CheckShift(unsigned short state, const char *letters)
{
    if (!letters || !*letters)
        throw std::out_of_range("K_CheckShift: no key letters");
    unsigned mask = 0;
    for (const char *c = letters; *c; ++c) {
        switch (*c) {
        case 'S':
            mask |= K_ssShift;
            break;
        case 'A':
            mask |= K_ssAlt;
            break;
        case 'C':
            mask |= K_ssCtrl;
            break;
        case 'L':
            mask |= K_ssLeft;
            break;
        case 'R':
            mask |= K_ssRight;
            break;
        default:
            break;
        }
    }
    if (letters[0] == '=')
        return (state & 0xFFu) == mask && (state >> 8) == 0;
    return (state & mask) == mask;
}

bool K_CheckKey(unsigned short virtualKey)
{
    const Qt::KeyboardModifiers mods = QGuiApplication::queryKeyboardModifiers();
    switch (virtualKey) {
    case 0x10: // Shift
    case 0xA0:
    case 0xA1:
        return mods.testFlag(Qt::ShiftModifier);
    case 0x11: // Ctrl
    case 0xA2:
    case 0xA3:
        return mods.testFlag(Qt::ControlModifier);
    case 0x12: // Alt
    case 0xA4:
    case 0xA5:
        return mods.testFlag(Qt::AltModifier);
    case 0x5B: // logo keys
    case 0x5C:
        return mods.testFlag(Qt::MetaModifier);
    case 0x01:
        return QGuiApplication::mouseButtons().testFlag(Qt::LeftButton);
    case 0x02:
        return QGuiApplication::mouseButtons().testFlag(Qt::RightButton);
    case 0x04:
        return QGuiApplication::mouseButtons().testFlag(Qt::MiddleButton);
    default:
        return false;
    }
}

UnicodeString K_MKeyString()
{
    const Qt::KeyboardModifiers mods = QGuiApplication::queryKeyboardModifiers();
    UnicodeString s;
    if (mods.testFlag(Qt::AltModifier))
        s += u'A';
    if (mods.testFlag(Qt::ControlModifier))
        s += u'C';
    if (mods.testFlag(Qt::ShiftModifier))
        s += u'S';
    return s;
}
