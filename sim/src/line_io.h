// The simulator's line I/O: its one thread, which waits for bytes from the driver, a wake-up or
// the next deadline; cuts what arrives into frames and records it; writes what the simulator
// sends and records it; and notes when the line fails. What the bytes mean is the handler's job.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "line_port.h"
#include "outgoing_piece.h"
#include "transcript_log.h"
#include "vxs_sim/frame.h"
#include "vxs_sim/frame_assembler.h"

namespace vxs_sim {

class LineIo {
public:
    using Clock = std::chrono::steady_clock;

    // What the thread hands on. All but RoundDone are called with the simulator's lock held.
    class Handler {
    public:
        // The driver's acknowledgement.
        virtual void AckReceived() = 0;
        // A well-formed frame with a matching checksum.
        virtual void CommandReceived(const ParsedFrame& frame) = 0;
        // Whether the line hands what the driver sends back to it.
        virtual bool Echoes() const = 0;
        // Does what is due at 'now'; returns when something is due next (time_point::max():
        // nothing).
        virtual Clock::time_point RunDue(Clock::time_point now) = 0;
        // After each round, without the lock.
        virtual void RoundDone() = 0;

    protected:
        ~Handler() = default;
    };

    // 'lock': the simulator's lock, which the thread takes for everything it does but waiting.
    // Throws std::system_error when no wake-up pipe can be had.
    LineIo(LinePort port, std::chrono::milliseconds idleLimit, std::mutex& lock,
           TranscriptLog& transcript);
    ~LineIo();
    LineIo(const LineIo&) = delete;
    LineIo& operator=(const LineIo&) = delete;

    // Starts the thread; 'handler' must outlive it.
    void Start(Handler& handler);
    // Ends the thread and waits for it; the handler is not called any more.
    void Stop();

    const std::string& Path() const { return port_.Path(); }

    // Makes the thread look again at once: something it waits for may have changed.
    void Wake();

    // The rest with the simulator's lock held.

    // One write for all pieces, so that they go out without a pause between them; then a
    // transcript entry for each.
    void Write(const std::vector<OutgoingPiece>& pieces);
    // A read error or a hang-up; the line is then neither read nor written any more.
    bool Failed() const { return failed_; }
    // A frame started before the change is given up: the new limit may already have passed.
    void SetIdleLimit(std::chrono::milliseconds idleLimit);

private:
    void Run(Handler& handler);
    // Takes every byte the line holds; false when there was none.
    bool ReadAvailable(Handler& handler);
    void Take(Handler& handler, std::vector<FrameAssembler::Piece>& pieces);
    void Fail(const std::string& reason);

    LinePort port_;
    std::mutex& lock_;
    TranscriptLog& transcript_;
    FrameAssembler assembler_;
    bool failed_ = false;
    std::array<char, 512> buffer_{};

    std::array<int, 2> wakePipe_{-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vxs_sim
