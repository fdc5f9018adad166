#pragma once
// The start-up frame of the two agent programs, the master and the client agent: one agent
// per machine, and no failure at start-up leaves without a word to the user.

#include <QString>

#include <functional>

class QApplication;

/// What the environment sets for an agent program, read once by its main and handed down to
/// the start-up frame and the main window.
struct TAgentOptions {
    /// Seconds the self-closing error boxes stay up.
    int autoBoxSeconds = 25;
    /// PNG the main window saves itself to whenever it changed; none when empty.
    QString screenshotFile;
    /// Each repaint of the main window's list reported on standard error (load tests).
    bool paintProbe = false;
};

/// KORVEL_AUTOBOX_SECONDS (tests shorten the boxes; a value that is no number is ignored) and
/// KORVEL_SCREENSHOT (headless runs look at the window that way) and KORVEL_PAINT_PROBE.
TAgentOptions AgentOptionsFromEnvironment();

/// Creates the application named appName, which keeps running with no window shown, and calls
/// run with it unless another agent holds the handle block. That refusal and any other
/// cmn_err are shown in the self-closing box for options.autoBoxSeconds, any other exception
/// in the standard error box titled appName. A block of another, unprivileged user is not an
/// agent: a program not run by root says whose it is (self-closing error box and stderr) and
/// ends. Returns the program's exit code, which is 0 in every case.
int RunAgentProgram(int &argc, char **argv, const QString &appName, const TAgentOptions &options,
                    const std::function<void(QApplication &)> &run);
