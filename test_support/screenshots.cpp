#include <testsupport/screenshots.h>

#include <QDir>
#include <QPixmap>
#include <QWidget>

namespace testsupport {

namespace {

QString save(const QImage &image, const QString &name)
{
    const QString dir = QStringLiteral(KORVEL_SCREENSHOT_DIR);
    if (!QDir().mkpath(dir))
        return {};
    const QString path = dir + QLatin1Char('/') + name + QStringLiteral(".png");
    return image.save(path) ? path : QString();
}

} // namespace

QString saveScreenshot(QWidget *widget, const QString &name)
{
    return save(widget->grab().toImage(), name);
}

QImage screenshot(QWidget *widget, const QString &name)
{
    QImage image = widget->grab().toImage();
    save(image, name);
    return image;
}

} // namespace testsupport
