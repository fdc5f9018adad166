#include "cln_agent.h"

#include <common/cmn_err.h>
#include <common/handleblock.h>
#include <common/messages.h>
#include <common/msgport.h>
#include <common/strtable.h>
#include <common/timeaddr.h>
#include <common/watcher.h>

#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <type_traits>

static_assert(std::is_same_v<TClnEffects::WatcherId, TWatcher::Id>);

namespace {

// The OS error of a failure on a connection that is up; the connect itself reports errno.
int OsErrorOf(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::SocketTimeoutError:
        return ETIMEDOUT;
    case QAbstractSocket::SocketResourceError:
        return ENOBUFS;
    case QAbstractSocket::SocketAccessError:
        return EACCES;
    case QAbstractSocket::NetworkError:
        return ENETDOWN;
    default:
        return EIO;
    }
}

} // namespace

TClnAgent::TClnAgent(QObject *parent, const TClnTimings &timings)
    : QObject(parent), FEngine(*this, *this, *this), FTimings(timings)
{
    FPort = new TMsgPort(this);
    connect(FPort, &TMsgPort::messageReceived, this, &TClnAgent::OnMessage);

    FPollTimer = new QTimer(this);
    FPollTimer->setObjectName(QStringLiteral("FPollTimer"));
    connect(FPollTimer, &QTimer::timeout, this, [this] { FEngine.PollTick(); });
    FMinimiseTimer = new QTimer(this);
    FMinimiseTimer->setObjectName(QStringLiteral("FMinimiseTimer"));
    FMinimiseTimer->setInterval(FTimings.minimiseMs);
    connect(FMinimiseTimer, &QTimer::timeout, this, &TClnAgent::minimiseDue);
    FShutdownTimer = new QTimer(this);
    FShutdownTimer->setObjectName(QStringLiteral("FShutdownTimer"));
    FShutdownTimer->setSingleShot(true);
    connect(FShutdownTimer, &QTimer::timeout, this, &TClnAgent::shutdownDue);

    for (std::size_t i = 0; i < FLines.size(); ++i) {
        const auto line = static_cast<TClnLine>(i);
        FLines[i].deadline = new QTimer(this);
        FLines[i].deadline->setSingleShot(true);
        FLines[i].deadline->setTimerType(Qt::PreciseTimer);
        connect(FLines[i].deadline, &QTimer::timeout, this, [this, line] { Fail(line, ETIMEDOUT); });
    }
}

TClnAgent::~TClnAgent()
{
    Close();
}

void TClnAgent::StartUp()
{
    FEngine.StartUp();
    ClnSetLoad(FEngine.Settings());
    // The handle block names the port that applications and watchers post to.
    if (!FPort->Open())
        throw cmn_err(IDS_BLOCK_CREATE_ERROR);
    FBlock = CreateHandleBlock(FPort->Value());
    if (!FBlock.Active()) {
        FPort->Close();
        throw cmn_err(IDS_BLOCK_CREATE_ERROR);
    }
    FMinimiseTimer->setInterval(FTimings.minimiseMs);
    FPollTimer->setInterval(FEngine.PollIntervalMs());
    FShutdownTimer->setInterval(FTimings.shutdownMs);
    if (FEngine.LastConnection() != 0)
        emit statusChanged(StatusText());
}

void TClnAgent::Close()
{
    if (FClosed)
        return;
    FClosed = true;
    FEngine.Shutdown();
    for (std::size_t i = 0; i < FLines.size(); ++i)
        Close(static_cast<TClnLine>(i));
    FPollTimer->stop();
    FMinimiseTimer->stop();
    FShutdownTimer->stop();
    FBlock.Close();
    FPort->Close();
}

quint32 TClnAgent::PortValue() const
{
    return FPort->Value();
}

void TClnAgent::SaveSettings()
{
    ClnSetSave(FEngine.Settings());
}

QString TClnAgent::StatusText() const
{
    const TDateTime t = FEngine.LastConnection();
    if (static_cast<long long>(t) == 0)
        return {};
    return QStringLiteral("Last connection: ") + QString::fromStdU16String(TimeText(t));
}

QString TClnAgent::AppsText() const
{
    return QString::fromStdU16String(FEngine.AppsText());
}

void TClnAgent::TestConnection(const QString &address, quint16 port)
{
    FEngine.TestConnection(address.toStdU16String(), port);
}

void TClnAgent::RearmMinimise()
{
    if (!FClosed && !FEngine.SessionEnds())
        FMinimiseTimer->start();
}

void TClnAgent::StopMinimise()
{
    FMinimiseTimer->stop();
}

void TClnAgent::OnMessage(quint32 message, quintptr wParam, qintptr lParam)
{
    if (message == WM_ANNOUNCE)
        FEngine.Announce(static_cast<int>(wParam), static_cast<int>(lParam));
    else if (message == WM_INSTANCE_ENDED)
        FEngine.InstanceEnded(static_cast<unsigned short>(wParam), static_cast<int>(lParam));
}

// --- transport: one conversation per line ---

void TClnAgent::Open(TClnLine line, const UnicodeString &address, std::uint16_t port)
{
    Close(line);
    Line &l = L(line);
    const unsigned generation = ++l.generation;
    // Failures are reported from the event loop, never from inside the engine's own call.
    const auto failLater = [this, line, generation](int error) {
        QTimer::singleShot(0, this, [this, line, generation, error] {
            if (L(line).generation == generation)
                Fail(line, error);
        });
    };

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    if (inet_pton(AF_INET, UnicodeToUtf8(address).c_str(), &to.sin_addr) != 1) {
        failLater(EADDRNOTAVAIL);
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failLater(errno);
        return;
    }
    // The connect is made here rather than by QTcpSocket so that a failure carries the
    // system's own error code and the wait for an answer has a bound of our choosing.
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        failLater(error);
        return;
    }
    l.fd = fd;
    l.notifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(l.notifier, &QSocketNotifier::activated, this, [this, line] { ConnectFinished(line); });
    l.deadline->start(FTimings.connectMs);
}

void TClnAgent::ConnectFinished(TClnLine line)
{
    Line &l = L(line);
    if (l.fd < 0)
        return;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    if (error != 0) {
        Fail(line, error);
        return;
    }
    Adopt(line);
}

void TClnAgent::Adopt(TClnLine line)
{
    Line &l = L(line);
    l.notifier->setEnabled(false);
    l.notifier->deleteLater();
    l.notifier = nullptr;
    l.deadline->stop();
    auto *s = new QTcpSocket(this);
    s->setReadBufferSize(MaxReply);
    if (!s->setSocketDescriptor(l.fd)) {
        delete s;
        Fail(line, EIO);
        return;
    }
    l.fd = -1;
    l.socket = s;
    l.connected = true;
    connect(s, &QTcpSocket::readyRead, this, [this, line] { ReadReply(line); });
    connect(s, &QTcpSocket::errorOccurred, this, [this, line](QAbstractSocket::SocketError error) {
        // The master closing without a word is a reply that says nothing.
        if (error == QAbstractSocket::RemoteHostClosedError)
            FEngine.OnReply(line, std::string());
        else
            Fail(line, OsErrorOf(error));
    });
    if (line == TClnLine::Master)
        emit requestConnected();
    FEngine.OnConnected(line);
}

void TClnAgent::Send(TClnLine line, const std::string &text)
{
    Line &l = L(line);
    if (!l.socket)
        return;
    l.socket->write(text.data(), static_cast<qint64>(text.size()));
    l.deadline->start(FTimings.replyMs);
}

void TClnAgent::ReadReply(TClnLine line)
{
    Line &l = L(line);
    if (!l.socket)
        return;
    // One read event is one whole message.
    const QByteArray text = l.socket->read(MaxReply);
    FEngine.OnReply(line, text.toStdString());
}

void TClnAgent::Fail(TClnLine line, int osError)
{
    Close(line);
    FEngine.OnError(line, osError);
}

void TClnAgent::Close(TClnLine line)
{
    Line &l = L(line);
    ++l.generation;
    l.deadline->stop();
    if (l.notifier) {
        // Close may run inside the notifier's own signal.
        l.notifier->setEnabled(false);
        l.notifier->deleteLater();
        l.notifier = nullptr;
    }
    if (l.fd >= 0) {
        ::close(l.fd);
        l.fd = -1;
    }
    if (l.socket) {
        QTcpSocket *s = l.socket;
        l.socket = nullptr;
        s->disconnect(this);
        s->close();
        s->deleteLater();
    }
    if (l.connected) {
        l.connected = false;
        // The lamp and Configure follow the master's requests; the dialog's test line, which
        // may close while a request is connected, has a result of its own.
        if (line == TClnLine::Master)
            emit disconnected();
    }
}

// --- clock ---

TDateTime TClnAgent::Now()
{
    return ::Now();
}

long long TClnAgent::SteadyMs()
{
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

// --- effects ---

TClnAgent::WatcherId TClnAgent::StartWatcher(unsigned short code, int pid)
{
    return TWatcher::Start(code, pid, FPort->Value());
}

void TClnAgent::TerminateWatcher(WatcherId id)
{
    TWatcher::Terminate(id);
}

void TClnAgent::SetPollTimer(bool enabled, int intervalMs)
{
    if (!enabled)
        FPollTimer->stop();
    else if (!FPollTimer->isActive() || FPollTimer->interval() != intervalMs)
        FPollTimer->start(intervalMs);
}

void TClnAgent::ArmMinimiseTimer()
{
    if (!FMinimiseTimer->isActive())
        FMinimiseTimer->start();
}

void TClnAgent::SessionEnding()
{
    FMinimiseTimer->stop();
    FPollTimer->stop();
    // Another agent may start at once; this one ends after the delay.
    FBlock.Close();
    FShutdownTimer->start(FTimings.shutdownMs);
    emit sessionEnding();
}

void TClnAgent::StatusChanged(TDateTime)
{
    emit statusChanged(StatusText());
}

void TClnAgent::AppsChanged(const UnicodeString &names)
{
    emit appsChanged(QString::fromStdU16String(names));
}

void TClnAgent::ErrorShown(const UnicodeString &text)
{
    emit errorShown(QString::fromStdU16String(text));
}

void TClnAgent::TestResult(int result)
{
    emit testResult(result);
}

void TClnAgent::BusyChanged(bool busy)
{
    emit busyChanged(busy);
}
