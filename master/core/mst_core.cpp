#include "mst_core.h"

#include <common/catalogue.h>
#include <common/codec.h>
#include <common/messages.h>
#include <common/strtable.h>

#include <algorithm>

namespace {

constexpr int CODE_INVALID = 999; // a request that failed parsing or validation

// Splitting drops empty parts and only the first four parts count, so the text is read only
// up to the end of its fourth part, and those four parts alone go to the shared parser, which
// gives for them what it gives for the whole text. A long request costs no copy of itself.
int parseRequest(std::string_view text, int &field2, int &field3, int &field4)
{
    std::string head;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        while (i < text.size() && text[i] == ',')
            ++i;
        if (i >= text.size())
            break;
        std::size_t end = text.find(',', i);
        if (end == std::string_view::npos)
            end = text.size();
        if (parts > 0)
            head += ',';
        head.append(text.substr(i, end - i));
        ++parts;
        i = end;
    }
    return MsgParse(head, field2, field3, field4);
}

// Client IDs travel and are kept as 16-bit values.
std::int16_t id16(int id)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(id));
}

} // namespace

TMstCore::TMstCore(TLogStore &log, TClocks clocks) : log_(log), clocks_(std::move(clocks))
{
    for (std::size_t i = 0; i < slots_.size(); ++i)
        slots_[i].code = KnownAppCodes[i];
}

TCoreActions TMstCore::startUp()
{
    TCoreActions act;
    log_.start(settings_.port);
    act.refreshLog = true;
    setTimer(act, true);
    return act;
}

void TMstCore::setTimer(TCoreActions &act, bool on)
{
    auditTimerOn_ = on;
    act.auditTimer = on ? TCoreActions::Timer::Start : TCoreActions::Timer::Stop;
}

bool TMstCore::validate(int code, int field2, int field3, int field4) const
{
    if (code != MSG_ANNOUNCE && code != MSG_KEEPALIVE && code != MSG_WITHDRAW && code != MSG_CLOSING)
        return false;
    if (field3 < 0 || field4 < 0)
        return false;
    // Code 0 names no application (keep-alive and closing requests carry it); it is taken in
    // every request.
    if (field3 != 0 && !IsKnownAppCode(field3))
        return false;
    // IDs above the highest one handed out were never given by this run of the master.
    return field2 == 0 || (field2 >= MASTER_CLIENT_ID && field2 <= highestId_);
}

TReceiveResult TMstCore::receive(std::string_view requestText, const TPeerInfo &peer)
{
    TCoreActions act;
    int field2 = 0, field3 = 0, field4 = 0;
    int code = parseRequest(requestText, field2, field3, field4);
    if (!validate(code, field2, field3, field4))
        code = CODE_INVALID;
    int newId = 0;
    // An announcement past the bounds of the session table is refused, and so is a new
    // client's when every ID belongs to a client still alive.
    if (code == MSG_ANNOUNCE && !makeRoom(field2, peer.address))
        code = CODE_INVALID;
    if (code == MSG_ANNOUNCE && field2 == 0 && (newId = nextClientId()) == 0)
        code = CODE_INVALID;

    switch (code) {
    case MSG_ANNOUNCE:
        handleAnnounce(field2, newId, field3, peer, act);
        break;
    case MSG_KEEPALIVE:
        handleKeepAlive(field2);
        break;
    case MSG_WITHDRAW:
        handleWithdraw(field2, field3, act);
        break;
    case MSG_CLOSING:
        break; // answered with the previous reply
    default:
        reply_ = MsgCompose(MSG_ERROR, 0, 0, 0);
        log_.addLine(IDS_LOG_BAD_MESSAGE);
        break;
    }
    act.valid = code != CODE_INVALID;
    act.refreshList = act.valid;
    act.refreshLog = true;
    return TReceiveResult{reply_, act};
}

// After MaxClientId the IDs start again at 11, skipping every ID a client still holds (a row
// in the client table or a session row), so that two clients never share one. With all of
// them held, the ID of the client the audit removed first is taken back and its rows go; 0
// only when every ID belongs to a client still alive.
int TMstCore::nextClientId()
{
    const int alive = clients_.size() - (clients_.contains(MASTER_CLIENT_ID) ? 1 : 0);
    if (alive + static_cast<int>(orphans_.size()) < ClientIdCount) {
        for (int tries = 0; tries < ClientIdCount; ++tries) {
            lastId_ = lastId_ >= MaxClientId ? FIRST_CLIENT_ID : lastId_ + 1;
            if (!idInUse(lastId_)) {
                highestId_ = std::max(highestId_, lastId_);
                return lastId_;
            }
        }
    }
    if (orphans_.empty())
        return 0;
    const std::int16_t id = orphans_.begin()->second;
    dropRowsOf(id);
    lastId_ = static_cast<std::uint16_t>(id);
    highestId_ = std::max(highestId_, lastId_);
    return lastId_;
}

// Whether an announcement of clientId (0: a new client) from address may add a row, after
// giving up rows of purged clients where a bound is reached. The master station's own ID
// counts only in the total: its rows come from this machine.
bool TMstCore::makeRoom(int clientId, const UnicodeString &address)
{
    const std::int16_t id = id16(clientId);
    if (clientId != MASTER_CLIENT_ID) {
        if (sessions_.countByClient(id) >= bounds_.perClient)
            return false;
        const auto h = holders_.find(id);
        const UnicodeString charged = h != holders_.end() ? h->second.address : address;
        while (rowsOfAddress(charged) >= bounds_.perAddress) {
            if (!dropPurged(&charged, clientId))
                return false;
        }
    }
    while (sessions_.size() >= bounds_.total) {
        if (!dropPurged(nullptr, clientId))
            return false;
    }
    return true;
}

// Gives up the rows of the client purged first (of address, when given), except keep's.
bool TMstCore::dropPurged(const UnicodeString *address, int keep)
{
    const std::map<std::uint64_t, std::int16_t> *from = &orphans_;
    if (address) {
        const auto a = addresses_.find(*address);
        if (a == addresses_.end())
            return false;
        from = &a->second.orphans;
    }
    for (const auto &[purge, id] : *from) {
        if (id != id16(keep)) {
            dropRowsOf(id);
            return true;
        }
    }
    return false;
}

void TMstCore::dropRowsOf(std::int16_t id)
{
    int removed = sessions_.removeInstances(id, 0);
    for (unsigned short code : KnownAppCodes)
        removed += sessions_.removeInstances(id, code);
    pendingHosts_.erase(id);
    uncharge(id, removed);
}

int TMstCore::rowsOfAddress(const UnicodeString &address) const
{
    const auto a = addresses_.find(address);
    return a == addresses_.end() ? 0 : a->second.rows;
}

void TMstCore::charge(std::int16_t id, const UnicodeString &address)
{
    if (id == MASTER_CLIENT_ID)
        return;
    const Holder &h = holders_.try_emplace(id, Holder{address, 0}).first->second;
    ++addresses_[h.address].rows;
}

// removed rows of id are gone; once none is left the ID holds nothing any more.
void TMstCore::uncharge(std::int16_t id, int removed)
{
    const auto h = holders_.find(id);
    if (h == holders_.end())
        return;
    const auto a = addresses_.find(h->second.address);
    if (a != addresses_.end())
        a->second.rows -= removed;
    if (sessions_.countByClient(id) == 0) {
        if (h->second.purge != 0) {
            orphans_.erase(h->second.purge);
            if (a != addresses_.end())
                a->second.orphans.erase(h->second.purge);
        }
        holders_.erase(h);
    }
    if (a != addresses_.end() && a->second.rows <= 0)
        addresses_.erase(a);
}

void TMstCore::markPurged(std::int16_t id)
{
    const auto h = holders_.find(id);
    if (h == holders_.end() || h->second.purge != 0)
        return;
    h->second.purge = ++purges_;
    orphans_.emplace(h->second.purge, id);
    addresses_[h->second.address].orphans.emplace(h->second.purge, id);
}

void TMstCore::revive(std::int16_t id)
{
    const auto h = holders_.find(id);
    if (h == holders_.end() || h->second.purge == 0)
        return;
    orphans_.erase(h->second.purge);
    const auto a = addresses_.find(h->second.address);
    if (a != addresses_.end())
        a->second.orphans.erase(h->second.purge);
    h->second.purge = 0;
}

bool TMstCore::idInUse(int id) const
{
    return clients_.contains(id16(id)) || sessions_.countByClient(id16(id)) != 0;
}

// clientId as sent; newId the ID just handed out when 0 was sent.
void TMstCore::handleAnnounce(int clientId, int newId, int appCode, const TPeerInfo &peer, TCoreActions &act)
{
    const int id = clientId != 0 ? clientId : newId;
    const int interval = newId != 0 ? settings_.auditPeriod : 0;
    reply_ = MsgCompose(MSG_ANNOUNCE_REPLY, 1, newId, interval);
    if (newId != 0)
        log_.addAssignedId(newId);
    const TDateTime now = clocks_.wall();
    const UnicodeString &host = peer.hostPending || peer.host.empty() ? peer.address : peer.host;
    if (clients_.addIfAbsent(id16(id), host, peer.address, monoNow())) {
        revive(id16(id)); // a purged client back: its rows are its own again
        if (peer.hostPending)
            pendingHosts_[id16(id)] = peer.address;
    }
    sessions_.append(TSessionRow{id16(id), static_cast<std::uint16_t>(appCode), now});
    charge(id16(id), peer.address);
    if (sink_) {
        UnicodeString rowHost, rowAddress;
        clients_.hostAndAddress(id16(id), rowHost, rowAddress);
        sink_->rowAdded(id16(id), static_cast<std::uint16_t>(appCode), rowHost, rowAddress);
    }
    setTimer(act, true);
}

void TMstCore::fillHost(const UnicodeString &address, const UnicodeString &name)
{
    for (auto it = pendingHosts_.begin(); it != pendingHosts_.end();) {
        if (it->second != address) {
            ++it;
            continue;
        }
        UnicodeString host, addr;
        clients_.hostAndAddress(it->first, host, addr);
        // A client that left and came back from elsewhere keeps what it has now.
        if (!name.empty() && addr == address && host == address) {
            clients_.setHost(it->first, name);
            if (sink_)
                sink_->hostFound(it->first, name);
        }
        it = pendingHosts_.erase(it);
    }
}

TDateTime TMstCore::monoNow() const
{
    // The client table counts ages in days, like date-times; the clients' last contact is
    // never shown, so it is kept on the monotonic clock.
    return clocks_.monotonic() / 86400.0;
}

void TMstCore::handleKeepAlive(int clientId)
{
    log_.addKeepAlive(clientId);
    clients_.touch(id16(clientId), monoNow());
    reply_ = MsgCompose(MSG_ACK, 1, 0, 0);
}

void TMstCore::handleWithdraw(int clientId, int appCode, TCoreActions &act, TSessionSink::EndReason reason)
{
    const auto id = id16(clientId);
    log_.addShutDown(appCode, clientId);
    const int removed = sessions_.removeInstances(id, static_cast<std::uint16_t>(appCode));
    uncharge(id, removed);
    if (removed != 0 && sink_)
        sink_->rowsRemoved(id, static_cast<std::uint16_t>(appCode), reason);
    if (sessions_.countByClient(id) == 0)
        clients_.remove(id);
    if (clients_.size() == 0)
        setTimer(act, false);
    reply_ = MsgCompose(MSG_ACK, 1, 0, 0);
}

TMstCore::Slot *TMstCore::slotOf(int code)
{
    for (Slot &s : slots_) {
        if (s.code == code)
            return &s;
    }
    return nullptr;
}

const TMstCore::Slot *TMstCore::slotOf(int code) const
{
    return const_cast<TMstCore *>(this)->slotOf(code);
}

TCoreActions TMstCore::localAnnounce(int code, int pid)
{
    TCoreActions act;
    announcedCode_ = code;
    announcedProcess_ = pid;
    // Past the total bound, with no rows of purged clients left to give up, the instance is
    // neither recorded nor watched.
    if (!makeRoom(MASTER_CLIENT_ID, UnicodeString()))
        return act;
    sessions_.append(TSessionRow{MASTER_CLIENT_ID, static_cast<std::uint16_t>(code), clocks_.wall()});
    if (sink_)
        sink_->rowAdded(MASTER_CLIENT_ID, static_cast<std::uint16_t>(code), UnicodeString(), UnicodeString());
    act.refreshList = true;
    // A code without a slot is still watched; its watcher is simply not referenced.
    const std::uint64_t watch = startWatcher_ ? startWatcher_(static_cast<unsigned short>(code), pid) : 0;
    if (Slot *slot = slotOf(code)) {
        slot->held = true;
        slot->pid = pid;
        slot->watch = watch;
    }
    return act;
}

TCoreActions TMstCore::localEnded(int code)
{
    TCoreActions act;
    if (Slot *slot = slotOf(code)) {
        slot->held = false;
        slot->pid = 0;
        slot->watch = 0;
    }
    handleWithdraw(MASTER_CLIENT_ID, code, act, TSessionSink::EndReason::LocalEnded);
    act.refreshList = true;
    act.refreshLog = true;
    return act;
}

long long TMstCore::auditTimeout() const
{
    // (audit + grace) * 1.15 in whole numbers: 360 * 1.15 in doubles truncates to 413.
    return (static_cast<long long>(settings_.auditPeriod) + settings_.gracePeriod) * 115 / 100;
}

TCoreActions TMstCore::audit()
{
    TCoreActions act;
    setTimer(act, false);
    if (clients_.size() == 0)
        return act;
    const TDateTime now = monoNow();
    std::vector<TClientRow> before;
    if (sink_)
        before = clients_.rows();
    std::vector<std::int16_t> purged;
    const int removed = clients_.purgeStale(auditTimeout(), now, &purged);
    for (std::int16_t id : purged)
        markPurged(id);
    if (sink_) {
        for (const TClientRow &row : before)
            if (std::find(purged.begin(), purged.end(), row.clientId) != purged.end())
                sink_->clientRemoved(row.clientId, (now - row.lastContact) * 86400.0);
    }
    log_.addLine(removed == 0 ? IDS_LOG_AUDIT_OK : IDS_LOG_AUDIT_DEAD);
    act.refreshLog = true;
    act.refreshList = removed != 0;
    if (clients_.size() != 0)
        setTimer(act, true);
    return act;
}

TCoreActions TMstCore::socketError(int errorKind)
{
    TCoreActions act;
    log_.addSocketError(errorKind);
    act.refreshLog = true;
    return act;
}

UnicodeString TMstCore::tipText(int index) const
{
    if (index < 0 || index >= rowCount())
        return UnicodeString();
    const TSessionRow &row = rowAt(index);
    if (row.clientId == MASTER_CLIENT_ID)
        return LoadFmt(IDS_TIP_MASTER_STATION, {MASTER_CLIENT_ID});
    UnicodeString host, address;
    clients_.hostAndAddress(row.clientId, host, address);
    return LoadFmt(IDS_TIP_CLIENT,
                   {static_cast<int>(static_cast<std::uint16_t>(row.clientId)), host, address});
}

int TMstCore::watchedProcess(int code) const
{
    const Slot *slot = slotOf(code);
    return slot && slot->held ? slot->pid : 0;
}

bool TMstCore::watcherSlotHeld(int code) const
{
    const Slot *slot = slotOf(code);
    return slot && slot->held;
}

std::vector<unsigned short> TMstCore::heldWatcherCodes() const
{
    std::vector<unsigned short> codes;
    for (const Slot &s : slots_) {
        if (s.held)
            codes.push_back(s.code);
    }
    return codes;
}

std::vector<std::uint64_t> TMstCore::heldWatchIds() const
{
    std::vector<std::uint64_t> ids;
    for (const Slot &s : slots_) {
        if (s.held && s.watch != 0)
            ids.push_back(s.watch);
    }
    return ids;
}
