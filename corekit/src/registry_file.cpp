#include "registry_file.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <filesystem>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

namespace korvel::reg::detail {

namespace {

Result ioError(const std::string &what, int err)
{
    return {Status::IoError, what + ": " + std::strerror(err)};
}

// How long a writer waits for the lock. Anyone who can open the lock file can hold it for as
// long as he likes, so a writer gives up after this with a clear error instead of hanging.
constexpr std::chrono::milliseconds kLockWait{3000};

#ifndef sigev_notify_thread_id
#define sigev_notify_thread_id _sigev_un._tid
#endif

// The signal that cuts a lock wait short, or 0 when the program has its own use for it.
int wakeSignal()
{
    static const int sig = [] {
        const int s = SIGRTMAX - 3;
        struct sigaction old {};
        if (sigaction(s, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
            return 0;
        struct sigaction sa {};
        sa.sa_handler = +[](int) {};
        sigemptyset(&sa.sa_mask);
        return sigaction(s, &sa, nullptr) == 0 ? s : 0;
    }();
    return sig;
}

enum class Locked { Yes, Busy, Failed };

// Waits for the exclusive lock in the kernel's queue, so that writers take their turns, and a
// timer signal ends the wait at the deadline (again every 20 ms, should one signal come just
// before the wait begins). Without the signal the lock is polled.
Locked lockWithin(int fd, std::chrono::milliseconds limit)
{
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return Locked::Yes;
    if (errno != EWOULDBLOCK && errno != EINTR)
        return Locked::Failed;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const int sig = wakeSignal();
    timer_t timer{};
    bool armed = false;
    sigset_t oldMask;
    if (sig != 0) {
        sigevent ev{};
        ev.sigev_notify = SIGEV_THREAD_ID;
        ev.sigev_signo = sig;
        ev.sigev_notify_thread_id = gettid();
        if (timer_create(CLOCK_MONOTONIC, &ev, &timer) == 0) {
            itimerspec its{};
            its.it_value.tv_sec = limit.count() / 1000;
            its.it_value.tv_nsec = long(limit.count() % 1000) * 1000000L;
            its.it_interval.tv_nsec = 20000000L;
            armed = timer_settime(timer, 0, &its, nullptr) == 0;
            if (!armed)
                timer_delete(timer);
        }
    }
    if (armed) {
        sigset_t wake;
        sigemptyset(&wake);
        sigaddset(&wake, sig);
        pthread_sigmask(SIG_UNBLOCK, &wake, &oldMask);
    }
    Locked result = Locked::Busy;
    for (;;) {
        if (::flock(fd, armed ? LOCK_EX : LOCK_EX | LOCK_NB) == 0) {
            result = Locked::Yes;
            break;
        }
        if (errno != EINTR && errno != EWOULDBLOCK) {
            result = Locked::Failed;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (!armed)
            ::poll(nullptr, 0, 5);
    }
    const int err = errno;
    if (armed) {
        timer_delete(timer);
        pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    }
    errno = err;
    return result;
}

// Who may write the store may lock it, and nobody else: each class of users that has write
// access to the store gets read and write access to the lock file.
mode_t lockModeFor(mode_t storeMode)
{
    mode_t m = 0600;
    if (storeMode & S_IWGRP)
        m |= 0060;
    if (storeMode & S_IWOTH)
        m |= 0006;
    return m;
}

bool writeAll(int fd, const std::string &text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += std::size_t(n);
    }
    return true;
}

} // namespace

Result readStoreFile(const std::string &path, std::string &bytes, struct stat *st)
{
    bytes.clear();
    // Not blocking: a pipe or device put in the store's place must not hold the reader.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {Status::NotFound, "there is no registry file " + path};
        return ioError("cannot open " + path, errno);
    }
    struct stat own {};
    Result r;
    if (::fstat(fd, &own) != 0)
        r = ioError("cannot read " + path, errno);
    else if (!S_ISREG(own.st_mode))
        r = {Status::IoError, "the registry file " + path + " is not a plain file"};
    else if (std::size_t(own.st_size) > kMaxStoreBytes)
        r = {Status::IoError, "the registry file " + path + " is larger than " +
                                  std::to_string(kMaxStoreBytes >> 20) + " MiB; it is not read"};
    if (r.ok()) {
        bytes.reserve(std::size_t(own.st_size));
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                r = ioError("cannot read " + path, errno);
                break;
            }
            if (n == 0)
                break;
            if (bytes.size() + std::size_t(n) > kMaxStoreBytes) {
                r = {Status::IoError, "the registry file " + path + " grew beyond " +
                                          std::to_string(kMaxStoreBytes >> 20) + " MiB while it was read"};
                break;
            }
            bytes.append(buf, std::size_t(n));
        }
    }
    ::close(fd);
    if (st)
        *st = own;
    if (!r.ok())
        bytes.clear();
    return r;
}

// The lock lives on a companion file because the store's own inode changes with every write.
// Another user may be able to write the store's folder, so the lock file is never followed
// through a link (which would create or lock a file of the link's choosing), must be a plain
// file, and gets its mode only when it is our own and has no other name.
Result WriteLock::acquire(const std::string &path)
{
    const std::string lockPath = path + ".lock";
    struct stat store {};
    const mode_t mode = ::stat(path.c_str(), &store) == 0 ? lockModeFor(store.st_mode) : 0600;
    fd_ = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd_ < 0) {
        if (errno == ELOOP)
            return {Status::IoError,
                    "the lock file " + lockPath + " is a symbolic link, which is never followed"};
        return ioError("cannot open " + lockPath, errno);
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return {Status::IoError, "the lock file " + lockPath + " is not a plain file"};
    if (st.st_uid == geteuid() && st.st_nlink == 1 && (st.st_mode & 07777) != mode)
        (void)!::fchmod(fd_, mode);
    switch (lockWithin(fd_, kLockWait)) {
    case Locked::Yes:
        return {};
    case Locked::Failed:
        return ioError("cannot lock " + lockPath, errno);
    case Locked::Busy:
        break;
    }
    return {Status::Busy,
            "the registry file " + path + " is locked by another program (its lock file " + lockPath +
                (st.st_uid != geteuid() ? ", owned by user " + std::to_string(st.st_uid) : std::string()) +
                "); gave up after " + std::to_string(kLockWait.count() / 1000) + " seconds"};
}

WriteLock::~WriteLock()
{
    if (fd_ >= 0)
        ::close(fd_);
}

Result replaceStoreFile(const std::string &path, const std::string &text, const struct stat *old,
                        bool &opened)
{
    opened = false;
    // The temporary file is always a new file of our own: whatever lies at its name (a file a
    // killed writer left, or a link planted by someone who may write the folder) is removed,
    // never opened, so the store's owner and mode only ever reach this file.
    const std::string tmp = path + ".tmp";
    const mode_t mode = old ? (old->st_mode & 0777) : 0644;
    if (::unlink(tmp.c_str()) != 0 && errno != ENOENT)
        return ioError("cannot remove " + tmp, errno);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return ioError("cannot create " + tmp, errno);
    opened = true;
    if (old && geteuid() == 0)
        (void)!::fchown(fd, old->st_uid, old->st_gid);
    ::fchmod(fd, mode);
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        return ioError("cannot write " + path, err);
    }
    // Flush the folder too, so that the rename itself survives a crash.
    const std::string dir = std::filesystem::path(path).parent_path().string();
    const int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return {};
}

} // namespace korvel::reg::detail
