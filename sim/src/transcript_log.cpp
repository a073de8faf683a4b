#include "transcript_log.h"

#include <algorithm>
#include <utility>

#include "vxs_sim/simulator.h"

namespace vxs_sim {

TranscriptLog::TranscriptLog(std::size_t limit)
    : start_(std::chrono::steady_clock::now()), limit_(limit) {}

void TranscriptLog::Record(TranscriptEntry::Direction direction, int controller, std::string kind,
                           std::string bytes, std::string detail) {
    TranscriptEntry entry;
    entry.at = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start_);
    entry.direction = direction;
    entry.controller = controller;
    entry.kind = std::move(kind);
    entry.bytes = std::move(bytes);
    entry.detail = std::move(detail);
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    if (limit_ != 0 && entries_.size() > limit_) {
        entries_.pop_front();
        ++firstIndex_;
    }
    added_.notify_all();
}

void TranscriptLog::Note(int controller, std::string kind, std::string detail) {
    Record(TranscriptEntry::Direction::kNote, controller, std::move(kind), {}, std::move(detail));
}

std::vector<TranscriptEntry> TranscriptLog::From(std::size_t from) const {
    std::lock_guard lock(mutex_);
    const std::size_t first = std::max(from, firstIndex_);
    if (first >= EndLocked()) return {};
    return {entries_.begin() + static_cast<std::ptrdiff_t>(first - firstIndex_), entries_.end()};
}

std::size_t TranscriptLog::EndIndex() const {
    std::lock_guard lock(mutex_);
    return EndLocked();
}

std::optional<std::size_t> TranscriptLog::WaitFor(
    const std::function<bool(const TranscriptEntry&)>& match, std::chrono::milliseconds timeout,
    std::size_t from) const {
    std::unique_lock lock(mutex_);
    std::size_t next = from;
    std::optional<std::size_t> found;
    added_.wait_for(lock, timeout, [&] {
        next = std::max(next, firstIndex_);
        for (; next < EndLocked(); ++next) {
            if (match(entries_[next - firstIndex_])) {
                found = next;
                return true;
            }
        }
        return false;
    });
    return found;
}

void TranscriptLog::SetListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
    delivered_ = firstIndex_;
}

void TranscriptLog::Deliver() {
    Listener listener;
    std::vector<TranscriptEntry> fresh;
    {
        std::lock_guard lock(mutex_);
        delivered_ = std::max(delivered_, firstIndex_);
        if (!listener_ || delivered_ >= EndLocked()) return;
        listener = listener_;
        fresh.assign(entries_.begin() + static_cast<std::ptrdiff_t>(delivered_ - firstIndex_),
                     entries_.end());
        delivered_ = EndLocked();
    }
    for (const TranscriptEntry& entry : fresh) listener(entry);
}

std::function<bool(const TranscriptEntry&)> IsEntry(TranscriptEntry::Direction direction,
                                                    std::string kind, int controller) {
    return [direction, kind = std::move(kind), controller](const TranscriptEntry& entry) {
        return entry.direction == direction && entry.kind == kind &&
               (controller < 0 || entry.controller == controller);
    };
}

}  // namespace vxs_sim
