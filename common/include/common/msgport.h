// The agent's message port: what applications and watchers post window messages to. A port is
// named by a nonzero 32-bit value (kept in the handle block) within the KORVEL_SESSION word;
// each message carries its number, WParam and LParam and is read in the owner's event loop.
#pragma once

#include <QObject>

#include <cstdint>
#include <string>

class QSocketNotifier;

/// The receiving side. Every well-formed message that arrives is emitted as messageReceived on
/// the thread that owns the port; anything else arriving at the port is dropped.
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

signals:
    void messageReceived(quint32 message, quintptr wParam, qintptr lParam);

private:
    bool OpenAs(std::uint32_t value);
    void ReadPending();

    int FSocket = -1;
    std::uint32_t FValue = 0;
    QSocketNotifier *FNotifier = nullptr;
};

/// Posts a message to the port `port` of the current session without waiting for it to be
/// handled. A port holds a few unread messages; when it is full the sender waits up to two
/// seconds for room. False when no such port is open (errno ECONNREFUSED or ENOENT) or there
/// was no room (errno EAGAIN).
bool PostMessage(std::uint32_t port, std::uint32_t message, std::uintptr_t wParam,
                 std::intptr_t lParam);

/// The same for the port of the session `sessionWord` (empty: no session word).
bool PostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                 std::uintptr_t wParam, std::intptr_t lParam);

/// The same without waiting: false at once (errno EAGAIN) when the port is full, so one busy
/// agent cannot hold up a sender that serves several ports.
bool TryPostMessage(const std::string &sessionWord, std::uint32_t port, std::uint32_t message,
                    std::uintptr_t wParam, std::intptr_t lParam);
