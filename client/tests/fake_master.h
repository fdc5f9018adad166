// Stand-ins for the master on loopback, for the client agent's tests: a master that answers
// as the real one does (or as the test wants), can go away while keeping its port (so that
// nothing else takes the port and connections are refused), and a listener that never
// accepts (so that connections hang until the agent gives up).
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <vector>

namespace testsupport {

// A socket bound to a fresh loopback port that it shares (SO_REUSEPORT) with later sockets
// of this process only.
inline int BindSharedLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline quint16 PortOf(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

class FakeMaster {
public:
    struct Request {
        QByteArray text;
        qint64 ms; // when it arrived, on the master's clock
    };
    /// Answers a request; an empty answer sends nothing.
    using Answer = std::function<QByteArray(const QByteArray &request)>;

    explicit FakeMaster(int interval = 180)
    {
        FClock.start();
        FHolder = BindSharedLoopback(0);
        FPort = PortOf(FHolder);
        const int fd = BindSharedLoopback(FPort);
        ::listen(fd, 16);
        FServer.setSocketDescriptor(fd);
        answer = [this, interval](const QByteArray &r) { return MasterLike(r, interval); };
        QObject::connect(&FServer, &QTcpServer::newConnection, &FServer, [this] {
            while (QTcpSocket *s = FServer.nextPendingConnection()) {
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    const QByteArray text = s->readAll();
                    requests.push_back({text, FClock.elapsed()});
                    const QByteArray reply = answer(text);
                    if (!reply.isEmpty())
                        s->write(reply);
                    else if (closeSilently)
                        s->close();
                });
                QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            }
        });
    }
    ~FakeMaster()
    {
        FServer.close();
        if (FHolder >= 0)
            ::close(FHolder);
    }
    FakeMaster(const FakeMaster &) = delete;
    FakeMaster &operator=(const FakeMaster &) = delete;

    quint16 Port() const { return FPort; }
    /// Stops listening; the port stays taken, so connections to it are refused.
    void GoAway() { FServer.close(); }
    qint64 Ms() const { return FClock.elapsed(); }

    std::vector<QByteArray> Texts() const
    {
        std::vector<QByteArray> t;
        for (const Request &r : requests)
            t.push_back(r.text);
        return t;
    }

    /// What the real master answers a fresh start: IDs from 11, the given interval.
    QByteArray MasterLike(const QByteArray &r, int interval)
    {
        const QList<QByteArray> f = r.split(',');
        if (f.size() < 4)
            return "47,0,0,0";
        if (f[0] == "112")
            return f[1] == "0" ? "22,1," + QByteArray::number(++FHighest) + "," + QByteArray::number(interval)
                               : QByteArray("22,1,0,0");
        if (f[0] == "259" || f[0] == "376")
            return "35,1,0,0";
        return "47,0,0,0";
    }

    Answer answer;
    bool closeSilently = false; ///< with an empty answer: close instead of staying silent
    std::vector<Request> requests;

private:
    QTcpServer FServer;
    QElapsedTimer FClock;
    int FHolder = -1;
    quint16 FPort = 0;
    int FHighest = 10;
};

/// A loopback port whose listener never accepts: its queue is full, so a connection attempt
/// gets no answer at all.
class DeafListener {
public:
    DeafListener()
    {
        FListen = BindSharedLoopback(0);
        ::listen(FListen, 0);
        FPort = PortOf(FListen);
        FFiller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(FPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(FFiller, reinterpret_cast<sockaddr *>(&a), sizeof a);
    }
    ~DeafListener()
    {
        ::close(FFiller);
        ::close(FListen);
    }
    DeafListener(const DeafListener &) = delete;
    DeafListener &operator=(const DeafListener &) = delete;
    quint16 Port() const { return FPort; }

private:
    int FListen = -1;
    int FFiller = -1;
    quint16 FPort = 0;
};

} // namespace testsupport
