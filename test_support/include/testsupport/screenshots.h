#pragma once

#include <QString>

class QWidget;

namespace testsupport {

/// Saves what the widget shows as build/screenshots/<name>.png; returns the path written,
/// or an empty string when it could not be written.
QString saveScreenshot(QWidget *widget, const QString &name);

} // namespace testsupport
