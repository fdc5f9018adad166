#include "mst_snapshot.h"

#include <common/messages.h>
#include <common/strtable.h>

namespace {

// Line i >= 1 of a log holds sequence number low + i - 1; sequence numbers count from 1 after
// the start line, which is line 0 and stays.
std::uint64_t ChunkOf(std::uint64_t seq)
{
    return (seq - 1) / TLogView::ChunkLines;
}

std::size_t OffsetOf(std::uint64_t seq)
{
    return static_cast<std::size_t>((seq - 1) % TLogView::ChunkLines);
}

} // namespace

TLogEntry TLogView::At(int index) const
{
    if (index == 0)
        return TLogStore::Format(FFirst);
    const std::uint64_t seq = FLow + static_cast<std::uint64_t>(index) - 1;
    return TLogStore::Format((*FChunks[ChunkOf(seq) - FBase])[OffsetOf(seq)]);
}

void TLogMirror::Update(const TLogStore &log)
{
    FCount = log.Count();
    if (FCount == 0)
        return;
    FFirst = log.LineAt(0);
    const std::uint64_t added = log.Added();
    // The store's lines 1..count-1 are the newest lines after the start line.
    FLow = added - static_cast<std::uint64_t>(FCount) + 1;
    if (FNext < FLow) {
        // Lines went before they were taken: what is kept restarts at the oldest line left.
        if (ChunkOf(FNext) != ChunkOf(FLow)) {
            FFull.clear();
            FTail.clear();
            FBase = ChunkOf(FLow);
        }
        // Placeholders keep the offsets within the chunk; they lie below FLow and are never read.
        FTail.resize(OffsetOf(FLow));
        FNext = FLow;
    }
    for (; FNext < added; ++FNext) {
        FTail.push_back(log.LineAt(static_cast<int>(FNext - FLow + 1)));
        if (FTail.size() == TLogView::ChunkLines) {
            FFull.push_back(std::make_shared<const TLogView::Chunk>(std::move(FTail)));
            FTail = {};
            FTail.reserve(TLogView::ChunkLines);
        }
    }
    while (!FFull.empty() && (FBase + 1) * TLogView::ChunkLines < FLow) {
        FFull.pop_front();
        ++FBase;
    }
}

TLogView TLogMirror::View() const
{
    TLogView v;
    v.FFirst = FFirst;
    v.FBase = FBase;
    v.FLow = FLow;
    v.FCount = FCount;
    v.FChunks.reserve(FFull.size() + 1);
    v.FChunks.assign(FFull.begin(), FFull.end());
    if (!FTail.empty())
        v.FChunks.push_back(std::make_shared<const TLogView::Chunk>(FTail));
    return v;
}

QString TMstSnapshot::tipText(int index) const
{
    if (index < 0 || index >= static_cast<int>(rows.size()))
        return {};
    const TSnapRow &row = rows[static_cast<std::size_t>(index)];
    if (row.clientId == MASTER_CLIENT_ID)
        return QString::fromStdU16String(LoadFmt(IDS_TIP_MASTER_STATION, {MASTER_CLIENT_ID}));
    return QString::fromStdU16String(
        LoadFmt(IDS_TIP_CLIENT, {static_cast<int>(static_cast<std::uint16_t>(row.clientId)),
                                 row.host.toStdU16String(), row.address.toStdU16String()}));
}
