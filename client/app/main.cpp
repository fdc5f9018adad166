// client: the Korvel client agent.

#include "cln_main.h"
#include <common/gui/agentmain.h>
#include <common/gui/sessionend.h>

#include <QApplication>

int main(int argc, char **argv)
{
    const TAgentOptions agent = AgentOptionsFromEnvironment();
    return RunAgentProgram(argc, argv, QStringLiteral("Korvel-Client"), agent, [&agent](QApplication &app) {
        TClnWinOptions options;
        options.agent = agent;
        // Headless runs (tests, the demonstration) follow the window's texts on standard error.
        options.probe = qEnvironmentVariableIsSet("KORVEL_CLIENT_PROBE");
        // The window creates its settings dialog, which lives as long as it does.
        TClnMainWin mainWin(options);
        // The end of the desktop session is handled like the Exit button.
        TSessionEnd sessionEnd;
        QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TClnMainWin::ExitRule);
        mainWin.show();
        app.exec();
    });
}
