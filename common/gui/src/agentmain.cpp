#include <common/gui/agentmain.h>

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/strtable.h>
#include <corekit/corekit.h>
#include <noticekit/noticekit.h>

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <exception>

#include <unistd.h>

TAgentOptions AgentOptionsFromEnvironment()
{
    TAgentOptions options;
    bool ok = false;
    const int seconds = qEnvironmentVariableIntValue("KORVEL_AUTOBOX_SECONDS", &ok);
    if (ok)
        options.autoBoxSeconds = seconds;
    options.screenshotFile = qEnvironmentVariable("KORVEL_SCREENSHOT");
    options.paintProbe = qEnvironmentVariableIsSet("KORVEL_PAINT_PROBE");
    return options;
}

int RunAgentProgram(int &argc, char **argv, const QString &appName, const TAgentOptions &options,
                    const std::function<void(QApplication &)> &run)
{
    // An agent started by the launcher writes to the launcher's output, which may be a pipe
    // nobody reads any more: a line there must not end the agent.
    std::signal(SIGPIPE, SIG_IGN);
    QApplication app(argc, argv);
    QApplication::setApplicationName(appName);
    QApplication::setQuitOnLastWindowClosed(false);
    try {
        // One agent per machine (and session word): the master or a client agent already
        // holds the handle block.
        const THandleBlockInfo block = ProbeHandleBlock();
        if (block.holder == TBlockHolder::Agent) {
            if (block.owner == ServiceUid() && ::geteuid() != block.owner)
                std::fprintf(stderr,
                             "korvel: the Korvel master service (korvel-master.service) runs on this machine "
                             "and holds the master's port; its log: journalctl -u korvel-master\n");
            throw cmn_err(IDS_ALREADY_RUNNING);
        }
        // Another user's block is no agent of ours and not ours to take (root's agent replaces
        // it): say whose it is rather than fail later on a name that is taken.
        if (block.holder != TBlockHolder::None && ::geteuid() != 0) {
            const QString problem = QString::fromStdString(HandleBlockProblem(block));
            std::fprintf(stderr, "%s\n", problem.toLocal8Bit().constData());
            CMesBoxAuto(nullptr, options.autoBoxSeconds, problem.toStdU16String(), u"Korvel", true, W_Centre,
                        W_Centre);
            return 0;
        }
        run(app);
    } catch (const cmn_err &e) {
        CMesBoxAuto(nullptr, options.autoBoxSeconds, e.text(), u"Korvel", false, W_Centre, W_Centre);
    } catch (const std::exception &e) {
        QMessageBox::critical(nullptr, appName, QString::fromLocal8Bit(e.what()));
    }
    return 0;
}
