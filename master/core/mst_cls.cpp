#include "mst_cls.h"

#include <common/aux.h>
#include <common/strtable.h>

TLogStore::TLogStore(Clock clock) : clock_(std::move(clock)) {}

void TLogStore::start(int port)
{
    retentionHours_ = 1;
    append(LoadFmt(IDS_LOG_LISTENING, {port}));
}

void TLogStore::addLine(int id)
{
    append(LoadStr(id));
}

void TLogStore::addAssignedId(int clientId)
{
    append(LoadFmt(IDS_LOG_ASSIGNED_ID, {clientId}));
}

void TLogStore::addKeepAlive(int clientId)
{
    append(LoadFmt(IDS_LOG_KEEPALIVE, {clientId}));
}

void TLogStore::addShutDown(int appCode, int clientId)
{
    append(LoadFmt(IDS_LOG_SHUT_DOWN, {appCode, clientId}));
}

void TLogStore::addSocketError(int errorKind)
{
    append(LoadFmt(IDS_LOG_SOCKET_ERROR, {errorKindWord(errorKind)}));
}

UnicodeString TLogStore::errorKindWord(int errorKind)
{
    switch (errorKind) {
    case 0: return LoadStr(IDS_KIND_GENERAL);
    case 1: return LoadStr(IDS_KIND_SENDING);
    case 2: return LoadStr(IDS_KIND_RECEIVING);
    case 3: return LoadStr(IDS_KIND_CONNECTING);
    case 4: return LoadStr(IDS_KIND_DISCONNECTING);
    case 5: return LoadStr(IDS_KIND_CONNECTING);  // an accept failure reads as connecting
    case 6: return LoadStr(IDS_KIND_LOOKUP);
    default: return UnicodeString();
    }
}

void TLogStore::append(const UnicodeString &text)
{
    const TDateTime now = clock_();
    prune(now);
    entries_.push_back(TLogEntry{now, text});
    ++added_;
}

void TLogStore::prune(TDateTime now)
{
    if (entries_.size() < 10)
        return;
    const long long retention = static_cast<long long>(retentionHours_) * 3600;
    std::size_t k = entries_.size();
    for (std::size_t i = 1; i < entries_.size(); ++i) {
        if (SecondsBetween(entries_[i].time, now) < retention) {
            k = i;
            break;
        }
    }
    // Keep the start line and the newest line older than the retention.
    if (k >= 3)
        entries_.erase(entries_.begin() + 1, entries_.begin() + static_cast<std::ptrdiff_t>(k - 1));
}
