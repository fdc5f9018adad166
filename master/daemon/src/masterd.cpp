#include "masterd.h"

#include <history/history.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace {

// The write end of the pipe the signal handler writes the signal number into.
int SignalPipeIn = -1;

void OnSignalCaught(int sig)
{
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    [[maybe_unused]] const ssize_t n = ::write(SignalPipeIn, &b, 1);
    errno = saved;
}

} // namespace

int TakeActivationSocket(std::FILE *log)
{
    // unset_environment: the watchers and whatever else is started later must not take the
    // variables as meant for them.
    const int n = sd_listen_fds(1);
    if (n <= 0) {
        if (n < 0)
            std::fprintf(log, "<4>masterd: the sockets handed over cannot be taken: %s\n", std::strerror(-n));
        return -1;
    }
    int fd = SD_LISTEN_FDS_START;
    if (n > 1)
        std::fprintf(log, "<4>masterd: %d sockets handed over; only the first is served\n", n);
    for (int extra = SD_LISTEN_FDS_START + 1; extra < SD_LISTEN_FDS_START + n; ++extra)
        ::close(extra);
    if (sd_is_socket_inet(fd, AF_INET, SOCK_STREAM, 1, 0) <= 0) {
        std::fprintf(log, "<4>masterd: the socket handed over is no IPv4 TCP socket that listens "
                          "(ListenStream=0.0.0.0:PORT makes one); the store's port is opened instead\n");
        ::close(fd);
        fd = -1;
    }
    std::fflush(log);
    return fd;
}

TMasterDaemon::TMasterDaemon(std::FILE *log, QObject *parent) : QObject(parent), FLog(log) {}

TMasterDaemon::~TMasterDaemon()
{
    if (FServer)
        FServer->Shutdown();
    if (FSignals) {
        for (int sig : {SIGTERM, SIGINT, SIGHUP})
            std::signal(sig, SIG_DFL);
        ::close(static_cast<int>(FSignals->socket()));
        ::close(SignalPipeIn);
        SignalPipeIn = -1;
    }
}

void TMasterDaemon::Say(const char *level, const char *format, ...)
{
    // The event log's lines written so far come first, as they happened.
    if (FServer)
        FServer->FlushEcho();
    std::fprintf(FLog, "%smasterd: ", level);
    va_list args;
    va_start(args, format);
    std::vfprintf(FLog, format, args);
    va_end(args);
    std::fputc('\n', FLog);
    std::fflush(FLog);
}

bool TMasterDaemon::CatchSignals()
{
    int fds[2];
    if (SignalPipeIn >= 0 || ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    SignalPipeIn = fds[1];
    FSignals = new QSocketNotifier(fds[0], QSocketNotifier::Read, this);
    connect(FSignals, &QSocketNotifier::activated, this, &TMasterDaemon::OnSignal);
    struct sigaction sa {};
    sa.sa_handler = OnSignalCaught;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    return true;
}

void TMasterDaemon::OnSignal()
{
    unsigned char buf[16];
    ssize_t n;
    while ((n = ::read(static_cast<int>(FSignals->socket()), buf, sizeof buf)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == SIGHUP)
                Reload();
            else
                Stop();
        }
    }
}

bool TMasterDaemon::Start(int listenFd)
{
    TMstServer::Options options;
    options.echoLog = true;
    options.echoPriorities = true;
    options.inheritedListener = listenFd;
    options.servesInheritedPort = listenFd >= 0;
    FServer = std::make_unique<TMstServer>(options);
    const history::THistoryWriter *historyWriter = history::AttachHistory(*FServer);
    const TMstServer::StartResult r = FServer->StartUp();
    if (!r.blockCreated) {
        // Another agent of this machine (a desktop master, a client agent, another masterd)
        // holds the handle block; two masters would answer the same clients.
        Say("<3>", "Korvel is already running on this machine (its handle block is held); this "
                   "master does not start");
        return false;
    }
    if (!r.listening) {
        Say("<3>", "cannot listen on port %u: %s", unsigned(r.port), qPrintable(r.listenError));
        return false;
    }
    if (r.port != r.storedPort)
        Say("<4>",
            "the socket handed over listens on port %u, but the store's Port is %u: port %u is "
            "served; clients configured with port %u do not reach this master",
            unsigned(r.port), unsigned(r.storedPort), unsigned(r.port), unsigned(r.storedPort));
    // The status page, JSON and metrics, on a thread of their own.
    FHttp = TStatusHttp::Attach(FServer.get(), historyWriter ? historyWriter->Path() : QString());
    FServer->FlushEcho();
    sd_notifyf(0, "READY=1\nSTATUS=Serving port %u", unsigned(r.port));
    return true;
}

void TMasterDaemon::Stop()
{
    if (FStopped)
        return;
    FStopped = true;
    sd_notify(0, "STOPPING=1");
    FHttp.reset();
    if (FServer)
        FServer->Shutdown();
    Say("<6>", "ended; settings saved");
    QCoreApplication::quit();
}

void TMasterDaemon::Reload()
{
    if (!FServer || FStopped)
        return;
    sd_notify(0, "RELOADING=1");
    const TMstServer::ReloadResult r = FServer->ReloadSettings();
    const TMstSettings &s = r.settings;
    if (!r.loaded)
        Say("<4>", "the settings cannot be read again; the values in use stay");
    else
        Say("<6>", "settings read again: audit every %u s, grace %u s", unsigned(s.auditPeriod),
            unsigned(s.gracePeriod));
    if (r.storedPort != FServer->ListeningPort())
        Say("<4>", "the store's Port is %u; port %u stays served until the next start",
            unsigned(r.storedPort), unsigned(FServer->ListeningPort()));
    sd_notifyf(0, "READY=1\nSTATUS=Serving port %u", unsigned(FServer->ListeningPort()));
}
