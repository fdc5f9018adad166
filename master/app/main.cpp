// master: the Korvel master service.

#include "mst_evlog.h"
#include "mst_main.h"
#include <common/gui/sessionend.h>

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/strtable.h>
#include <corekit/corekit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include <exception>

namespace {

int AutoBoxSeconds()
{
    bool ok = false;
    const int s = qEnvironmentVariableIntValue("KORVEL_AUTOBOX_SECONDS", &ok);
    return ok ? s : 25;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Korvel (M)"));
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // One agent per machine (and session word): another master or a client agent holds
        // the handle block.
        if (TestHandleBlock())
            throw cmn_err(IDS_ALREADY_RUNNING);

        TMstServer::Options options;
        // Headless runs can follow the log on standard output.
        options.echoLog = qEnvironmentVariableIntValue("KORVEL_LOG_ECHO") != 0;
        // A listening socket handed over by whoever started the master (a test, a service
        // manager), taken when it listens on the configured port.
        bool handed = false;
        const int listenFd = qEnvironmentVariableIntValue("KORVEL_LISTEN_FD", &handed);
        if (handed && listenFd > 2)
            options.inheritedListener = listenFd;
        qunsetenv("KORVEL_LISTEN_FD");

        // The server works in a thread of its own, so that painting never delays a request.
        QThread serverThread;
        serverThread.setObjectName(QStringLiteral("master server"));
        auto *server = new TMstServer(options);
        server->moveToThread(&serverThread);
        QObject::connect(&serverThread, &QThread::finished, server, &QObject::deleteLater);
        serverThread.start();
        {
            TpLogWin logWin(server);
            TMstMainWin mainWin(server, &logWin);
            logWin.SetMainWindow(&mainWin);
            TSessionEnd sessionEnd;
            QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TMstMainWin::EndSession);
            mainWin.show();
            mainWin.activateWindow();
            app.exec();
        }
        QMetaObject::invokeMethod(
            server, [server] { server->Shutdown(); }, Qt::BlockingQueuedConnection);
        serverThread.quit();
        serverThread.wait();
    } catch (const cmn_err &e) {
        CMesBoxAuto(nullptr, AutoBoxSeconds(), e.text(), u"Korvel", false, W_Centre, W_Centre);
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QStringLiteral("Korvel (M)"), QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
