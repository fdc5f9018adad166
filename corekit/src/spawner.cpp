// Running programs detached: F_RunApp, and the spawner with its reaper thread that the
// documents are opened through too.
#include "spawner.h"
#include "shellwords.h"

#include <corekit/files.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace corekit::detail {

bool spawnDetached(const std::vector<std::string> &args)
{
    if (args.empty() || args[0].empty())
        return false;
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    if (posix_spawnattr_init(&attr) != 0)
        return false;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    // A program that cannot be executed makes posix_spawnp fail; its short-lived child has
    // then already been collected by the C library.
    if (rc != 0 || pid <= 0)
        return false;
    try {
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (const std::system_error &) {
        // No thread to spare: the child still runs; it stays a zombie until we end.
    }
    return true;
}

} // namespace corekit::detail

bool F_RunApp(const UnicodeString &program, const UnicodeString &parameters)
{
    std::vector<std::string> words;
    if (program.empty() || !corekit::detail::splitWords(UnicodeToUtf8(parameters), words))
        return false;
    words.insert(words.begin(), UnicodeToUtf8(program));
    return corekit::detail::spawnDetached(words);
}
