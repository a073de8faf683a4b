// How a controller answers the driver's commands in time: its acknowledgement after the ack
// delay, then the key answer or status report after the answer gap (in the order the simulator is
// set to), or its setup upload after the upload pause; bent by the faults that decide whether and
// when it answers (silent, late, no acknowledgement, back to back). The caller holds the
// simulator's lock.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "controller_model.h"
#include "fault_injector.h"
#include "line_io.h"
#include "transcript_log.h"
#include "unsolicited_sender.h"
#include "vxs_sim/frame.h"
#include "vxs_sim/simulator.h"

namespace vxs_sim {

class CommandAnswerer {
public:
    using Clock = std::chrono::steady_clock;

    // 'timing' is read at each use, so that a change applies to the answers that follow.
    CommandAnswerer(const Timing& timing, AnswerOrder order, ControllerModel& controllers,
                    FaultInjector& faults, UnsolicitedSender& unsolicited, LineIo& line,
                    TranscriptLog& transcript);

    void SetAnswerOrder(AnswerOrder order) { order_ = order; }

    // A well-formed frame from the driver.
    void Answer(const ParsedFrame& frame);

    // Sends what is due.
    void RunDue(Clock::time_point now);
    // When RunDue has something to do next; time_point::max() when nothing.
    Clock::time_point NextDeadline() const;
    // Nothing scheduled.
    bool Idle() const { return timers_.empty(); }

private:
    // One frame of an answer.
    struct Step {
        std::string kind;  // "ack", "answer" (the key answer), "status"
        std::string text;  // command text; unused for the acknowledgement
    };

    // Sends steps[index], and the next ones in the same write when no gap parts them.
    void Send(int c, const std::vector<Step>& steps, std::size_t index, bool upload);
    void Schedule(std::chrono::milliseconds after, std::function<void()> action);

    const Timing& timing_;
    AnswerOrder order_;
    ControllerModel& controllers_;
    FaultInjector& faults_;
    UnsolicitedSender& unsolicited_;
    LineIo& line_;
    TranscriptLog& transcript_;

    std::multimap<Clock::time_point, std::function<void()>> timers_;
};

}  // namespace vxs_sim
