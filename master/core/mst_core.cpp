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

TMstCore::TMstCore(TLogStore &log, TClocks clocks) : FLog(log), FClocks(std::move(clocks))
{
    for (std::size_t i = 0; i < FSlots.size(); ++i)
        FSlots[i].code = KnownAppCodes[i];
}

TCoreActions TMstCore::StartUp()
{
    TCoreActions act;
    FLog.Start(FSettings.port);
    act.refreshLog = true;
    SetTimer(act, true);
    return act;
}

void TMstCore::SetTimer(TCoreActions &act, bool on)
{
    FAuditTimerOn = on;
    act.auditTimer = on ? TCoreActions::Timer::Start : TCoreActions::Timer::Stop;
}

bool TMstCore::Validate(int code, int field2, int field3, int field4) const
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
    return field2 == 0 || (field2 >= MASTER_CLIENT_ID && field2 <= FHighestId);
}

TReceiveResult TMstCore::Receive(std::string_view requestText, const TPeerInfo &peer)
{
    TCoreActions act;
    int field2 = 0, field3 = 0, field4 = 0;
    int code = parseRequest(requestText, field2, field3, field4);
    if (!Validate(code, field2, field3, field4))
        code = CODE_INVALID;
    int newId = 0;
    // An announcement past the bounds of the session table is refused, and so is a new
    // client's when every ID belongs to a client still alive.
    if (code == MSG_ANNOUNCE && !MakeRoom(field2, peer.address))
        code = CODE_INVALID;
    if (code == MSG_ANNOUNCE && field2 == 0 && (newId = NextClientId()) == 0)
        code = CODE_INVALID;

    switch (code) {
    case MSG_ANNOUNCE:
        HandleAnnounce(field2, newId, field3, peer, act);
        break;
    case MSG_KEEPALIVE:
        HandleKeepAlive(field2);
        break;
    case MSG_WITHDRAW:
        HandleWithdraw(field2, field3, act);
        break;
    case MSG_CLOSING:
        break; // answered with the previous reply
    default:
        FReply = MsgCompose(MSG_ERROR, 0, 0, 0);
        FLog.AddLine(IDS_LOG_BAD_MESSAGE);
        break;
    }
    act.valid = code != CODE_INVALID;
    act.refreshList = act.valid;
    act.refreshLog = true;
    return TReceiveResult{FReply, act};
}

// After MaxClientId the IDs start again at 11, skipping every ID a client still holds (a row
// in the client table or a session row), so that two clients never share one. With all of
// them held, the ID of the client the audit removed first is taken back and its rows go; 0
// only when every ID belongs to a client still alive.
int TMstCore::NextClientId()
{
    const int alive = FClients.size() - (FClients.contains(MASTER_CLIENT_ID) ? 1 : 0);
    if (alive + static_cast<int>(FOrphans.size()) < ClientIdCount) {
        for (int tries = 0; tries < ClientIdCount; ++tries) {
            FLastId = FLastId >= MaxClientId ? FIRST_CLIENT_ID : FLastId + 1;
            if (!IdInUse(FLastId)) {
                FHighestId = std::max(FHighestId, FLastId);
                return FLastId;
            }
        }
    }
    if (FOrphans.empty())
        return 0;
    const std::int16_t id = FOrphans.begin()->second;
    DropRowsOf(id);
    FLastId = static_cast<std::uint16_t>(id);
    FHighestId = std::max(FHighestId, FLastId);
    return FLastId;
}

// Whether an announcement of clientId (0: a new client) from address may add a row, after
// giving up rows of purged clients where a bound is reached. The master station's own ID
// counts only in the total: its rows come from this machine.
bool TMstCore::MakeRoom(int clientId, const UnicodeString &address)
{
    const std::int16_t id = id16(clientId);
    if (clientId != MASTER_CLIENT_ID) {
        if (FSessions.countByClient(id) >= FBounds.perClient)
            return false;
        const auto h = FHolders.find(id);
        const UnicodeString charged = h != FHolders.end() ? h->second.address : address;
        while (RowsOfAddress(charged) >= FBounds.perAddress) {
            if (!DropPurged(&charged, clientId))
                return false;
        }
    }
    while (FSessions.size() >= FBounds.total) {
        if (!DropPurged(nullptr, clientId))
            return false;
    }
    return true;
}

// Gives up the rows of the client purged first (of address, when given), except keep's.
bool TMstCore::DropPurged(const UnicodeString *address, int keep)
{
    const std::map<std::uint64_t, std::int16_t> *from = &FOrphans;
    if (address) {
        const auto a = FAddresses.find(*address);
        if (a == FAddresses.end())
            return false;
        from = &a->second.orphans;
    }
    for (const auto &[purge, id] : *from) {
        if (id != id16(keep)) {
            DropRowsOf(id);
            return true;
        }
    }
    return false;
}

void TMstCore::DropRowsOf(std::int16_t id)
{
    int removed = FSessions.removeInstances(id, 0);
    for (unsigned short code : KnownAppCodes)
        removed += FSessions.removeInstances(id, code);
    FPendingHosts.erase(id);
    Uncharge(id, removed);
}

int TMstCore::RowsOfAddress(const UnicodeString &address) const
{
    const auto a = FAddresses.find(address);
    return a == FAddresses.end() ? 0 : a->second.rows;
}

void TMstCore::Charge(std::int16_t id, const UnicodeString &address)
{
    if (id == MASTER_CLIENT_ID)
        return;
    const Holder &h = FHolders.try_emplace(id, Holder{address, 0}).first->second;
    ++FAddresses[h.address].rows;
}

// removed rows of id are gone; once none is left the ID holds nothing any more.
void TMstCore::Uncharge(std::int16_t id, int removed)
{
    const auto h = FHolders.find(id);
    if (h == FHolders.end())
        return;
    const auto a = FAddresses.find(h->second.address);
    if (a != FAddresses.end())
        a->second.rows -= removed;
    if (FSessions.countByClient(id) == 0) {
        if (h->second.purge != 0) {
            FOrphans.erase(h->second.purge);
            if (a != FAddresses.end())
                a->second.orphans.erase(h->second.purge);
        }
        FHolders.erase(h);
    }
    if (a != FAddresses.end() && a->second.rows <= 0)
        FAddresses.erase(a);
}

void TMstCore::MarkPurged(std::int16_t id)
{
    const auto h = FHolders.find(id);
    if (h == FHolders.end() || h->second.purge != 0)
        return;
    h->second.purge = ++FPurges;
    FOrphans.emplace(h->second.purge, id);
    FAddresses[h->second.address].orphans.emplace(h->second.purge, id);
}

void TMstCore::Revive(std::int16_t id)
{
    const auto h = FHolders.find(id);
    if (h == FHolders.end() || h->second.purge == 0)
        return;
    FOrphans.erase(h->second.purge);
    const auto a = FAddresses.find(h->second.address);
    if (a != FAddresses.end())
        a->second.orphans.erase(h->second.purge);
    h->second.purge = 0;
}

bool TMstCore::IdInUse(int id) const
{
    return FClients.contains(id16(id)) || FSessions.countByClient(id16(id)) != 0;
}

// clientId as sent; newId the ID just handed out when 0 was sent.
void TMstCore::HandleAnnounce(int clientId, int newId, int appCode, const TPeerInfo &peer, TCoreActions &act)
{
    const int id = clientId != 0 ? clientId : newId;
    const int interval = newId != 0 ? FSettings.auditPeriod : 0;
    FReply = MsgCompose(MSG_ANNOUNCE_REPLY, 1, newId, interval);
    if (newId != 0)
        FLog.AddAssignedId(newId);
    const TDateTime now = FClocks.wall();
    const UnicodeString &host = peer.hostPending || peer.host.empty() ? peer.address : peer.host;
    if (FClients.addIfAbsent(id16(id), host, peer.address, MonoNow())) {
        Revive(id16(id)); // a purged client back: its rows are its own again
        if (peer.hostPending)
            FPendingHosts[id16(id)] = peer.address;
    }
    FSessions.append(TSessionRow{id16(id), static_cast<std::uint16_t>(appCode), now});
    Charge(id16(id), peer.address);
    if (FSink) {
        UnicodeString rowHost, rowAddress;
        FClients.hostAndAddress(id16(id), rowHost, rowAddress);
        FSink->RowAdded(id16(id), static_cast<std::uint16_t>(appCode), rowHost, rowAddress);
    }
    SetTimer(act, true);
}

void TMstCore::FillHost(const UnicodeString &address, const UnicodeString &name)
{
    for (auto it = FPendingHosts.begin(); it != FPendingHosts.end();) {
        if (it->second != address) {
            ++it;
            continue;
        }
        UnicodeString host, addr;
        FClients.hostAndAddress(it->first, host, addr);
        // A client that left and came back from elsewhere keeps what it has now.
        if (!name.empty() && addr == address && host == address) {
            FClients.setHost(it->first, name);
            if (FSink)
                FSink->HostFound(it->first, name);
        }
        it = FPendingHosts.erase(it);
    }
}

TDateTime TMstCore::MonoNow() const
{
    // The client table counts ages in days, like date-times; the clients' last contact is
    // never shown, so it is kept on the monotonic clock.
    return FClocks.monotonic() / 86400.0;
}

void TMstCore::HandleKeepAlive(int clientId)
{
    FLog.AddKeepAlive(clientId);
    FClients.touch(id16(clientId), MonoNow());
    FReply = MsgCompose(MSG_ACK, 1, 0, 0);
}

void TMstCore::HandleWithdraw(int clientId, int appCode, TCoreActions &act, TSessionSink::EndReason reason)
{
    const auto id = id16(clientId);
    FLog.AddShutDown(appCode, clientId);
    const int removed = FSessions.removeInstances(id, static_cast<std::uint16_t>(appCode));
    Uncharge(id, removed);
    if (removed != 0 && FSink)
        FSink->RowsRemoved(id, static_cast<std::uint16_t>(appCode), reason);
    if (FSessions.countByClient(id) == 0)
        FClients.remove(id);
    if (FClients.size() == 0)
        SetTimer(act, false);
    FReply = MsgCompose(MSG_ACK, 1, 0, 0);
}

TMstCore::Slot *TMstCore::SlotOf(int code)
{
    for (Slot &s : FSlots) {
        if (s.code == code)
            return &s;
    }
    return nullptr;
}

const TMstCore::Slot *TMstCore::SlotOf(int code) const
{
    return const_cast<TMstCore *>(this)->SlotOf(code);
}

TCoreActions TMstCore::LocalAnnounce(int code, int pid)
{
    TCoreActions act;
    FAnnouncedCode = code;
    FAnnouncedProcess = pid;
    // Past the total bound, with no rows of purged clients left to give up, the instance is
    // neither recorded nor watched.
    if (!MakeRoom(MASTER_CLIENT_ID, UnicodeString()))
        return act;
    FSessions.append(TSessionRow{MASTER_CLIENT_ID, static_cast<std::uint16_t>(code), FClocks.wall()});
    if (FSink)
        FSink->RowAdded(MASTER_CLIENT_ID, static_cast<std::uint16_t>(code), UnicodeString(), UnicodeString());
    act.refreshList = true;
    // A code without a slot is still watched; its watcher is simply not referenced.
    const std::uint64_t watch = FStartWatcher ? FStartWatcher(static_cast<unsigned short>(code), pid) : 0;
    if (Slot *slot = SlotOf(code)) {
        slot->held = true;
        slot->pid = pid;
        slot->watch = watch;
    }
    return act;
}

TCoreActions TMstCore::LocalEnded(int code)
{
    TCoreActions act;
    if (Slot *slot = SlotOf(code)) {
        slot->held = false;
        slot->pid = 0;
        slot->watch = 0;
    }
    HandleWithdraw(MASTER_CLIENT_ID, code, act, TSessionSink::EndReason::LocalEnded);
    act.refreshList = true;
    act.refreshLog = true;
    return act;
}

long long TMstCore::AuditTimeout() const
{
    // (audit + grace) * 1.15 in whole numbers: 360 * 1.15 in doubles truncates to 413.
    return (static_cast<long long>(FSettings.auditPeriod) + FSettings.gracePeriod) * 115 / 100;
}

TCoreActions TMstCore::Audit()
{
    TCoreActions act;
    SetTimer(act, false);
    if (FClients.size() == 0)
        return act;
    const TDateTime now = MonoNow();
    std::vector<TClientRow> before;
    if (FSink)
        before = FClients.rows();
    std::vector<std::int16_t> purged;
    const int removed = FClients.purgeStale(AuditTimeout(), now, &purged);
    for (std::int16_t id : purged)
        MarkPurged(id);
    if (FSink) {
        for (const TClientRow &row : before)
            if (std::find(purged.begin(), purged.end(), row.clientId) != purged.end())
                FSink->ClientRemoved(row.clientId, (now - row.lastContact) * 86400.0);
    }
    FLog.AddLine(removed == 0 ? IDS_LOG_AUDIT_OK : IDS_LOG_AUDIT_DEAD);
    act.refreshLog = true;
    act.refreshList = removed != 0;
    if (FClients.size() != 0)
        SetTimer(act, true);
    return act;
}

TCoreActions TMstCore::SocketError(int errorKind)
{
    TCoreActions act;
    FLog.AddSocketError(errorKind);
    act.refreshLog = true;
    return act;
}

UnicodeString TMstCore::TipText(int index) const
{
    if (index < 0 || index >= RowCount())
        return UnicodeString();
    const TSessionRow &row = RowAt(index);
    if (row.clientId == MASTER_CLIENT_ID)
        return LoadFmt(IDS_TIP_MASTER_STATION, {MASTER_CLIENT_ID});
    UnicodeString host, address;
    FClients.hostAndAddress(row.clientId, host, address);
    return LoadFmt(IDS_TIP_CLIENT,
                   {static_cast<int>(static_cast<std::uint16_t>(row.clientId)), host, address});
}

int TMstCore::WatchedProcess(int code) const
{
    const Slot *slot = SlotOf(code);
    return slot && slot->held ? slot->pid : 0;
}

bool TMstCore::WatcherSlotHeld(int code) const
{
    const Slot *slot = SlotOf(code);
    return slot && slot->held;
}

std::vector<unsigned short> TMstCore::HeldWatcherCodes() const
{
    std::vector<unsigned short> codes;
    for (const Slot &s : FSlots) {
        if (s.held)
            codes.push_back(s.code);
    }
    return codes;
}

std::vector<std::uint64_t> TMstCore::HeldWatchIds() const
{
    std::vector<std::uint64_t> ids;
    for (const Slot &s : FSlots) {
        if (s.held && s.watch != 0)
            ids.push_back(s.watch);
    }
    return ids;
}
