#pragma once
// Plain blocking TCP on loopback, for tests that talk to a server byte for byte: the way a
// client, a half-closing peer or a flood would, without Qt's buffering in between.

#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

/// A blocking connection to port on 127.0.0.1, from the loopback address `from` when given;
/// -1 when it cannot be made.
inline int TcpConnect(unsigned short port, const char *from = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &src.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

/// What one read of fd gives within ms (at most 256 bytes); empty when nothing arrives.
inline std::string TcpReply(int fd, int ms = 3000)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0)
        return {};
    char buf[256];
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

/// Sends text and returns the reply as TcpReply does; "not sent" when the send fails.
inline std::string TcpAsk(int fd, const std::string &text, int ms = 3000)
{
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return "not sent";
    return TcpReply(fd, ms);
}

} // namespace testsupport
