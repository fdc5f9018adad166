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

        TpLogWin logWin;
        TMstMainWin mainWin(&logWin);
        logWin.SetMainWindow(&mainWin);
        TSessionEnd sessionEnd;
        QObject::connect(&sessionEnd, &TSessionEnd::ended, &mainWin, &TMstMainWin::EndSession);
        mainWin.show();
        mainWin.activateWindow();
        app.exec();
    } catch (const cmn_err &e) {
        CMesBoxAuto(nullptr, AutoBoxSeconds(), e.text(), u"Korvel", false, W_Centre, W_Centre);
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, QStringLiteral("Korvel (M)"), QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
