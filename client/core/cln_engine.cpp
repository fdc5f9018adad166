#include "cln_engine.h"

#include <common/catalogue.h>
#include <common/codec.h>
#include <common/messages.h>
#include <common/strtable.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <iterator>

TClnEngine::TClnEngine(TClnTransport &transport, TClnClock &clock, TClnEffects &effects)
    : FTransport(transport), FClock(clock), FFx(effects)
{
}

void TClnEngine::StartUp()
{
    FRows.clear();
    std::uint16_t position = 0;
    for (unsigned short code : KnownAppCodes)
        FRows.push_back({code, ++position, 0, 0});
    FPollMs = DefaultPollMs;
}

TClnInstanceRow *TClnEngine::RowOf(int code)
{
    for (TClnInstanceRow &r : FRows)
        if (r.code == code)
            return &r;
    return nullptr;
}

const TClnInstanceRow *TClnEngine::RowOf(int code) const
{
    return const_cast<TClnEngine *>(this)->RowOf(code);
}

int TClnEngine::RunningCount() const
{
    return static_cast<int>(
        std::count_if(FRows.begin(), FRows.end(), [](const TClnInstanceRow &r) { return r.watcher != 0; }));
}

UnicodeString TClnEngine::AppsText() const
{
    UnicodeString text;
    for (const TClnInstanceRow &r : FRows) {
        if (r.watcher == 0)
            continue;
        if (!text.empty())
            text += u", ";
        text += AppDisplayName(r.code);
    }
    return text;
}

UnicodeString TClnEngine::ErrorText(int code, bool keepAlive)
{
    UnicodeString detail;
    if (code > 0)
        detail = LoadFmt(IDS_CLN_DETAIL_OS, {code});
    else if (code == ErrNoAddress)
        detail = LoadStr(IDS_CLN_DETAIL_NO_ADDRESS);
    else
        detail = LoadStr(IDS_CLN_DETAIL_BAD_MESSAGE);
    UnicodeString text = LoadFmt(IDS_CLN_CONVERSATION_ERROR, {detail});
    if (keepAlive)
        text += LoadStr(IDS_CLN_SESSION_ENDS);
    return text;
}

void TClnEngine::Announce(int code, int pid)
{
    Enqueue({TPending::Announcement, code, pid, false});
}

void TClnEngine::InstanceEnded(unsigned short code, int pid)
{
    if (FShutDown)
        return;
    // Only the end of a process that is watched counts: a report that names none (late, or
    // posted by someone else) must not take a running instance off the list.
    auto it = std::find_if(FWatched.begin(), FWatched.end(),
                           [&](const Watched &w) { return w.code == code && w.pid == pid; });
    if (it == FWatched.end())
        return;
    FWatched.erase(it);
    RefreshRow(code);
    Withdraw(code, pid);
    FFx.AppsChanged(AppsText());
}

void TClnEngine::Withdraw(unsigned short code, int pid)
{
    // An announcement of the ended process that has not gone out yet has nothing left to say.
    std::erase_if(FQueue, [&](const TClnRequest &r) {
        return r.kind == TPending::Announcement && static_cast<unsigned short>(r.code) == code &&
               r.pid == pid;
    });
    // A withdrawal of the code that is still waiting clears this process's row as well, and the
    // instances left are announced again once it is done.
    if (std::any_of(FQueue.begin(), FQueue.end(),
                    [&](const TClnRequest &r) { return r.kind == TPending::Withdrawal && r.code == code; }))
        return;
    // Never dropped, whatever waits: a lost withdrawal leaves the row on the master for good.
    // There is at most one waiting per code, so they cannot pile up.
    FQueue.push_back({TPending::Withdrawal, code, 0, false});
    StartNext();
}

void TClnEngine::Reannounce()
{
    // The master removes every row of this client and code on a withdrawal, so the instances
    // of the code that still run are announced again right after it, from the watches as they
    // are now (an announcement answered while the withdrawal waited is among them). Like the
    // withdrawal they are never dropped: there is one per watched process at most.
    if (FCurrent.kind != TPending::Withdrawal)
        return;
    const auto code = static_cast<unsigned short>(FCurrent.code);
    FCurrent.kind = TPending::None;
    auto at = FQueue.begin();
    for (const Watched &w : FWatched)
        if (w.code == code)
            at = std::next(FQueue.insert(at, {TPending::Announcement, code, w.pid, true}));
}

void TClnEngine::RefreshRow(unsigned short code)
{
    TClnInstanceRow *row = RowOf(code);
    if (!row)
        return;
    row->pid = 0;
    row->watcher = 0;
    for (const Watched &w : FWatched)
        if (w.code == code) {
            row->pid = w.pid;
            row->watcher = w.id;
        }
}

void TClnEngine::PollTick()
{
    if (FShutDown || FSessionEnds)
        return;
    const auto isKeepAlive = [](const TClnRequest &r) { return r.kind == TPending::KeepAlive; };
    if ((FInFlight && isKeepAlive(FCurrent)) || std::any_of(FQueue.begin(), FQueue.end(), isKeepAlive))
        return;
    // A connection shortly before the tick is contact enough.
    if (FEverConnected && FClock.SteadyMs() - FLastConnectMs <= FPollMs / 20)
        return;
    Enqueue({TPending::KeepAlive, 0, 0, false});
}

void TClnEngine::TestConnection(const UnicodeString &address, std::uint16_t port)
{
    if (FShutDown)
        return;
    if (FTestPending)
        FTransport.Close(TClnLine::Test);
    FTestPending = true;
    FTestConnecting = true;
    SetBusy();
    FTransport.Open(TClnLine::Test, address, port);
}

void TClnEngine::Shutdown()
{
    if (FShutDown)
        return;
    FShutDown = true;
    for (const Watched &w : FWatched)
        FFx.TerminateWatcher(w.id);
    FWatched.clear();
    for (TClnInstanceRow &r : FRows)
        r.pid = 0, r.watcher = 0;
    if (FInFlight)
        FTransport.Close(TClnLine::Master);
    if (FTestPending)
        FTransport.Close(TClnLine::Test);
    FInFlight = FConnecting = FTestPending = FTestConnecting = false;
    FQueue.clear();
    SetBusy();
}

void TClnEngine::Enqueue(const TClnRequest &r)
{
    if (FShutDown)
        return;
    if (FQueue.size() >= MaxQueued) {
        ReportDropped(r);
        return;
    }
    FQueue.push_back(r);
    StartNext();
}

UnicodeString TClnEngine::DroppedText(const TClnRequest &r, std::size_t waiting)
{
    const int count = static_cast<int>(std::min<std::size_t>(waiting, INT_MAX));
    if (r.kind == TPending::Announcement)
        return FormatStr(
            u"Request to Master dropped, %d requests are waiting: announcement of application %d "
            u"(process %d).",
            {count, r.code, r.pid});
    return FormatStr(u"Request to Master dropped, %d requests are waiting: keep-alive.", {count});
}

void TClnEngine::ReportDropped(const TClnRequest &r)
{
    FFx.ErrorShown(DroppedText(r, FQueue.size()));
}

void TClnEngine::StartNext()
{
    while (!FInFlight && !FQueue.empty() && !FShutDown) {
        FCurrent = FQueue.front();
        FQueue.pop_front();
        FInFlight = true;
        if (FSettings.address.empty()) {
            // Nothing to connect to: the request is dropped and no connection is tried.
            ShowError(ErrNoAddress);
            FInFlight = false;
            Reannounce();
            continue;
        }
        FConnecting = true;
        SetBusy();
        FTransport.Open(TClnLine::Master, FSettings.address, FSettings.port);
    }
}

void TClnEngine::Finish()
{
    FInFlight = false;
    FConnecting = false;
    SetBusy();
}

void TClnEngine::SetBusy()
{
    const bool busy = FConnecting || FTestConnecting;
    if (busy != FBusy) {
        FBusy = busy;
        FFx.BusyChanged(busy);
    }
}

void TClnEngine::SetPoll(bool on)
{
    FPollOn = on;
    FFx.SetPollTimer(on, FPollMs);
}

void TClnEngine::ShowError(int code)
{
    const bool keepAlive = FCurrent.kind == TPending::KeepAlive;
    if (keepAlive && !FSessionEnds) {
        FSessionEnds = true;
        FPollOn = false;
        FFx.SessionEnding();
    }
    FFx.ErrorShown(ErrorText(code, keepAlive));
}

void TClnEngine::OnConnected(TClnLine line)
{
    if (FShutDown)
        return;
    const bool test = line == TClnLine::Test;
    if (test ? !FTestPending : !FInFlight)
        return;
    FLastConnection = FClock.Now();
    FLastConnectMs = FClock.SteadyMs();
    FEverConnected = true;
    if (test) {
        FTestConnecting = false;
        SetBusy();
        FFx.StatusChanged(FLastConnection);
        FTestPending = false;
        FTransport.Close(TClnLine::Test);
        FFx.TestResult(1);
        return;
    }
    FConnecting = false;
    SetBusy();
    FFx.StatusChanged(FLastConnection);

    // Composed now, not when the request was made: a request that waited behind an
    // announcement carries the client ID that the announcement brought.
    std::string text;
    switch (FCurrent.kind) {
    case TPending::Announcement: {
        const TClnInstanceRow *row = RowOf(FCurrent.code);
        text = MsgCompose(MSG_ANNOUNCE, FClientId, FCurrent.code, row ? row->value : 0);
        break;
    }
    case TPending::KeepAlive:
        text = MsgCompose(MSG_KEEPALIVE, FClientId, 0, 0);
        break;
    case TPending::Withdrawal:
        text = MsgCompose(MSG_WITHDRAW, FClientId, FCurrent.code, 0);
        break;
    default:
        break;
    }
    FTransport.Send(TClnLine::Master, text);
}

void TClnEngine::OnReply(TClnLine line, const std::string &text)
{
    if (FShutDown || line != TClnLine::Master || !FInFlight)
        return;
    FConnecting = false;
    FTransport.Close(TClnLine::Master);
    Judge(text);
    Finish();
    Reannounce();
    StartNext();
}

void TClnEngine::OnError(TClnLine line, int osError)
{
    if (FShutDown)
        return;
    const int code = osError > 0 ? osError : EIO;
    if (line == TClnLine::Test) {
        if (!FTestPending)
            return;
        FTestPending = false;
        FTestConnecting = false;
        SetBusy();
        FTransport.Close(TClnLine::Test);
        FFx.TestResult(2);
        return;
    }
    if (!FInFlight)
        return;
    FConnecting = false;
    SetBusy();
    ShowError(code);
    FTransport.Close(TClnLine::Master);
    Finish();
    Reannounce();
    StartNext();
}

void TClnEngine::Judge(const std::string &text)
{
    int f2 = 0, f3 = 0, f4 = 0;
    const int code = MsgParse(text, f2, f3, f4);
    bool good = false;
    switch (FCurrent.kind) {
    case TPending::KeepAlive:
        good = code == MSG_ACK;
        break;
    case TPending::Withdrawal:
        good = code == MSG_ACK;
        if (good) {
            SetPoll(RunningCount() > 0);
            FFx.ArmMinimiseTimer();
        }
        break;
    case TPending::Announcement:
        good = code == MSG_ANNOUNCE_REPLY && f3 >= 0 && f4 >= 0;
        if (good) {
            if (f3 > 0) {
                FClientId = static_cast<std::uint16_t>(f3);
                // A timer cannot count beyond INT_MAX ms; a longer interval is cut there.
                if (f4 > 0)
                    FPollMs = std::min(f4, INT_MAX / 1000) * 1000;
            }
            if (!FCurrent.reannounce)
                RecordInstance(FCurrent.code, FCurrent.pid);
            SetPoll(true);
        }
        break;
    default:
        break;
    }
    if (good)
        FFx.AppsChanged(AppsText());
    else
        ShowError(ErrBadMessage);
}

void TClnEngine::RecordInstance(int code, int pid)
{
    const TClnEffects::WatcherId id = FFx.StartWatcher(static_cast<unsigned short>(code), pid);
    if (id == 0) {
        // The process is gone before it could be watched: its end is reported at once, or
        // the master would list it for good.
        Withdraw(static_cast<unsigned short>(code), pid);
        return;
    }
    FWatched.push_back({static_cast<unsigned short>(code), pid, id});
    if (TClnInstanceRow *row = RowOf(code)) {
        row->pid = pid;
        row->watcher = id;
    }
}
