#pragma once
// The master's client connections: the listening socket and every accepted connection sit in
// one epoll set, which the owner's event loop watches through a single notifier. One read
// event is one message; its reply is sent at once on the same connection, which stays open
// until the peer closes it.

#include "idleguard.h"

#include <QObject>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class QSocketNotifier;
class QTimer;

class TMstListener : public QObject {
    Q_OBJECT
public:
    /// Bytes one read event takes at most; an honest request is under 50. More waiting on
    /// the connection is the next read event.
    static constexpr std::size_t ReadLimit = 64 * 1024;
    /// Unsent reply bytes after which a connection is not read until its peer takes them.
    static constexpr std::size_t OutputLimit = 64 * 1024;
    /// Accepting paused for want of a descriptor is tried again after at most this long.
    static constexpr int MaxRetryMs = 250;
    /// Under pressure for room, a connection quiet for this long (silent since accepted, or
    /// answered and silent since) makes way for a new one.
    static constexpr double MinQuietSeconds = 1.0;

    /// The remote end of a connection.
    struct TPeer {
        std::uint64_t id;
        QString address;
    };
    /// One message: returns the reply to send (empty: nothing is sent).
    using Handler = std::function<std::string(const TPeer &peer, std::string_view text)>;

    /// budget: descriptors shared by the connections and whatever SetOthers() counts; 0 raises
    /// the descriptor limit and takes the budget from it (TDescriptorShares).
    explicit TMstListener(std::size_t budget = 0, QObject *parent = nullptr);
    ~TMstListener() override;

    void SetHandler(Handler handler) { FHandler = std::move(handler); }
    /// Descriptors of the budget held by something else (watched processes) right now.
    void SetOthers(std::function<std::size_t()> others) { FOthers = std::move(others); }
    /// How the budget is shared out.
    const TDescriptorShares &Shares() const { return FShares; }

    /// Listens on port at every IPv4 address. `inherited`, when not -1, is a listening socket
    /// handed over by whoever started the master: taken instead when it listens on that
    /// port, closed otherwise. False with the reason in error (and its errno in errorNumber)
    /// when neither works.
    bool Listen(quint16 port, int inherited, QString *error, int *errorNumber = nullptr);
    /// Stops listening and closes every connection.
    void Close();

    bool IsListening() const { return FListen >= 0; }
    quint16 Port() const { return FPort; }
    std::size_t Count() const { return FConns.size(); }
    std::size_t Budget() const { return FGuard.Budget(); }
    bool AcceptPaused() const { return FPaused; }
    /// Closes connections that never sent anything and are older than idleSeconds.
    void DropIdle(double idleSeconds);

signals:
    /// A connection was accepted from address.
    void accepted(const QString &address);
    /// A connection was closed (by its peer, or dropped).
    void closed();
    /// A connection failed: reset by its peer (kind 4, disconnecting), a failed read (2,
    /// receiving) or send (1, sending). The connection is closed after it.
    void connectionError(int kind);

private:
    struct TConn {
        int fd = -1;
        QString address;
        std::string out;     // reply bytes the socket did not take yet
        bool reading = true; // false while out is over OutputLimit
    };
    void OnEvents();
    void AcceptAll();
    void ConnEvent(std::uint64_t id, std::uint32_t events);
    void Send(std::uint64_t id, TConn &c, const std::string &data);
    void Flush(std::uint64_t id, TConn &c);
    void Watch(std::uint64_t id, const TConn &c, int op);
    void Drop(std::uint64_t id);
    void Pause();
    void Resume();

    Handler FHandler;
    std::function<std::size_t()> FOthers;
    TDescriptorShares FShares;
    TIdleGuard FGuard;
    int FEpoll = -1;
    int FListen = -1;
    quint16 FPort = 0;
    bool FPaused = false;
    int FRetryMs = 0;
    std::uint64_t FNextId = 1; // 0 is the listening socket in the epoll set
    std::unordered_map<std::uint64_t, TConn> FConns;
    std::vector<char> FBuffer;
    QSocketNotifier *FNotifier = nullptr;
    QTimer *FRetry = nullptr;
};
