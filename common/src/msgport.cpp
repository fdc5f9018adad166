#include <common/msgport.h>

#include <common/handleblock.h>

#include <QPointer>
#include <QSocketNotifier>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>

namespace {

// One message on the wire. The mark keeps stray datagrams of other programs out.
struct Datagram {
    std::uint32_t mark;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};
static_assert(sizeof(Datagram) == 24);
constexpr std::uint32_t DatagramMark = 0x4B52564C;  // "KRVL"

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

}  // namespace

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
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0) {
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
    while (alive && FSocket >= 0) {
        Datagram d;
        // MSG_TRUNC makes recv report the datagram's real length, so longer ones are seen.
        ssize_t n = recv(FSocket, &d, sizeof d, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;  // drained
        }
        if (n != static_cast<ssize_t>(sizeof d) || d.mark != DatagramMark)
            continue;
        emit messageReceived(d.message, static_cast<quintptr>(d.wParam),
                             static_cast<qintptr>(d.lParam));
    }
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

bool PostMessage(std::uint32_t port, std::uint32_t message, std::uintptr_t wParam,
                 std::intptr_t lParam)
{
    return PostMessage(KorvelSessionWord(), port, message, wParam, lParam);
}
