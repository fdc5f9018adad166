#include <common/msgport.h>

#include <common/handleblock.h>

#include <QPointer>
#include <QSocketNotifier>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

namespace {

// One message on the wire. The mark keeps stray datagrams of other programs out.
struct Datagram {
    std::uint32_t mark;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};
static_assert(sizeof(Datagram) == 24);
constexpr std::uint32_t DatagramMark = 0x4B52564C; // "KRVL"

// How long a sender waits for room in a port whose owner is busy before giving up.
constexpr int SendTimeoutMs = 2000;

// The abstract socket address of a port: "korvel-port-<value>[-<session word>]". A session word
// too long for the address is replaced by a hash of it.
socklen_t PortAddress(const std::string &sessionWord, std::uint32_t value, sockaddr_un &addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    char head[32];
    std::snprintf(head, sizeof head, "korvel-port-%08x", value);
    std::string name = head;
    if (!sessionWord.empty()) {
        std::string word = sessionWord;
        if (name.size() + 1 + word.size() + 1 > sizeof addr.sun_path) {
            std::uint64_t h = 14695981039346656037ull;
            for (unsigned char c : sessionWord)
                h = (h ^ c) * 1099511628211ull;
            char hashed[24];
            std::snprintf(hashed, sizeof hashed, "#%016llx", static_cast<unsigned long long>(h));
            word = hashed;
        }
        name += "-" + word;
    }
    // sun_path[0] stays 0: the abstract namespace, nothing on disc to clean up.
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

} // namespace

TMsgPort::TMsgPort(QObject *parent) : QObject(parent) {}

TMsgPort::~TMsgPort()
{
    Close();
}

bool TMsgPort::Open()
{
    std::random_device seed;
    std::mt19937 gen(seed());
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::uint32_t value = gen();
        if (value == 0)
            continue;
        if (OpenAs(value))
            return true;
        if (IsOpen() || errno != EADDRINUSE)
            return false;
    }
    return false;
}

bool TMsgPort::Open(std::uint32_t value)
{
    if (IsOpen() || value == 0)
        return false;
    return OpenAs(value);
}

bool TMsgPort::OpenAs(std::uint32_t value)
{
    if (IsOpen())
        return false;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return false;
    sockaddr_un addr;
    socklen_t len = PortAddress(KorvelSessionWord(), value, addr);
    // The kernel then attaches the sender's credentials to every datagram.
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return false;
    }
    FSocket = fd;
    FValue = value;
    FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TMsgPort::ReadPending);
    return true;
}

void TMsgPort::Close()
{
    if (FNotifier) {
        // Close may run inside the notifier's own signal (a receiver closing the port).
        FNotifier->setEnabled(false);
        FNotifier->deleteLater();
        FNotifier = nullptr;
    }
    if (FSocket >= 0)
        close(FSocket);
    FSocket = -1;
    FValue = 0;
}

void TMsgPort::ReadPending()
{
    QPointer<TMsgPort> alive(this);
    const uid_t owner = geteuid();
    while (alive && FSocket >= 0) {
        Datagram d;
        iovec iov{&d, sizeof d};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        // MSG_TRUNC makes recvmsg report the datagram's real length, so longer ones are seen.
        ssize_t n = recvmsg(FSocket, &msg, MSG_DONTWAIT | MSG_TRUNC | MSG_CMSG_CLOEXEC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // drained
        }
        const ucred *cred = nullptr;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_CREDENTIALS &&
                c->cmsg_len >= CMSG_LEN(sizeof(ucred)))
                cred = reinterpret_cast<const ucred *>(CMSG_DATA(c));
        if (!cred || !PortTakesFrom(owner, cred->uid)) {
            if (FRefused++ == 0) {
                const std::string who = owner == 0 ? "root" : "user " + std::to_string(owner) + " and root";
                std::fprintf(stderr,
                             "korvel: the message port takes messages only from %s; a message of user "
                             "%d was dropped (and so will be others)\n",
                             who.c_str(), cred ? int(cred->uid) : -1);
            }
            continue;
        }
        if (n != static_cast<ssize_t>(sizeof d) || d.mark != DatagramMark)
            continue;
        emit messageReceived(d.message, static_cast<quintptr>(d.wParam), static_cast<qintptr>(d.lParam));
    }
}

bool PortTakesFrom(uid_t portOwner, uid_t sender)
{
    return sender == portOwner || sender == 0;
}

namespace {

bool Post(const std::string &sessionWord, std::uint32_t port, std::uint32_t message, std::uintptr_t wParam,
          std::intptr_t lParam, bool waitForRoom)
{
    if (port == 0) {
        errno = EINVAL;
        return false;
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    timeval timeout{SendTimeoutMs / 1000, (SendTimeoutMs % 1000) * 1000};
    if (waitForRoom)
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_un addr;
    socklen_t len = PortAddress(sessionWord, port, addr);
    Datagram d{DatagramMark, message, static_cast<std::uint64_t>(wParam), static_cast<std::int64_t>(lParam)};
    const int flags = MSG_NOSIGNAL | (waitForRoom ? 0 : MSG_DONTWAIT);
    ssize_t n;
    do {
        n = sendto(fd, &d, sizeof d, flags, reinterpret_cast<sockaddr *>(&addr), len);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    close(fd);
    errno = err;
    return n == static_cast<ssize_t>(sizeof d);
}

} // namespace

bool PostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                 std::uintptr_t wParam, std::intptr_t lParam)
{
    return Post(sessionWord, port, message, wParam, lParam, true);
}

bool TryPostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                    std::uintptr_t wParam, std::intptr_t lParam)
{
    return Post(sessionWord, port, message, wParam, lParam, false);
}

bool PostMessage(std::uint32_t port, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam)
{
    return PostMessage(KorvelSessionWord(), port, message, wParam, lParam);
}

TPortInfo ProbePort(const std::string &sessionWord, std::uint32_t port)
{
    TPortInfo info;
    sockaddr_un addr;
    const socklen_t len = PortAddress(sessionWord, port, addr);
    const std::string want(addr.sun_path, len - offsetof(sockaddr_un, sun_path));

    // The kernel lists the machine's local sockets with their names and owners (the listing of
    // the current network namespace, where abstract names live).
    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) {
        info.error = std::string("cannot ask the kernel who listens: ") + std::strerror(errno);
        return info;
    }
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    struct {
        nlmsghdr head;
        unix_diag_req req;
    } request{};
    request.head.nlmsg_len = sizeof request;
    request.head.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.head.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.req.sdiag_family = AF_UNIX;
    request.req.udiag_states = ~0u;
    request.req.udiag_show = UDIAG_SHOW_NAME | UDIAG_SHOW_UID;
    if (send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request)) {
        info.error = std::string("cannot ask the kernel who listens: ") + std::strerror(errno);
        close(fd);
        return info;
    }

    bool found = false, done = false, sawUid = true;
    uid_t owner = 0;
    alignas(nlmsghdr) char buf[32768];
    while (!done) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            info.error = std::string("the kernel did not tell who listens: ") +
                         (n < 0 ? std::strerror(errno) : "no answer");
            close(fd);
            return info;
        }
        int left = static_cast<int>(n);
        for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto *e = static_cast<const nlmsgerr *>(NLMSG_DATA(h));
                info.error = std::string("the kernel did not tell who listens: ") + std::strerror(-e->error);
                close(fd);
                return info;
            }
            if (found || h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg)))
                continue;
            const auto *m = static_cast<const unix_diag_msg *>(NLMSG_DATA(h));
            if (m->udiag_type != SOCK_DGRAM)
                continue;
            int attrLen = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof *m));
            bool named = false, hasUid = false;
            uid_t uid = 0;
            for (auto *a = reinterpret_cast<rtattr *>(const_cast<unix_diag_msg *>(m) + 1); RTA_OK(a, attrLen);
                 a = RTA_NEXT(a, attrLen)) {
                if (a->rta_type == UNIX_DIAG_NAME)
                    named = RTA_PAYLOAD(a) == want.size() &&
                            std::memcmp(RTA_DATA(a), want.data(), want.size()) == 0;
                if (a->rta_type == UNIX_DIAG_UID && RTA_PAYLOAD(a) >= sizeof(std::uint32_t)) {
                    hasUid = true;
                    std::memcpy(&uid, RTA_DATA(a), sizeof(std::uint32_t));
                }
            }
            if (named) {
                found = true;
                sawUid = hasUid;
                owner = uid;
            }
        }
    }
    close(fd);
    if (!found) {
        info.state = TPortState::Closed;
    } else if (!sawUid) {
        info.error = "the kernel does not tell who owns a socket";
    } else {
        info.owner = owner;
        info.state = owner == geteuid() || owner == 0 ? TPortState::Trusted : TPortState::Stranger;
    }
    return info;
}

TPortInfo ProbePort(std::uint32_t port)
{
    return ProbePort(KorvelSessionWord(), port);
}
