// The reference for the master's load benchmark: the least a server can do for this workload.
// One thread, one epoll set, level-triggered; each read is one request, answered at once with
// a fixed reply by its code (announce 22,1,11,180; keep-alive and withdraw 35,1,0,0; anything
// else 47,0,0,0); a connection is closed when its peer closes it. No tables, no log, no window.
//
//   korvel-reference-server FD     serve on the listening socket FD (inherited)

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

const char *ReplyTo(const char *text, ssize_t n)
{
    int code = 0;
    for (ssize_t i = 0; i < n && text[i] >= '0' && text[i] <= '9' && code < 100000; ++i)
        code = code * 10 + (text[i] - '0');
    switch (code) {
    case 112:
        return "22,1,11,180";
    case 259:
    case 376:
        return "35,1,0,0";
    default:
        return "47,0,0,0";
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = std::atoi(argv[1]);
    ::fcntl(listener, F_SETFL, ::fcntl(listener, F_GETFL) | O_NONBLOCK);
    const int ep = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = listener;
    if (ep < 0 || ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev) != 0)
        return 1;
    epoll_event events[64];
    char buf[65536];
    for (;;) {
        const int n = ::epoll_wait(ep, events, 64, -1);
        if (n < 0 && errno != EINTR)
            return 1;
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listener) {
                for (int c; (c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                    epoll_event cev{};
                    cev.events = EPOLLIN;
                    cev.data.fd = c;
                    ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
                }
                continue;
            }
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got > 0) {
                const char *reply = ReplyTo(buf, got);
                ::send(fd, reply, std::strlen(reply), MSG_NOSIGNAL);
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                ::close(fd);
            }
        }
    }
}
