#include "log_store.h"

#include <common/strtable.h>
#include <common/timeaddr.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include <unistd.h>

double MonotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TLogStore::TLogStore(TClocks clocks) : FClocks(std::move(clocks)) {}

void TLogStore::Start(int port)
{
    FRetentionHours = 1;
    Append(IDS_LOG_LISTENING, port);
}

void TLogStore::AddLine(int id)
{
    Append(static_cast<std::int16_t>(id));
}

void TLogStore::AddAssignedId(int clientId)
{
    Append(IDS_LOG_ASSIGNED_ID, clientId);
}

void TLogStore::AddKeepAlive(int clientId)
{
    Append(IDS_LOG_KEEPALIVE, clientId);
}

void TLogStore::AddShutDown(int appCode, int clientId)
{
    Append(IDS_LOG_SHUT_DOWN, appCode, clientId);
}

void TLogStore::AddSocketError(int errorKind)
{
    Append(IDS_LOG_SOCKET_ERROR, errorKind);
}

void TLogStore::AddListenFailed(int port, int errorNumber)
{
    Append(IDS_LOG_LISTEN_FAILED, port, errorNumber);
}

void TLogStore::AddListenOpened(int port)
{
    Append(IDS_LOG_LISTEN_OPENED, port);
}

UnicodeString TLogStore::ErrorKindWord(int errorKind)
{
    switch (errorKind) {
    case 0:
        return LoadStr(IDS_KIND_GENERAL);
    case 1:
        return LoadStr(IDS_KIND_SENDING);
    case 2:
        return LoadStr(IDS_KIND_RECEIVING);
    case 3:
        return LoadStr(IDS_KIND_CONNECTING);
    case 4:
        return LoadStr(IDS_KIND_DISCONNECTING);
    case 5:
        return LoadStr(IDS_KIND_CONNECTING); // an accept failure reads as connecting
    case 6:
        return LoadStr(IDS_KIND_LOOKUP);
    default:
        return UnicodeString();
    }
}

TLogEntry TLogStore::Format(const Line &e)
{
    UnicodeString text;
    switch (e.id) {
    case IDS_LOG_LISTENING:
    case IDS_LOG_ASSIGNED_ID:
    case IDS_LOG_KEEPALIVE:
    case IDS_LOG_LISTEN_OPENED:
        text = LoadFmt(e.id, {e.first});
        break;
    case IDS_LOG_SHUT_DOWN:
        text = LoadFmt(e.id, {e.first, e.second});
        break;
    case IDS_LOG_SOCKET_ERROR:
        text = LoadFmt(e.id, {ErrorKindWord(e.first)});
        break;
    case IDS_LOG_LISTEN_FAILED:
        text = LoadFmt(e.id, {e.first, Utf8ToUnicode(std::strerror(e.second))});
        break;
    default:
        text = LoadStr(e.id);
        break;
    }
    return TLogEntry{e.time, std::move(text), e.id};
}

void TLogStore::Append(std::int16_t id, std::int32_t first, std::int32_t second)
{
    const TDateTime now = FClocks.wall();
    const double mono = FClocks.monotonic();
    Prune(mono);
    if (FEntries.size() >= MaxEntries)
        FEntries.erase(FEntries.begin() + 1);
    FEntries.push_back(Entry{now, mono, first, second, id});
    ++FAdded;
}

void TLogStore::Prune(double monoNow)
{
    if (FEntries.size() < 10)
        return;
    const long long retention = static_cast<long long>(FRetentionHours) * 3600;
    // Ages in whole seconds, counted on whole milliseconds like the time texts.
    auto age = [monoNow](const Entry &e) { return std::llround((monoNow - e.mono) * 1000.0) / 1000; };
    std::size_t k = FEntries.size();
    for (std::size_t i = 1; i < FEntries.size(); ++i) {
        if (age(FEntries[i]) < retention) {
            k = i;
            break;
        }
    }
    // Keep the start line and the newest line older than the retention.
    if (k >= 3)
        FEntries.erase(FEntries.begin() + 1, FEntries.begin() + static_cast<std::ptrdiff_t>(k - 1));
}

void TLogEcho::Collect(const TLogStore &log)
{
    // Counted by lines added, not by position: pruning moves the lines down, and once the log
    // is an hour old each new line lets an old one go, so the count stays put.
    const int n = log.Count();
    const unsigned long long fresh = log.Added() - FEchoed;
    for (int i = fresh < static_cast<unsigned long long>(n) ? n - static_cast<int>(fresh) : 0; i < n; ++i) {
        const TLogEntry e = log.At(i);
        if (FPriorities)
            FHeld += PriorityOf(e.id);
        FHeld += UnicodeToUtf8(TimeText(e.time));
        FHeld += "  ";
        FHeld += UnicodeToUtf8(e.text);
        FHeld += '\n';
    }
    FEchoed = log.Added();
    if (FHeld.size() >= MaxHeld)
        Flush();
}

void TLogEcho::Flush()
{
    if (FHeld.empty())
        return;
    // Past the stream's buffer: a line-buffered stream would write line by line. Whatever the
    // stream held before goes first.
    std::fflush(FOut);
    const int fd = ::fileno(FOut);
    if (fd < 0) {
        std::fwrite(FHeld.data(), 1, FHeld.size(), FOut);
        std::fflush(FOut);
    } else {
        for (std::size_t done = 0; done < FHeld.size();) {
            const ssize_t n = ::write(fd, FHeld.data() + done, FHeld.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // as a failed printf: the lines are lost, the master goes on
            done += static_cast<std::size_t>(n);
        }
    }
    FHeld.clear();
}

const char *TLogEcho::PriorityOf(int id)
{
    // A client that sends garbage or a connection that breaks is worth a look; the rest is the
    // master's ordinary work.
    return id == IDS_LOG_BAD_MESSAGE || id == IDS_LOG_SOCKET_ERROR ? "<4>" : "<6>";
}
