// Processes of one session word: the agents a test started through the launcher are found
// by the KORVEL_SESSION word in their environment, since the launcher does not report them.
#pragma once

#include <QTest>

#include <dirent.h>
#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

/// Ids of the processes named `name` (their command name; empty for any) whose environment
/// holds KORVEL_SESSION=word. Processes that have ended are not listed.
inline std::vector<pid_t> SessionProcesses(const std::string &word, const std::string &name)
{
    std::vector<pid_t> pids;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return pids;
    const std::string want = "KORVEL_SESSION=" + word;
    while (dirent *e = ::readdir(proc)) {
        const std::string id = e->d_name;
        if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string comm;
        std::getline(std::ifstream("/proc/" + id + "/comm"), comm);
        if (!name.empty() && comm != name)
            continue;
        std::ifstream env("/proc/" + id + "/environ", std::ios::binary);
        const std::string all((std::istreambuf_iterator<char>(env)), std::istreambuf_iterator<char>());
        std::size_t at = 0;
        while (at < all.size()) {
            const std::size_t end = all.find('\0', at);
            const std::string entry = all.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (entry == want) {
                pids.push_back(static_cast<pid_t>(std::stol(id)));
                break;
            }
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
    }
    ::closedir(proc);
    return pids;
}

/// Whether the process still runs (a zombie counts as ended).
inline bool ProcessRuns(pid_t pid)
{
    std::string stat;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), stat);
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

/// Sends sig to pid and waits up to ms milliseconds for it to end; true when it ended.
inline bool EndProcess(pid_t pid, int sig, int ms)
{
    if (pid <= 0)
        return true;
    ::kill(pid, sig);
    return QTest::qWaitFor([pid] { return !ProcessRuns(pid); }, ms);
}

} // namespace testsupport
