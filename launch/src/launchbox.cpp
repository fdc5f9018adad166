#include "launchbox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {

constexpr const char *FallbackPlatform = "offscreen";

// The platform the user asked for, or those of a desktop in the order Qt itself tries them,
// then the one that always opens.
QByteArray BoxPlatforms()
{
    QByteArray chosen = qgetenv("QT_QPA_PLATFORM").trimmed();
    if (chosen.isEmpty()) {
        chosen = "xcb";
        if (!qgetenv("WAYLAND_DISPLAY").isEmpty())
            chosen = qgetenv("XDG_SESSION_TYPE") == "wayland" ? "wayland;xcb" : "xcb;wayland";
    }
    return chosen + ';' + FallbackPlatform;
}

} // namespace

bool CanShowBox()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM").trimmed().toLower();
    if (platform.startsWith("offscreen") || platform.startsWith("minimal"))
        return false;
    return !qgetenv("DISPLAY").isEmpty() || !qgetenv("WAYLAND_DISPLAY").isEmpty();
}

QMessageBox *MakeErrorBox(const QString &text, const QString &caption)
{
    auto *box = new QMessageBox(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box->setObjectName(QStringLiteral("LaunchErrorBox"));
    return box;
}

void ReportLaunchError(const QString &text, const QString &caption)
{
    std::fprintf(stderr, "launch: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    if (!CanShowBox())
        return;
    // The launcher reads no command line: the widget layer gets the program name alone, so
    // that no argument can steer where the box goes.
    std::unique_ptr<QApplication> app;
    if (!QApplication::instance()) {
        // A display that is named but does not answer would make the widget layer abort: the
        // platforms are tried in turn, and the last one that draws nowhere always opens, so
        // that the launcher ends as it should, with its line said.
        static QByteArray platforms = BoxPlatforms();
        static int argc = 3;
        static char name[] = "launch";
        static char option[] = "-platform";
        static char *argv[] = {name, option, platforms.data(), nullptr};
        app = std::make_unique<QApplication>(argc, argv);
        if (QGuiApplication::platformName() == QLatin1String(FallbackPlatform))
            return; // no display could be reached: the line on standard error is all
    }
    std::unique_ptr<QMessageBox> box(MakeErrorBox(text, caption));
    box->exec();
}
