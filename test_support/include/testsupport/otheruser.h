#pragma once
// Acting as a second, unprivileged local user in tests: the way another user of the machine
// would try the store, the handle block and the message port. Needs root (CI runs as root) and
// setpriv; elsewhere the tests skip themselves with the reason otherUserUnavailable() gives.
//
// The checkout may sit where that user cannot enter, so a program it runs is first copied with
// the project's shared libraries into a folder everyone can read (stage()).

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

inline constexpr uid_t kNobody = 65534;

/// Empty when this process can run commands as another user; otherwise why it cannot.
inline std::string otherUserUnavailable()
{
    if (geteuid() != 0)
        return "acting as another user needs root (CI runs the tests as root)";
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"})
        if (access((std::string(dir) + "/setpriv").c_str(), X_OK) == 0)
            return {};
    return "setpriv (util-linux) is not installed";
}

/// Copies `program` into dir/bin and the libraries beside it (../lib, the build's library folder)
/// into dir/lib, readable by everyone. Returns the copied program's path; run it with
/// stagedEnv(dir).
inline std::filesystem::path stage(const std::filesystem::path &program, const std::filesystem::path &dir)
{
    namespace fs = std::filesystem;
    const auto perms = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                       fs::perms::others_read | fs::perms::others_exec;
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "lib");
    for (const fs::path &p : {dir, dir / "bin", dir / "lib"})
        fs::permissions(p, perms);
    const fs::path libs = program.parent_path().parent_path() / "lib";
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(libs, ec)) {
        const std::string name = e.path().filename().string();
        if (name.find(".so") == std::string::npos)
            continue;
        fs::copy(e.path(), dir / "lib" / name,
                 fs::copy_options::copy_symlinks | fs::copy_options::overwrite_existing);
    }
    const fs::path copy = dir / "bin" / program.filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, perms);
    return copy;
}

/// The environment addition that lets a staged program find its libraries.
inline std::string stagedEnv(const std::filesystem::path &dir)
{
    return "LD_LIBRARY_PATH=" + (dir / "lib").string();
}

/// A command running as another user (uid and gid `uid`, no supplementary groups), its standard
/// input a pipe that stop() closes, its output collected. Killed if still running when the
/// object goes.
class AsUser {
public:
    AsUser(uid_t uid, const std::vector<std::string> &argv, const std::vector<std::string> &env = {})
    {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        const std::string id = std::to_string(uid);
        std::vector<std::string> args{"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
        args.insert(args.end(), argv.begin(), argv.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            if (chdir("/") != 0)
                _exit(126);
            for (const std::string &e : env)
                putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> cargs;
            for (std::string &a : args)
                cargs.push_back(a.data());
            cargs.push_back(nullptr);
            execvp(cargs[0], cargs.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        close(err[1]);
        in_ = in[1];
        out_ = out[0];
        err_ = err[0];
    }
    AsUser(const AsUser &) = delete;
    AsUser &operator=(const AsUser &) = delete;
    ~AsUser()
    {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_})
            if (fd >= 0)
                close(fd);
    }

    bool started() const { return pid_ > 0; }

    /// Reads standard output until it holds a whole line, or the time is up. The line without
    /// its newline, empty when none came.
    std::string readLine(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nl = out.find('\n', lineStart_);
            if (nl != std::string::npos) {
                std::string line = out.substr(lineStart_, nl - lineStart_);
                lineStart_ = nl + 1;
                return line;
            }
            if (!pump(deadline))
                return {};
        }
    }

    /// Closes its standard input and waits for it to end, killing it once `limit` has passed.
    /// The exit status, or 128 + signal.
    int stop(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        if (in_ >= 0) {
            close(in_);
            in_ = -1;
        }
        return wait(limit);
    }

    /// Waits for it to end on its own (standard input stays open), killing it once `limit` has
    /// passed.
    int wait(std::chrono::milliseconds limit = std::chrono::seconds(30))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (status_ < 0 && pid_ > 0) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                break;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline && !timedOut) {
                timedOut = true;
                kill(pid_, SIGKILL);
            }
            if (!pump(now + std::chrono::milliseconds(20)))
                poll(nullptr, 0, 10);
        }
        while (pump(std::chrono::steady_clock::now())) {
        }
        return status_;
    }

    std::string out, err;
    bool timedOut = false;

private:
    // Moves what the pipes hold into out and err. False when both are closed or nothing came
    // by the deadline.
    bool pump(std::chrono::steady_clock::time_point deadline)
    {
        pollfd fds[2];
        nfds_t n = 0;
        for (int fd : {out_, err_})
            if (fd >= 0)
                fds[n++] = {fd, POLLIN, 0};
        if (n == 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (poll(fds, n, int(std::max<long long>(0, left.count()))) <= 0)
            return false;
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            const bool isOut = fds[i].fd == out_;
            char buf[4096];
            const ssize_t r = read(fds[i].fd, buf, sizeof buf);
            if (r > 0) {
                (isOut ? out : err).append(buf, std::size_t(r));
            } else {
                close(fds[i].fd);
                (isOut ? out_ : err_) = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    int status_ = -1;
    std::size_t lineStart_ = 0;
};

/// Runs a command as another user to its end (at most `limit`) and returns it, ended.
inline int runAs(uid_t uid, const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                 std::string *out = nullptr, std::string *err = nullptr,
                 std::chrono::milliseconds limit = std::chrono::seconds(30))
{
    AsUser p(uid, argv, env);
    const int status = p.stop(limit);
    if (out)
        *out = p.out;
    if (err)
        *err = p.err;
    return status;
}

} // namespace testsupport
