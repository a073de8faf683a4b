// The VXS-100 line simulator: up to eight controllers on one serial line, over a pseudo-terminal
// it creates or over a serial device. It answers the driver's commands as the controllers do,
// sends events, status reports and setup uploads, injects faults on demand and keeps a
// time-stamped transcript of both directions.
//
// Every public member may be called from any thread. The simulator runs one thread of its own,
// which reads the line, sends what is due and calls the listener.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vxs_sim/transcript.h"

namespace vxs_sim {

inline constexpr int kControllerCount = 8;

struct Timing {
    // From the CR of a command to the controller's acknowledgement.
    std::chrono::milliseconds ackDelay{20};
    // Between the acknowledgement and the data answer or status report that follows it (either
    // order); 0 sends both in one write.
    std::chrono::milliseconds answerGap{20};
    // From the acknowledgement of "S U" to the first upload line.
    std::chrono::milliseconds uploadPause{200};
    // An unsolicited frame (event, upload line, queued frame) not acknowledged within this time
    // is sent again...
    std::chrono::milliseconds resendAfter{1000};
    // ...at most this many times; then it is given up and the next one follows.
    int resends = 3;
    // After a key answer, unsolicited frames wait this long at most for its acknowledgement.
    std::chrono::milliseconds dataAckWait{1000};
    // A frame from the driver that stops without its CR is given up after this much silence.
    std::chrono::milliseconds idleLimit{500};
};

// Which of the two answers to a key query goes first.
enum class AnswerOrder { kAckFirst, kDataFirst };

// What a controller's status report "S T,mode,keys,status word,text,AI1,AI2,AI3,AI4,version"
// holds.
struct ControllerStatus {
    int mode = 1;                  // 0 to 9
    std::optional<long> keys;      // empty: the number of keys the controller holds
    unsigned statusWord = 0;       // 0 to 65535
    std::string text;              // empty: "VXS-100 C" and the controller's number
    std::array<long, 4> analog{};  // AI1 to AI4, 0 to 65535
    std::string version = "1.00";
};

enum class Fault {
    kSilent,             // the controller answers nothing and sends nothing
    kLateAnswer,         // answers come 'delay' later than usual
    kBadChecksum,        // frames carry a checksum that does not match
    kLowerCaseChecksum,  // checksum digits a to f in lower case
    kNoAck,              // commands are not acknowledged (data answers still go out)
    kBackToBack,         // two frames in one write, without any pause between them
    kNoise,              // noise bytes go out before each frame
    kCutShort,           // frames stop half way, without their CR
    kEcho,               // the line hands every byte the driver sends back to it at once, as a
                         // half-duplex adapter does; on for any controller, it holds for the line
};

inline constexpr std::array<Fault, 9> kAllFaults = {
    Fault::kSilent, Fault::kLateAnswer, Fault::kBadChecksum, Fault::kLowerCaseChecksum,
    Fault::kNoAck,  Fault::kBackToBack, Fault::kNoise,       Fault::kCutShort,
    Fault::kEcho};

// "silent", "late", "badcrc", "lowercrc", "noack", "backtoback", "noise", "cut", "echo".
const char* FaultName(Fault fault);
std::optional<Fault> FaultFromName(std::string_view name);

struct FaultSetting {
    bool on = true;
    // 0: until switched off; otherwise the fault switches itself off after applying this often.
    int count = 0;
    // kLateAnswer: the extra delay.
    std::chrono::milliseconds delay{1500};
    // kNoise: how many noise bytes go before each frame, 1 to kMaxNoiseBytes.
    int noiseBytes = 8;
};

// The most noise bytes a frame or one SendNoise may carry.
inline constexpr int kMaxNoiseBytes = 4096;

struct EventSpec {
    int controller = 0;
    int code = 0;           // two digits, 0 to 99
    int unit = 0;           // two digits, 1 to 99, counted from 1; 0: the controller's first door
    uint32_t badge = 0;     // written in hexadecimal; the driver looks up key number badge - 1
    std::string date;       // "DD/MM/YY"; empty: today
    std::string timeOfDay;  // "HH:MM:SS"; empty: now
};

// A key as a controller holds it.
struct KeyInfo {
    std::string code;
    long number = 0;
    bool stored = false;  // added and not deleted since
};

// The baud rates the simulator takes, from the slowest up.
std::vector<int> BaudRates();

struct SimulatorOptions {
    std::vector<int> controllers = {0, 1, 2, 3, 4, 5, 6, 7};
    // The line's rate on a pseudo-terminal (OnDevice takes its own): the simulator reads the rate
    // the driver set on its side, and while the two differ it hears only noise and sends garbage.
    int baud = 9600;
    Timing timing;
    AnswerOrder answerOrder = AnswerOrder::kAckFirst;
    uint32_t noiseSeed = 1;  // the noise is pseudo-random and repeatable
    // The transcript keeps this many of the newest entries; 0 keeps them all. A simulator that
    // runs for days sets a limit.
    std::size_t transcriptLimit = 0;
};

class Simulator {
public:
    // Creates a pseudo-terminal; the driver opens its slave, DevicePath(). The simulator keeps a
    // slave descriptor of its own open, so that the line stays usable while the driver closes and
    // reopens it. Throws std::system_error when no pseudo-terminal can be had,
    // std::invalid_argument for a rate not in BaudRates().
    static std::unique_ptr<Simulator> OnPty(const SimulatorOptions& options = {});

    // Uses a serial device: raw, 'baud', 8 data bits, no parity, one stop bit. Throws
    // std::system_error when it cannot be opened, std::invalid_argument for an unknown baud rate.
    static std::unique_ptr<Simulator> OnDevice(const std::string& path, int baud,
                                               const SimulatorOptions& options = {});

    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The slave of the pseudo-terminal, or the device.
    const std::string& DevicePath() const;

    // Controllers. A controller number outside 0 to 7 throws std::out_of_range; texts with
    // bytes a frame cannot carry throw std::invalid_argument.
    void SetPresent(int controller, bool present);
    bool IsPresent(int controller) const;
    void SetStatus(int controller, const ControllerStatus& status);
    ControllerStatus Status(int controller) const;
    // The status report's command text, "S T,..." as it would be sent now.
    std::string StatusText(int controller) const;
    // controller -1: every controller.
    void SetFault(int controller, Fault fault, const FaultSetting& setting);
    bool FaultActive(int controller, Fault fault) const;
    // Stores a key; false when the number is outside 0 to 99999.
    bool PutKey(int controller, const std::string& code, long number);
    std::optional<KeyInfo> FindKey(int controller, const std::string& code) const;
    // The command texts a setup upload of the controller sends, in order (without the end).
    std::vector<std::string> SetupLines(int controller) const;

    void SetTiming(const Timing& timing);
    Timing GetTiming() const;
    void SetAnswerOrder(AnswerOrder order);

    // Unsolicited frames: queued and sent one at a time, each once the one before is
    // acknowledged. InjectEvent returns the event's command text.
    std::string InjectEvent(const EventSpec& event);
    void QueueFrame(int controller, const std::string& commandText);
    // Queues the controller's setup upload as if the driver had asked for it.
    void StartUpload(int controller);

    // Written at once, outside the frame order.
    void SendNoise(std::size_t count);
    void SendRaw(const std::string& bytes);

    // Transcript. Every entry has an index that never changes: the first is 0. Beyond the
    // options' limit the oldest entries are let go; the indices of the others stay.
    // Transcript(from) returns the entries from index 'from' on that are still kept.
    std::vector<TranscriptEntry> Transcript(std::size_t from = 0) const;
    // The index the next entry will have.
    std::size_t TranscriptSize() const;
    // Waits until an entry at index 'from' or later matches; returns its index, or nothing when
    // 'timeout' passes first.
    std::optional<std::size_t> WaitFor(const std::function<bool(const TranscriptEntry&)>& match,
                                       std::chrono::milliseconds timeout,
                                       std::size_t from = 0) const;
    // Waits until nothing is queued, awaiting acknowledgement or scheduled.
    bool WaitUntilIdle(std::chrono::milliseconds timeout) const;
    // Whether the line has failed (a read error, or the device hung up); the simulator then
    // neither reads nor writes any more. The transcript holds a "line-failed" note with the reason.
    bool LineFailed() const;
    // Called on the simulator's thread with every new entry, in order (also those already made
    // when it is set). Must not call back into the simulator.
    void SetListener(std::function<void(const TranscriptEntry&)> listener);

    class Impl;

private:
    explicit Simulator(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Matchers for WaitFor.
std::function<bool(const TranscriptEntry&)> IsEntry(TranscriptEntry::Direction direction,
                                                    std::string kind, int controller = -1);

}  // namespace vxs_sim
