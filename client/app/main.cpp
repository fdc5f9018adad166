// client: the Korvel client agent.

#include "cln_main.h"
#include <common/gui/sessionend.h>

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/strtable.h>
#include <corekit/corekit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QMessageBox>

#include <exception>

namespace {

// Seconds for the self-closing boxes; KORVEL_AUTOBOX_SECONDS shortens them for tests.
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
    QApplication::setApplicationName(QStringLiteral("Korvel-Client"));
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // One agent per machine (and session word): the master or another client agent
        // holds the handle block.
        if (TestHandleBlock())
            throw cmn_err(IDS_ALREADY_RUNNING);

        // The window creates its settings dialog, which lives as long as it does.
        TClnMainWin mainWin;
        // The end of the desktop session is handled like the Exit button.
        TSessionEnd sessionEnd;
        QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TClnMainWin::ExitRule);
        mainWin.show();
        app.exec();
    } catch (const cmn_err &e) {
        CMesBoxAuto(nullptr, AutoBoxSeconds(), e.text(), u"Korvel", false, W_Centre, W_Centre);
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QStringLiteral("Korvel-Client"), QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
