#include <common/gui/sessionend.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

extern "C" void OnEndSignal(int sig)
{
    const int saved = errno;
    const char c = static_cast<char>(sig);
    [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &c, 1);
    errno = saved;
}

} // namespace

TSessionEnd::TSessionEnd(QObject *parent) : QObject(parent)
{
    if (SignalPipe[0] < 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, SignalPipe) != 0)
        SignalPipe[0] = SignalPipe[1] = -1;
    if (SignalPipe[0] >= 0) {
        FNotifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, this);
        connect(FNotifier, &QSocketNotifier::activated, this, [this] {
            char buf[16];
            while (::read(SignalPipe[0], buf, sizeof buf) > 0) {
            }
            emit ended();
        });
        struct sigaction sa {};
        sa.sa_handler = OnEndSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGHUP, &sa, nullptr);
    }
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &) { emit ended(); });
    }
}

TSessionEnd::~TSessionEnd()
{
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}
