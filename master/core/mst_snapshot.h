#pragma once
// TMstSnapshot: what the master knows at one moment, immutable once published. The server
// builds one after changes (coalesced) and swaps it in; the windows, the HTTP side and the
// metrics read whole snapshots and never the live tables, so a row is always shown from one
// state and no reader waits on the server.

#include "log_store.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

/// One list row with its client's host and address as they stood (empty when the client is
/// no longer in the client table, and for the master station's own rows).
struct TSnapRow {
    std::int16_t clientId = 0;
    std::uint16_t appCode = 0;
    TDateTime start = 0;
    QString host;
    QString address;
};

/// One network client still considered alive.
struct TSnapClient {
    std::int16_t clientId = 0;
    QString host;
    QString address;
    TDateTime lastContact = 0; ///< wall-clock time
    int applications = 0;      ///< list rows of this client
};

/// Counters since the server was made; they only grow, except the gauges.
struct TSnapCounters {
    std::uint64_t announce = 0;
    std::uint64_t keepalive = 0;
    std::uint64_t withdraw = 0;
    std::uint64_t bad = 0;
    std::uint64_t auditRemoved = 0; ///< clients the audit found silent and removed
    int connectionsOpen = 0;        ///< gauge
    qint64 startTimeMs = 0;         ///< when the server started, ms since the Unix epoch; 0 before
    quint16 listeningPort = 0;      ///< 0 when not listening
};

/// The event log as it stood: shares its lines with the snapshots before and after it, so that
/// publishing costs the lines added since, not the whole hour.
class TLogView {
public:
    static constexpr std::size_t ChunkLines = 4096;
    using Chunk = std::vector<TLogStore::Line>;

    int Count() const { return FCount; }
    /// Time and text of line index (0 <= index < Count()), formatted now.
    TLogEntry At(int index) const;

private:
    friend class TLogMirror;
    TLogStore::Line FFirst{};
    std::vector<std::shared_ptr<const Chunk>> FChunks; // chunk numbers FBase, FBase + 1, ...
    std::uint64_t FBase = 0;
    std::uint64_t FLow = 1; // sequence number of line 1
    int FCount = 0;
};

/// Keeps the copy of a log that views are cut from; lives in the log's thread.
class TLogMirror {
public:
    /// Takes the lines added to log since the last call and drops those it pruned.
    void Update(const TLogStore &log);
    TLogView View() const;

private:
    std::deque<std::shared_ptr<const TLogView::Chunk>> FFull;
    std::uint64_t FBase = 0; // chunk number of FFull.front()
    TLogView::Chunk FTail;   // the lines of chunk FBase + FFull.size() taken so far
    std::uint64_t FNext = 1; // sequence number of the next line to take
    std::uint64_t FLow = 1;
    TLogStore::Line FFirst{};
    int FCount = 0;
};

struct TMstSnapshot {
    std::uint64_t serial = 0; ///< grows with every publication
    std::vector<TSnapRow> rows;
    std::vector<TSnapClient> clients;
    TLogView log;
    TSnapCounters counters;
    bool lampOn = false;

    /// The tooltip line of list row index; empty outside the list.
    QString tipText(int index) const;
};

using TMstSnapshotPtr = std::shared_ptr<const TMstSnapshot>;
