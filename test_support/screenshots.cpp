#include <testsupport/screenshots.h>

#include <QDir>
#include <QPixmap>
#include <QWidget>

namespace testsupport {

QString saveScreenshot(QWidget *widget, const QString &name)
{
    const QString dir = QStringLiteral(KORVEL_SCREENSHOT_DIR);
    if (!QDir().mkpath(dir))
        return {};
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    return widget->grab().save(path) ? path : QString();
}

} // namespace testsupport
