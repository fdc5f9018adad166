#include "mst_cls.h"

#include <common/aux.h>
#include <common/strtable.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>

#include <unistd.h>

double MonotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

TLogStore::TLogStore(TClocks clocks) : clocks_(std::move(clocks)) {}

void TLogStore::start(int port)
{
    retentionHours_ = 1;
    append(IDS_LOG_LISTENING, port);
}

void TLogStore::addLine(int id)
{
    append(static_cast<std::int16_t>(id));
}

void TLogStore::addAssignedId(int clientId)
{
    append(IDS_LOG_ASSIGNED_ID, clientId);
}

void TLogStore::addKeepAlive(int clientId)
{
    append(IDS_LOG_KEEPALIVE, clientId);
}

void TLogStore::addShutDown(int appCode, int clientId)
{
    append(IDS_LOG_SHUT_DOWN, appCode, clientId);
}

void TLogStore::addSocketError(int errorKind)
{
    append(IDS_LOG_SOCKET_ERROR, errorKind);
}

void TLogStore::addListenFailed(int port, int errorNumber)
{
    append(IDS_LOG_LISTEN_FAILED, port, errorNumber);
}

void TLogStore::addListenOpened(int port)
{
    append(IDS_LOG_LISTEN_OPENED, port);
}

UnicodeString TLogStore::errorKindWord(int errorKind)
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

TLogEntry TLogStore::at(int index) const
{
    const Entry &e = entries_[static_cast<std::size_t>(index)];
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
        text = LoadFmt(e.id, {errorKindWord(e.first)});
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

void TLogStore::append(std::int16_t id, std::int32_t first, std::int32_t second)
{
    const TDateTime now = clocks_.wall();
    const double mono = clocks_.monotonic();
    prune(mono);
    if (entries_.size() >= MaxEntries)
        entries_.erase(entries_.begin() + 1);
    entries_.push_back(Entry{now, mono, first, second, id});
    ++added_;
}

void TLogStore::prune(double monoNow)
{
    if (entries_.size() < 10)
        return;
    const long long retention = static_cast<long long>(retentionHours_) * 3600;
    // Ages in whole seconds, counted on whole milliseconds like the time texts.
    auto age = [monoNow](const Entry &e) { return std::llround((monoNow - e.mono) * 1000.0) / 1000; };
    std::size_t k = entries_.size();
    for (std::size_t i = 1; i < entries_.size(); ++i) {
        if (age(entries_[i]) < retention) {
            k = i;
            break;
        }
    }
    // Keep the start line and the newest line older than the retention.
    if (k >= 3)
        entries_.erase(entries_.begin() + 1, entries_.begin() + static_cast<std::ptrdiff_t>(k - 1));
}

void TLogEcho::collect(const TLogStore &log)
{
    // Counted by lines added, not by position: pruning moves the lines down, and once the log
    // is an hour old each new line lets an old one go, so the count stays put.
    const int n = log.count();
    const unsigned long long fresh = log.added() - echoed_;
    for (int i = fresh < static_cast<unsigned long long>(n) ? n - static_cast<int>(fresh) : 0; i < n; ++i) {
        const TLogEntry e = log.at(i);
        if (priorities_)
            held_ += priorityOf(e.id);
        held_ += UnicodeToUtf8(TimeText(e.time));
        held_ += "  ";
        held_ += UnicodeToUtf8(e.text);
        held_ += '\n';
    }
    echoed_ = log.added();
    if (held_.size() >= MaxHeld)
        flush();
}

void TLogEcho::flush()
{
    if (held_.empty())
        return;
    // Past the stream's buffer: a line-buffered stream would write line by line. Whatever the
    // stream held before goes first.
    std::fflush(out_);
    const int fd = ::fileno(out_);
    if (fd < 0) {
        std::fwrite(held_.data(), 1, held_.size(), out_);
        std::fflush(out_);
    } else {
        for (std::size_t done = 0; done < held_.size();) {
            const ssize_t n = ::write(fd, held_.data() + done, held_.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // as a failed printf: the lines are lost, the master goes on
            done += static_cast<std::size_t>(n);
        }
    }
    held_.clear();
}

const char *TLogEcho::priorityOf(int id)
{
    // A client that sends garbage or a connection that breaks is worth a look; the rest is the
    // master's ordinary work.
    return id == IDS_LOG_BAD_MESSAGE || id == IDS_LOG_SOCKET_ERROR ? "<4>" : "<6>";
}
