// Frames the controllers send on their own (events, setup uploads, queued frames): one at a time,
// each once the driver has acknowledged the one before, sent again when no acknowledgement comes
// and given up after the last resend. They wait while a command is being answered and while a
// key answer awaits its acknowledgement, so that the driver never sees them in the middle of an
// answer. The caller holds the simulator's lock.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "controller_model.h"
#include "fault_injector.h"
#include "line_io.h"
#include "transcript_log.h"
#include "vxs_sim/simulator.h"

namespace vxs_sim {

class UnsolicitedSender {
public:
    using Clock = std::chrono::steady_clock;

    // 'timing' is read at each use, so that a change applies to the frames that follow.
    UnsolicitedSender(const Timing& timing, const ControllerModel& controllers,
                      FaultInjector& faults, LineIo& line, TranscriptLog& transcript);

    // kind: "event", "upload", "upload-end" or "frame"; text: the command text.
    void Queue(int c, const std::string& kind, const std::string& text);
    // The controller's setup upload, line by line, then its end; nothing when it is off the line.
    void QueueUpload(int c);

    // Sends the next frame when the line is free for it.
    void Pump();

    // The driver's acknowledgement: of the key answer when one awaits it, else of the oldest frame
    // awaiting one.
    void TakeAck();

    // A command is being answered from AnswerStarted until AnswerFinished.
    void AnswerStarted() { ++answering_; }
    void AnswerFinished();
    // A key answer went out: nothing follows until the driver acknowledges it or the wait ends.
    void KeyAnswerSent();

    // Resends and gives up what is due; ends a key answer's wait that has run out.
    void RunDue(Clock::time_point now);
    // When RunDue has something to do next; time_point::max() when nothing.
    Clock::time_point NextDeadline() const;
    // Nothing queued, awaiting an acknowledgement or being answered.
    bool Idle() const;

private:
    struct Unsolicited {
        int controller = 0;
        std::string kind;
        std::string text;
        int resendsLeft = 0;
        int sends = 0;
        Clock::time_point deadline{};
    };

    // How the transcript names a frame: its kind and its text.
    static std::string Describe(const Unsolicited& frame);
    // On the line and not silent: a frame for it can go out.
    bool Reachable(int c) const;
    std::deque<Unsolicited>::iterator NextReachable();
    void ResendDue(Clock::time_point now);

    const Timing& timing_;
    const ControllerModel& controllers_;
    FaultInjector& faults_;
    LineIo& line_;
    TranscriptLog& transcript_;

    std::deque<Unsolicited> queue_;
    std::deque<Unsolicited> outstanding_;  // sent, awaiting acknowledgement, oldest first
    int answering_ = 0;
    std::optional<Clock::time_point> keyAnswerAckUntil_;
};

}  // namespace vxs_sim
