#include "command_answerer.h"

#include <utility>

namespace vxs_sim {

CommandAnswerer::CommandAnswerer(const Timing& timing, AnswerOrder order,
                                 ControllerModel& controllers, FaultInjector& faults,
                                 UnsolicitedSender& unsolicited, LineIo& line,
                                 TranscriptLog& transcript)
    : timing_(timing),
      order_(order),
      controllers_(controllers),
      faults_(faults),
      unsolicited_(unsolicited),
      line_(line),
      transcript_(transcript) {}

void CommandAnswerer::Answer(const ParsedFrame& frame) {
    const int c = frame.controller;
    if (c < 0 || c >= kControllerCount) {
        transcript_.Note(c < 0 ? -1 : c, "ignored", "no such controller");
        return;
    }
    if (!controllers_.Present(c)) {
        transcript_.Note(c, "ignored", "not on the line");
        return;
    }
    if (faults_.Apply(c, Fault::kSilent)) {
        transcript_.Note(c, "ignored", "fault silent");
        return;
    }
    const bool acknowledge = !faults_.Apply(c, Fault::kNoAck);
    if (!acknowledge) transcript_.Note(c, "fault", "noack: the command is not acknowledged");
    const ControllerReply reply = controllers_.Take(c, frame.command);
    // Steps in the order they go out: only a key answer may go before the acknowledgement.
    std::vector<Step> steps;
    const bool keyAnswer = reply.kind == ControllerReply::Kind::kKeyAnswer;
    const bool dataFirst = keyAnswer && order_ == AnswerOrder::kDataFirst;
    if (dataFirst) steps.push_back({"answer", reply.text});
    if (acknowledge) steps.push_back({"ack", ""});
    if (keyAnswer && !dataFirst) steps.push_back({"answer", reply.text});
    if (reply.kind == ControllerReply::Kind::kStatusReport) steps.push_back({"status", reply.text});
    const bool upload = reply.kind == ControllerReply::Kind::kUpload;
    std::chrono::milliseconds delay = timing_.ackDelay;
    if (const std::optional<FaultSetting> late = faults_.Apply(c, Fault::kLateAnswer)) {
        delay += late->delay;
    }
    if (steps.empty()) {
        if (upload) {
            Schedule(delay + timing_.uploadPause, [this, c] { unsolicited_.QueueUpload(c); });
        }
        return;
    }
    unsolicited_.AnswerStarted();
    Schedule(delay, [this, c, steps = std::move(steps), upload] { Send(c, steps, 0, upload); });
}

void CommandAnswerer::Send(int c, const std::vector<Step>& steps, std::size_t index, bool upload) {
    std::vector<OutgoingPiece> pieces;
    bool keyAnswerSent = false;
    std::size_t next = index;
    do {
        const Step& step = steps[next++];
        if (step.kind == "ack") {
            pieces.push_back({c, "ack", AckFrame(), ""});
        } else {
            pieces.push_back(faults_.Frame(c, step.kind, step.text));
            keyAnswerSent = keyAnswerSent || step.kind == "answer";
        }
    } while (next < steps.size() &&
             (timing_.answerGap.count() == 0 || faults_.Apply(c, Fault::kBackToBack)));
    if (pieces.size() > 1) AddDetail(pieces.back().detail, "back to back");
    line_.Write(pieces);
    if (keyAnswerSent) unsolicited_.KeyAnswerSent();
    if (next < steps.size()) {
        Schedule(timing_.answerGap,
                 [this, c, steps, next, upload] { Send(c, steps, next, upload); });
        return;
    }
    if (upload) Schedule(timing_.uploadPause, [this, c] { unsolicited_.QueueUpload(c); });
    unsolicited_.AnswerFinished();
}

void CommandAnswerer::Schedule(std::chrono::milliseconds after, std::function<void()> action) {
    timers_.emplace(Clock::now() + after, std::move(action));
    line_.Wake();
}

void CommandAnswerer::RunDue(Clock::time_point now) {
    while (!timers_.empty() && timers_.begin()->first <= now) {
        std::function<void()> action = std::move(timers_.begin()->second);
        timers_.erase(timers_.begin());
        action();
    }
}

CommandAnswerer::Clock::time_point CommandAnswerer::NextDeadline() const {
    return timers_.empty() ? Clock::time_point::max() : timers_.begin()->first;
}

}  // namespace vxs_sim
