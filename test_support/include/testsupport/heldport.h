#pragma once
// A TCP port for a server under test that no other test can take: the socket listens from the
// moment the kernel picks the port until the server takes it over, so there is no gap between
// choosing the port and binding it. Give the server the descriptor (the master takes it from
// KORVEL_LISTEN_FD); the port stays held while this object lives.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace testsupport {

class HeldPort {
public:
    /// Listens at every IPv4 address (as the master does) on a port the kernel picks. The
    /// descriptor is closed on exec: a child gets it only when handed over (inheritInChild).
    HeldPort()
    {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::listen(fd_, SOMAXCONN) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            if (fd_ >= 0)
                ::close(fd_);
            throw std::runtime_error("cannot listen on a free port");
        }
        port_ = ntohs(a.sin_port);
    }
    ~HeldPort()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    HeldPort(const HeldPort &) = delete;
    HeldPort &operator=(const HeldPort &) = delete;

    std::uint16_t port() const { return port_; }
    /// The listening descriptor, still owned by this object.
    int fd() const { return fd_; }
    /// A copy of the descriptor for a server in this process to own (it closes it).
    int handOver() const { return ::fcntl(fd_, F_DUPFD_CLOEXEC, 3); }
    /// "KORVEL_LISTEN_FD=<fd>" for a child's environment.
    std::string environment() const { return "KORVEL_LISTEN_FD=" + std::to_string(fd_); }
    /// In a child between fork and exec (async-signal-safe): keeps the descriptor open across
    /// the exec, so that the program started takes it over.
    static void inheritInChild(int fd) { ::fcntl(fd, F_SETFD, 0); }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace testsupport
