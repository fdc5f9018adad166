#include <common/watcher.h>

#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

TWatcher::TWatcher(unsigned short code, int process, std::uint32_t window, std::string session)
    : code(code), process(process), window(window), session(std::move(session))
{
}

TWatcher::~TWatcher()
{
    if (process >= 0)
        close(process);
}

bool TWatcher::Start(unsigned short code, int pid, std::uint32_t portValue)
{
    if (pid <= 0)
        return false;
    // Opened here rather than on the thread, so the process the agent was told about is the
    // one watched even if its id were reused before the thread runs.
    int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0u));
    if (fd < 0)
        return false;
    // The session word is read now: the environment must not be read from another thread.
    std::unique_ptr<TWatcher> watcher(new TWatcher(code, fd, portValue, KorvelSessionWord()));
    try {
        std::thread([w = std::move(watcher)]() { w->Execute(); }).detach();
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

void TWatcher::Execute()
{
    pollfd p{process, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    if (r <= 0)
        return;
    // A lost end report would leave the instance listed for good, so a port that is only
    // full (its agent busy) is tried again; a port that is gone ends the watcher.
    while (!PostMessage(session, window, WM_INSTANCE_ENDED, code, 0)) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return;
    }
}
