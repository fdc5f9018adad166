// client: the Korvel client agent.

#include "cln_main.h"
#include <common/gui/agentmain.h>
#include <common/gui/sessionend.h>

#include <QApplication>

int main(int argc, char **argv)
{
    return RunAgentProgram(argc, argv, QStringLiteral("Korvel-Client"), [](QApplication &app) {
        // The window creates its settings dialog, which lives as long as it does.
        TClnMainWin mainWin;
        // The end of the desktop session is handled like the Exit button.
        TSessionEnd sessionEnd;
        QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TClnMainWin::ExitRule);
        mainWin.show();
        app.exec();
    });
}
