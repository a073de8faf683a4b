#include "vxs_sim/frame_assembler.h"

#include "vxs_sim/frame.h"

namespace vxs_sim {

void FrameAssembler::FlushNoise(std::vector<Piece>& out) {
    if (!noise_.empty()) {
        out.push_back({Piece::Kind::kNoise, std::move(noise_)});
        noise_.clear();
    }
}

void FrameAssembler::Feed(std::string_view bytes, Clock::time_point now, std::vector<Piece>& out) {
    if (bytes.empty()) return;
    lastByte_ = now;
    for (const char c : bytes) {
        if (c == kLf) {
            FlushNoise(out);
            if (!frame_.empty()) {
                out.push_back({Piece::Kind::kIncomplete, std::move(frame_)});
            }
            frame_.assign(1, c);
        } else if (frame_.empty()) {
            noise_ += c;
        } else {
            frame_ += c;
            if (c == kCr) {
                out.push_back({Piece::Kind::kFrame, std::move(frame_)});
                frame_.clear();
            } else if (frame_.size() >= kMaxFrameLength) {
                // No CR where the longest frame must have one: not a frame.
                out.push_back({Piece::Kind::kIncomplete, std::move(frame_)});
                frame_.clear();
            }
        }
    }
}

void FrameAssembler::Expire(Clock::time_point now, std::vector<Piece>& out) {
    if (now < NextDeadline()) return;
    FlushNoise(out);
    if (!frame_.empty()) {
        out.push_back({Piece::Kind::kIncomplete, std::move(frame_)});
        frame_.clear();
    }
}

FrameAssembler::Clock::time_point FrameAssembler::NextDeadline() const {
    if (frame_.empty() && noise_.empty()) return Clock::time_point::max();
    return lastByte_ + idleLimit_;
}

}  // namespace vxs_sim
