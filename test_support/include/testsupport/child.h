#pragma once

#include <csignal>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace testsupport {

/// A program a test starts and waits for, with its standard output and errors kept. Started with
/// posix_spawn rather than QProcess: after QProcess has started a child, ThreadSanitizer no longer
/// sees the parent's locks and reports every guarded access of a threaded unit as a race.
/// Killed and reaped at the latest when the object goes.
class Child {
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child()
    {
        Kill();
        for (int fd : {out_, err_, pidfd_})
            if (fd >= 0)
                close(fd);
    }

    /// Starts `program` (looked up in PATH when it holds no slash) with `args`, in this process's
    /// environment with `env` ("NAME=value") added or replaced. Whether it started.
    bool Start(const std::string &program, const std::vector<std::string> &args,
               const std::vector<std::string> &env = {})
    {
        out_ = memfd_create("child-out", MFD_CLOEXEC);
        err_ = memfd_create("child-err", MFD_CLOEXEC);
        if (out_ < 0 || err_ < 0)
            return false;
        std::vector<std::string> words{program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);

        std::vector<std::string> vars(env);
        for (char **e = environ; *e; ++e) {
            const std::string var(*e);
            const std::string name = var.substr(0, var.find('=') + 1);
            bool replaced = false;
            for (const auto &v : env)
                replaced = replaced || v.compare(0, name.size(), name) == 0;
            if (!replaced)
                vars.push_back(var);
        }
        std::vector<char *> envp;
        for (auto &v : vars)
            envp.push_back(v.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out_, 1);
        posix_spawn_file_actions_adddup2(&actions, err_, 2);
        const int rc = posix_spawnp(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            pid_ = -1;
            return false;
        }
        pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0u));
        return true;
    }

    pid_t Pid() const { return pid_; }

    /// True once the program has ended (it is reaped then).
    bool Ended()
    {
        if (pid_ < 0 || reaped_)
            return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    /// Blocks up to `ms` for the end; whether it came.
    bool Wait(int ms)
    {
        if (Ended())
            return true;
        pollfd p{pidfd_, POLLIN, 0};
        if (pidfd_ >= 0 && poll(&p, 1, ms) != 1)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_)
            return false;
        reaped_ = true;
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }

    /// The exit status once ended; -1 for an end by a signal or while it runs.
    int ExitCode() const { return exitCode_; }

    void Kill()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            Wait(-1);
        }
    }

    std::string Out() const { return Read(out_); }
    std::string Err() const { return Read(err_); }

private:
    static std::string Read(int fd)
    {
        std::string text;
        char buf[4096];
        off_t at = 0;
        for (ssize_t n; fd >= 0 && (n = pread(fd, buf, sizeof buf, at)) > 0; at += n)
            text.append(buf, static_cast<std::size_t>(n));
        return text;
    }

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool reaped_ = false;
    int exitCode_ = -1;
};

} // namespace testsupport
