#include "launchbox.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <memory>

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
        static int argc = 1;
        static char name[] = "launch";
        static char *argv[] = {name, nullptr};
        app = std::make_unique<QApplication>(argc, argv);
    }
    std::unique_ptr<QMessageBox> box(MakeErrorBox(text, caption));
    box->exec();
}
