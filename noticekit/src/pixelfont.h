// The boxes' fonts are designed in pixels, not points, so that they keep their size on every
// screen. Needs only Qt GUI, so that the tool drawing the pictures can use it too.
#pragma once

#include <QFont>
#include <QString>

namespace noticekit::detail {

inline QFont pixelFont(const QString &family, int pixels)
{
    QFont f(family);
    f.setPixelSize(pixels);
    return f;
}

} // namespace noticekit::detail
