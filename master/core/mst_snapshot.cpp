#include "mst_snapshot.h"

#include <common/messages.h>
#include <common/strtable.h>

namespace {

// Line i >= 1 of a log holds sequence number low + i - 1; sequence numbers count from 1 after
// the start line, which is line 0 and stays.
std::uint64_t chunkOf(std::uint64_t seq)
{
    return (seq - 1) / TLogView::ChunkLines;
}

std::size_t offsetOf(std::uint64_t seq)
{
    return static_cast<std::size_t>((seq - 1) % TLogView::ChunkLines);
}

} // namespace

TLogEntry TLogView::at(int index) const
{
    if (index == 0)
        return TLogStore::format(first_);
    const std::uint64_t seq = low_ + static_cast<std::uint64_t>(index) - 1;
    return TLogStore::format((*chunks_[chunkOf(seq) - base_])[offsetOf(seq)]);
}

void TLogMirror::update(const TLogStore &log)
{
    count_ = log.count();
    if (count_ == 0)
        return;
    first_ = log.line(0);
    const std::uint64_t added = log.added();
    // The store's lines 1..count-1 are the newest lines after the start line.
    low_ = added - static_cast<std::uint64_t>(count_) + 1;
    if (next_ < low_) {
        // Lines went before they were taken: what is kept restarts at the oldest line left.
        if (chunkOf(next_) != chunkOf(low_)) {
            full_.clear();
            tail_.clear();
            base_ = chunkOf(low_);
        }
        // Placeholders keep the offsets within the chunk; they lie below low_ and are never read.
        tail_.resize(offsetOf(low_));
        next_ = low_;
    }
    for (; next_ < added; ++next_) {
        tail_.push_back(log.line(static_cast<int>(next_ - low_ + 1)));
        if (tail_.size() == TLogView::ChunkLines) {
            full_.push_back(std::make_shared<const TLogView::Chunk>(std::move(tail_)));
            tail_ = {};
            tail_.reserve(TLogView::ChunkLines);
        }
    }
    while (!full_.empty() && (base_ + 1) * TLogView::ChunkLines < low_) {
        full_.pop_front();
        ++base_;
    }
}

TLogView TLogMirror::view() const
{
    TLogView v;
    v.first_ = first_;
    v.base_ = base_;
    v.low_ = low_;
    v.count_ = count_;
    v.chunks_.reserve(full_.size() + 1);
    v.chunks_.assign(full_.begin(), full_.end());
    if (!tail_.empty())
        v.chunks_.push_back(std::make_shared<const TLogView::Chunk>(tail_));
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
