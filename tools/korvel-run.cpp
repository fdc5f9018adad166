// korvel-run: runs a program as an application of the suite. It announces itself to the agent
// of this machine (WM_ANNOUNCE: application code, its own process id) and then becomes the
// program, so the agent watches the program's process until it ends.
//
//   korvel-run CODE -- PROGRAM [ARGS...]
//   korvel-run CODE --pid PID        announce a process that already runs

#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <corekit/corekit.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitRefused = 3;
constexpr int ExitCannotRun = 127;

int Usage()
{
    std::fputs("usage: korvel-run CODE -- PROGRAM [ARGS...]\n"
               "       korvel-run CODE --pid PID\n"
               "Announces PROGRAM (or the running process PID) to the Korvel agent of this\n"
               "machine as an instance of the application CODE (0..65535).\n",
               stderr);
    return ExitUsage;
}

std::optional<long long> Number(const char *text, long long low, long long high)
{
    try {
        long long n = StrToInt64(Utf8ToUnicode(text));
        if (n < low || n > high)
            return std::nullopt;
        return n;
    } catch (const EConvertError &) {
        return std::nullopt;
    }
}

// How an announcement went: the exit status when it did not.
int Announce(unsigned short code, pid_t pid, const char *program)
{
    // Who holds the block and who listens on its port are checked before anything is posted:
    // another user of the machine may have put either there.
    const TAgentCheck agent = CheckAgent();
    if (!agent.found) {
        if (agent.problem.empty())
            std::fputs("korvel-run: no Korvel agent (master or client) runs on this machine\n", stderr);
        else
            std::fprintf(stderr, "korvel-run: %s; nothing is announced\n", agent.problem.c_str());
        return ExitFailure;
    }
    // The agent drops a message of any other user unread: posting it would leave the program
    // running where nobody watches it, so it is not started, as when no agent runs.
    if (!PortTakesFrom(agent.owner, geteuid())) {
        const std::string owner = KorvelUserName(agent.owner);
        std::fprintf(stderr,
                     "korvel-run: the Korvel agent of this machine runs as %s and refuses messages of "
                     "%s; %s\n",
                     owner.c_str(), KorvelUserName(geteuid()).c_str(),
                     program ? (std::string(program) + " is not started").c_str() : "nothing is announced");
        return ExitRefused;
    }
    if (!PostMessage(agent.port, WM_ANNOUNCE, code, pid)) {
        std::fprintf(stderr, "korvel-run: the Korvel agent does not take messages: %s\n",
                     std::strerror(errno));
        return ExitFailure;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return Usage();
    const auto code = Number(argv[1], 0, 0xFFFF);
    if (!code)
        return Usage();

    if (std::strcmp(argv[2], "--pid") == 0) {
        if (argc != 4)
            return Usage();
        const auto pid = Number(argv[3], 1, 0x7FFFFFFF);
        if (!pid)
            return Usage();
        // An agent cannot watch a process that is not there; its row would never go.
        if (kill(static_cast<pid_t>(*pid), 0) != 0 && errno == ESRCH) {
            std::fprintf(stderr, "korvel-run: no process %lld\n", *pid);
            return ExitFailure;
        }
        return Announce(static_cast<unsigned short>(*code), static_cast<pid_t>(*pid), nullptr);
    }

    if (std::strcmp(argv[2], "--") != 0 || argc < 4)
        return Usage();
    if (const int status = Announce(static_cast<unsigned short>(*code), getpid(), argv[3]); status != 0)
        return status;
    execvp(argv[3], argv + 3);
    std::fprintf(stderr, "korvel-run: cannot run %s: %s\n", argv[3], std::strerror(errno));
    return ExitCannotRun;
}
