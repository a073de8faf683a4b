// The transcript the simulator keeps: entries with indices that never change, the newest kept up
// to a limit, waits for an entry that matches, and the listener that is handed every new entry.
//
// It has a lock of its own, so that a caller waiting for an entry never holds up the line, and
// every part may record while it holds the simulator's lock (the transcript's lock is always
// taken last).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vxs_sim/transcript.h"

namespace vxs_sim {

class TranscriptLog {
public:
    using Listener = std::function<void(const TranscriptEntry&)>;

    // 'limit': how many of the newest entries are kept; 0 keeps them all.
    explicit TranscriptLog(std::size_t limit);

    void Record(TranscriptEntry::Direction direction, int controller, std::string kind,
                std::string bytes, std::string detail);
    // Something the simulator decided without a byte on the line.
    void Note(int controller, std::string kind, std::string detail);

    // The kept entries from index 'from' on.
    std::vector<TranscriptEntry> From(std::size_t from) const;
    // The index the next entry will have.
    std::size_t EndIndex() const;
    std::optional<std::size_t> WaitFor(const std::function<bool(const TranscriptEntry&)>& match,
                                       std::chrono::milliseconds timeout, std::size_t from) const;

    // The listener is handed the kept entries it has not seen yet by Deliver.
    void SetListener(Listener listener);
    // Hands the new entries to the listener, outside the lock, so that the listener may take as
    // long as it likes. Called by one thread only, which keeps the entries in order.
    void Deliver();

private:
    std::size_t EndLocked() const { return firstIndex_ + entries_.size(); }

    const std::chrono::steady_clock::time_point start_;
    const std::size_t limit_;

    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::deque<TranscriptEntry> entries_;  // the newest; the one in front has the index firstIndex_
    std::size_t firstIndex_ = 0;
    Listener listener_;
    std::size_t delivered_ = 0;  // the index of the first entry the listener has not seen
};

}  // namespace vxs_sim
