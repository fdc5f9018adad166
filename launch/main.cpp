// launch: starts the agent of this machine (the master on the master station, the client
// agent on a workstation) from its own folder, once per machine, and ends. No window of its
// own; errors in a box and on standard error. The exit code is 0 in every case.

#include "launchbox.h"
#include "launcher.h"

#include <common/cmn_err.h>

#include <cstdio>
#include <exception>

int main()
{
    UnicodeString note;
    // A "Station" value that names no part is said first, whatever happens next.
    const auto sayNote = [&note] {
        if (!note.empty())
            std::fprintf(stderr, "launch: %s\n", UnicodeToUtf8(note).c_str());
    };
    try {
        LaunchAgent(OwnFolder(), &note);
        sayNote();
    } catch (const cmn_err &e) {
        sayNote();
        ReportLaunchError(QString::fromStdU16String(e.text()));
    } catch (const ELaunchFailed &e) {
        sayNote();
        ReportLaunchError(QString::fromStdU16String(e.text()));
    } catch (const std::exception &e) {
        sayNote();
        ReportLaunchError(QString::fromLocal8Bit(e.what()), QStringLiteral("launch"));
    }
    return 0;
}
