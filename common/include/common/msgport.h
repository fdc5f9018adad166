// The agent's message port: what applications and watchers post window messages to. A port is
// named by a nonzero 32-bit value (kept in the handle block) within the KORVEL_SESSION word;
// each message carries its number, WParam and LParam and is read in the owner's event loop.
#pragma once

#include <QObject>

#include <cstdint>
#include <string>

#include <sys/types.h>

class QSocketNotifier;

/// The receiving side. Every well-formed message that arrives is emitted as messageReceived on
/// the thread that owns the port; anything else arriving at the port is dropped.
///
/// Only processes of the user who opened the port, or of root, may post to it: the kernel's
/// credentials of every datagram are checked, and a datagram of any other user is dropped
/// unread and counted (Refused()).
class TMsgPort : public QObject {
    Q_OBJECT

public:
    explicit TMsgPort(QObject *parent = nullptr);
    ~TMsgPort() override;

    /// Opens the port under a fresh value of its own in the current session.
    bool Open();
    /// Opens the port under `value` (nonzero) in the current session; false if that port is
    /// already open elsewhere.
    bool Open(std::uint32_t value);
    void Close();

    bool IsOpen() const { return FSocket >= 0; }
    /// The value naming the open port, 0 when closed.
    std::uint32_t Value() const { return FValue; }
    /// How many datagrams of other users the port has dropped since it was created.
    quint64 Refused() const { return FRefused; }

signals:
    void messageReceived(quint32 message, quintptr wParam, qintptr lParam);

private:
    bool OpenAs(std::uint32_t value);
    void ReadPending();

    int FSocket = -1;
    std::uint32_t FValue = 0;
    quint64 FRefused = 0;
    QSocketNotifier *FNotifier = nullptr;
};

/// Posts a message to the port `port` of the current session without waiting for it to be
/// handled. A port holds a few unread messages; when it is full the sender waits up to two
/// seconds for room. False when no such port is open (errno ECONNREFUSED or ENOENT) or there
/// was no room (errno EAGAIN).
bool PostMessage(std::uint32_t port, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

/// The same for the port of the session `sessionWord` (empty: no session word).
bool PostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                 std::uintptr_t wParam, std::intptr_t lParam);

/// The same without waiting: false at once (errno EAGAIN) when the port is full, so one busy
/// agent cannot hold up a sender that serves several ports.
bool TryPostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                    std::uintptr_t wParam, std::intptr_t lParam);

/// Whether a port opened by `portOwner` takes what `sender` posts: only its own user's and
/// root's messages.
bool PortTakesFrom(uid_t portOwner, uid_t sender);

/// Who listens on a port, as the kernel's socket diagnostics tell.
enum class TPortState {
    Closed,   ///< nobody listens on it
    Trusted,  ///< a program of this user or of root
    Stranger, ///< a program of another, unprivileged user: nothing is to be posted to it
    Unknown,  ///< the kernel would not tell (see the text of TPortInfo)
};

struct TPortInfo {
    TPortState state = TPortState::Unknown;
    uid_t owner = 0;   ///< the listener's user, for Trusted and Stranger
    std::string error; ///< why it is Unknown
};

/// Who listens on the port `port` of the current session (of `sessionWord`), so that a sender
/// can make sure it posts to an agent of its own user or of root before it posts anything.
TPortInfo ProbePort(std::uint32_t port);
TPortInfo ProbePort(const std::string &sessionWord, std::uint32_t port);
