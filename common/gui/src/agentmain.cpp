#include <common/gui/agentmain.h>

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/strtable.h>
#include <corekit/corekit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QMessageBox>

#include <exception>

int AutoBoxSeconds()
{
    bool ok = false;
    const int s = qEnvironmentVariableIntValue("KORVEL_AUTOBOX_SECONDS", &ok);
    return ok ? s : 25;
}

int RunAgentProgram(int &argc, char **argv, const QString &appName,
                    const std::function<void(QApplication &)> &run)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(appName);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // One agent per machine (and session word): the master or a client agent already
        // holds the handle block.
        if (TestHandleBlock())
            throw cmn_err(IDS_ALREADY_RUNNING);
        run(app);
    } catch (const cmn_err &e) {
        CMesBoxAuto(nullptr, AutoBoxSeconds(), e.text(), u"Korvel", false, W_Centre, W_Centre);
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, appName, QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
