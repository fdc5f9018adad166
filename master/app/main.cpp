// master: the Korvel master service.

#include "mst_evlog.h"
#include "mst_main.h"
#include <common/gui/agentmain.h>
#include <common/gui/sessionend.h>
#include <history/history.h>
#include <status_http.h>

#include <QApplication>
#include <QScopeGuard>
#include <QThread>

int main(int argc, char **argv)
{
    const TAgentOptions agent = AgentOptionsFromEnvironment();
    return RunAgentProgram(argc, argv, QStringLiteral("Korvel (M)"), agent, [&agent](QApplication &app) {
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
        const history::THistoryWriter *historyWriter = history::AttachHistory(*server);
        server->moveToThread(&serverThread);
        QObject::connect(&serverThread, &QThread::finished, server, &QObject::deleteLater);
        serverThread.start();
        // However the windows end, a start-up error among them, the server shuts down and its
        // thread ends before the thread object goes.
        const auto stopServer = qScopeGuard([&] {
            QMetaObject::invokeMethod(
                server, [server] { server->Shutdown(); }, Qt::BlockingQueuedConnection);
            serverThread.quit();
            serverThread.wait();
        });
        // The status page, JSON and metrics, on a thread of their own; gone before the server.
        const auto http = TStatusHttp::Attach(server, historyWriter ? historyWriter->Path() : QString());
        TpLogWin logWin(server);
        TMstMainWin mainWin(server, &logWin, agent);
        logWin.SetMainWindow(&mainWin);
        TSessionEnd sessionEnd;
        QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TMstMainWin::EndSession);
        mainWin.show();
        mainWin.activateWindow();
        app.exec();
    });
}
