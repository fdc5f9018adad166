#pragma once

#include <QImage>
#include <QString>

class QWidget;

namespace testsupport {

/// Saves what the widget shows as <build folder>/screenshots/<name>.png; returns the path
/// written, or an empty string when it could not be written.
QString saveScreenshot(QWidget *widget, const QString &name);

/// What the widget shows, grabbed in memory, for a test to assert on; also saved as
/// saveScreenshot() does, for a person to look at. A file that cannot be written does not
/// change what is returned.
QImage screenshot(QWidget *widget, const QString &name);

} // namespace testsupport
