#include "unsolicited_sender.h"

#include <algorithm>
#include <vector>

namespace vxs_sim {

UnsolicitedSender::UnsolicitedSender(const Timing& timing, const ControllerModel& controllers,
                                     FaultInjector& faults, LineIo& line, TranscriptLog& transcript)
    : timing_(timing),
      controllers_(controllers),
      faults_(faults),
      line_(line),
      transcript_(transcript) {}

std::string UnsolicitedSender::Describe(const Unsolicited& frame) {
    return frame.text.empty() ? frame.kind : frame.kind + " " + frame.text;
}

bool UnsolicitedSender::Reachable(int c) const {
    return controllers_.Present(c) && !faults_.Active(c, Fault::kSilent);
}

void UnsolicitedSender::Queue(int c, const std::string& kind, const std::string& text) {
    queue_.push_back(Unsolicited{c, kind, text, 0, 0, {}});
    Pump();
}

void UnsolicitedSender::QueueUpload(int c) {
    if (!controllers_.Present(c)) return;
    for (const std::string& line : controllers_.SetupLines(c)) {
        queue_.push_back(Unsolicited{c, "upload", line, 0, 0, {}});
    }
    queue_.push_back(Unsolicited{c, "upload-end", "", 0, 0, {}});
    Pump();
}

std::deque<UnsolicitedSender::Unsolicited>::iterator UnsolicitedSender::NextReachable() {
    return std::find_if(queue_.begin(), queue_.end(),
                        [&](const Unsolicited& frame) { return Reachable(frame.controller); });
}

void UnsolicitedSender::Pump() {
    if (!outstanding_.empty() || answering_ > 0 || keyAnswerAckUntil_ || line_.Failed()) return;
    auto first = NextReachable();
    if (first == queue_.end()) return;
    std::vector<Unsolicited> batch{*first};
    queue_.erase(first);
    const int c = batch.front().controller;
    // Back to back: the next frame goes in the same write, without waiting for an acknowledgement.
    if (faults_.Active(c, Fault::kBackToBack)) {
        auto second = NextReachable();
        if (second != queue_.end()) {
            faults_.Apply(c, Fault::kBackToBack);
            batch.push_back(*second);
            queue_.erase(second);
        }
    }
    std::vector<OutgoingPiece> pieces;
    for (Unsolicited& frame : batch) {
        pieces.push_back(faults_.Frame(frame.controller, frame.kind, frame.text));
        frame.resendsLeft = timing_.resends;
        frame.sends = 1;
        frame.deadline = Clock::now() + timing_.resendAfter;
        outstanding_.push_back(frame);
    }
    if (pieces.size() > 1) AddDetail(pieces.back().detail, "back to back");
    line_.Write(pieces);
    // The thread waits for the new resend deadline.
    line_.Wake();
}

void UnsolicitedSender::TakeAck() {
    if (keyAnswerAckUntil_) {
        keyAnswerAckUntil_.reset();
        transcript_.Note(-1, "acknowledged", "the key answer");
    } else if (!outstanding_.empty()) {
        const Unsolicited frame = outstanding_.front();
        outstanding_.pop_front();
        transcript_.Note(frame.controller, "acknowledged", Describe(frame));
    } else {
        transcript_.Note(-1, "stray-ack", "nothing awaited an acknowledgement");
    }
    Pump();
}

void UnsolicitedSender::AnswerFinished() {
    --answering_;
    Pump();
}

void UnsolicitedSender::KeyAnswerSent() {
    keyAnswerAckUntil_ = Clock::now() + timing_.dataAckWait;
}

void UnsolicitedSender::RunDue(Clock::time_point now) {
    if (keyAnswerAckUntil_ && *keyAnswerAckUntil_ <= now) {
        keyAnswerAckUntil_.reset();
        transcript_.Note(-1, "given-up", "the key answer was not acknowledged");
    }
    ResendDue(now);
    Pump();
}

void UnsolicitedSender::ResendDue(Clock::time_point now) {
    for (auto it = outstanding_.begin(); it != outstanding_.end();) {
        if (it->deadline > now) {
            ++it;
            continue;
        }
        if (!Reachable(it->controller)) {
            transcript_.Note(it->controller, "given-up", Describe(*it) + ": controller silent");
            it = outstanding_.erase(it);
        } else if (it->resendsLeft > 0) {
            --it->resendsLeft;
            ++it->sends;
            it->deadline = now + timing_.resendAfter;
            OutgoingPiece piece = faults_.Frame(it->controller, it->kind, it->text);
            AddDetail(piece.detail, "resend " + std::to_string(it->sends - 1));
            line_.Write({piece});
            ++it;
        } else {
            transcript_.Note(
                it->controller, "given-up",
                Describe(*it) + ": not acknowledged after " + std::to_string(it->sends) + " sends");
            it = outstanding_.erase(it);
        }
    }
}

UnsolicitedSender::Clock::time_point UnsolicitedSender::NextDeadline() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Unsolicited& frame : outstanding_) next = std::min(next, frame.deadline);
    if (keyAnswerAckUntil_) next = std::min(next, *keyAnswerAckUntil_);
    return next;
}

bool UnsolicitedSender::Idle() const {
    return queue_.empty() && outstanding_.empty() && answering_ == 0 && !keyAnswerAckUntil_;
}

}  // namespace vxs_sim
