#pragma once
// TClnAgent: the client agent without its window. It owns the message port named in the
// handle block, the conversations with the master (one TCP connection per request), the
// keep-alive, auto-minimise and shutdown timers and the watchers, and drives the request
// engine; the window observes it through its signals and never sits on the request path.

#include "cln_engine.h"

#include <mapkit/mapkit.h>

#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

class QSocketNotifier;
class QTcpSocket;
class QTimer;
class TMsgPort;

/// The agent's delays. The program runs with these; tests pass short ones so that they wait
/// for what happens rather than for the clock.
struct TClnTimings {
    /// How long a master may take to accept a connection, and to answer once the request is
    /// sent, before the conversation ends as a socket error ETIMEDOUT.
    int connectMs = 10000;
    int replyMs = 10000;
    /// Auto-minimise delay.
    int minimiseMs = 210000;
    /// From a failed keep-alive to the end of the program.
    int shutdownMs = TClnEngine::ShutdownMs;
};

class TClnAgent : public QObject, private TClnTransport, private TClnClock, private TClnEffects {
    Q_OBJECT
public:
    /// Longest reply read; a well-formed one has fewer than 48 characters.
    static constexpr int MaxReply = 256;

    explicit TClnAgent(QObject *parent = nullptr, const TClnTimings &timings = {});
    ~TClnAgent() override;

    /// Deferred start-up: instance table, settings, message port and handle block, timer
    /// intervals. Throws cmn_err (block create error) when the handle block cannot be made.
    void StartUp();
    /// Closing: conversations end, every watcher is asked to stop, the handle block and the
    /// port are given up. Nothing more is sent.
    void Close();

    /// Connection test for the settings dialog: connect only; testResult reports 1 or 2.
    void TestConnection(const QString &address, quint16 port);
    /// The auto-minimise timer starts its full interval again.
    void RearmMinimise();
    void StopMinimise();

    /// Settings in use (the dialog edits them; SaveSettings stores address and host).
    TClnSettings &Settings() { return FEngine.Settings(); }
    void SaveSettings();

    const TClnEngine &Engine() const { return FEngine; }
    /// "Last connection: hh:nn:ss"; empty before the first connection.
    QString StatusText() const;
    QString AppsText() const;
    bool HoldsHandleBlock() const { return FBlock.Active(); }
    /// The value naming the message port (kept in the handle block); 0 when closed.
    quint32 PortValue() const;

    QTimer *PollTimer() const { return FPollTimer; }
    QTimer *MinimiseTimer() const { return FMinimiseTimer; }
    QTimer *ShutdownTimer() const { return FShutdownTimer; }
    const TClnTimings &Timings() const { return FTimings; }

signals:
    void statusChanged(const QString &text);
    void appsChanged(const QString &names);
    void errorShown(const QString &text);
    void testResult(int result);
    /// A connection is being made (hour-glass cursor), or no longer.
    void busyChanged(bool busy);
    /// A request's connection to the master is up (the lamp is on, Configure is not offered
    /// meanwhile). A connection test does not report here.
    void requestConnected();
    /// The request's connection to the master was closed (the lamp goes off, Configure is
    /// offered again). A connection test does not report here.
    void disconnected();
    /// The auto-minimise timer ran out.
    void minimiseDue();
    /// A keep-alive failed: the program ends when shutdownDue follows.
    void sessionEnding();
    void shutdownDue();

private:
    struct Line {
        int fd = -1; // while connecting
        QSocketNotifier *notifier = nullptr;
        QTcpSocket *socket = nullptr; // once connected
        QTimer *deadline = nullptr;
        unsigned generation = 0;
        bool connected = false;
    };

    // TClnTransport
    void Open(TClnLine line, const UnicodeString &address, std::uint16_t port) override;
    void Send(TClnLine line, const std::string &text) override;
    void Close(TClnLine line) override;
    // TClnClock
    TDateTime Now() override;
    long long SteadyMs() override;
    // TClnEffects
    WatcherId StartWatcher(unsigned short code, int pid) override;
    void TerminateWatcher(WatcherId id) override;
    void SetPollTimer(bool enabled, int intervalMs) override;
    void ArmMinimiseTimer() override;
    void SessionEnding() override;
    void StatusChanged(TDateTime lastConnection) override;
    void AppsChanged(const UnicodeString &names) override;
    void ErrorShown(const UnicodeString &text) override;
    void TestResult(int result) override;
    void BusyChanged(bool busy) override;

    Line &L(TClnLine line) { return FLines[static_cast<std::size_t>(line)]; }
    void ConnectFinished(TClnLine line);
    void Adopt(TClnLine line);
    void Fail(TClnLine line, int osError);
    void ReadReply(TClnLine line);
    void OnMessage(quint32 message, quintptr wParam, qintptr lParam);

    TClnEngine FEngine;
    TMsgPort *FPort;
    MHandle FBlock;
    std::array<Line, 2> FLines;
    QTimer *FPollTimer;
    QTimer *FMinimiseTimer;
    QTimer *FShutdownTimer;
    const TClnTimings FTimings;
    bool FClosed = false;
};
