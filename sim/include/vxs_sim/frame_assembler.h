// Cuts the byte stream that arrives from the driver into frames. A frame begins at LF and ends
// at its CR; bytes outside a frame are line noise; a frame that stops without its CR (a new LF
// begins, it grows too long, or the line falls silent) is reported as incomplete.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vxs_sim {

class FrameAssembler {
public:
    using Clock = std::chrono::steady_clock;

    struct Piece {
        enum class Kind { kFrame, kNoise, kIncomplete };
        Kind kind;
        std::string bytes;
    };

    // 'idleLimit': how long a started frame or noise may wait for its next byte before it is
    // given up (reported as incomplete, or as noise).
    explicit FrameAssembler(std::chrono::milliseconds idleLimit) : idleLimit_(idleLimit) {}

    // Takes bytes that arrived at 'now' and appends every piece they complete to 'out'.
    void Feed(std::string_view bytes, Clock::time_point now, std::vector<Piece>& out);

    // Gives up a partial frame or noise once the line has been idle for the limit.
    void Expire(Clock::time_point now, std::vector<Piece>& out);

    // When Expire has something to do, if nothing arrives before; Clock::time_point::max() when
    // nothing is pending.
    Clock::time_point NextDeadline() const;

private:
    void FlushNoise(std::vector<Piece>& out);

    std::chrono::milliseconds idleLimit_;
    std::string frame_;  // the frame being received, from its LF; empty outside a frame
    std::string noise_;  // bytes outside a frame not yet reported
    Clock::time_point lastByte_{};
};

}  // namespace vxs_sim
