// masterd: the Korvel master as a system service, without any window.

#include "masterd.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    // Each line reaches the journal as it is written, not when a buffer fills.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("masterd"));
    int listenFd = TakeActivationSocket(stdout);
    if (listenFd < 0) {
        // As the desktop master: a socket handed over by whoever started it by hand.
        bool handed = false;
        const int fd = qEnvironmentVariableIntValue("KORVEL_LISTEN_FD", &handed);
        if (handed && fd > 2)
            listenFd = fd;
    }
    qunsetenv("KORVEL_LISTEN_FD");
    TMasterDaemon daemon(stdout);
    if (!daemon.CatchSignals()) {
        std::fprintf(stdout, "<3>masterd: cannot catch signals\n");
        return 1;
    }
    if (!daemon.Start(listenFd))
        return 1;
    return app.exec();
}
