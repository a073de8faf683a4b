#include "vxs_sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "key_table.h"
#include "line_port.h"
#include "vxs_sim/frame.h"
#include "vxs_sim/frame_assembler.h"

namespace vxs_sim {

namespace {

using Clock = std::chrono::steady_clock;
using Direction = TranscriptEntry::Direction;

constexpr std::array<const char*, kAllFaults.size()> kFaultNames = {
    "silent", "late", "badcrc", "lowercrc", "noack", "backtoback", "noise", "cut"};

// A write that the line does not take within this time is given up.
constexpr std::chrono::milliseconds kWriteBound{500};

// The longest command text that still fits a frame of kMaxFrameLength bytes.
constexpr std::size_t kMaxCommandText = kMaxFrameLength - 6 - 1;

std::size_t FaultIndex(Fault fault) {
    return static_cast<std::size_t>(fault);
}

void CheckController(int controller) {
    if (controller < 0 || controller >= kControllerCount) {
        throw std::out_of_range("controller " + std::to_string(controller) +
                                " is not one of 0 to 7");
    }
}

// Bytes a field of a frame may hold: printable, and none of the frame's own separators.
void CheckFieldText(const std::string& text, const char* what) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || c == ',' || c == ';') {
            throw std::invalid_argument(std::string(what) +
                                        " may hold printable characters other than ',' and ';'");
        }
    }
}

void CheckRange(long value, long low, long high, const char* what) {
    if (value < low || value > high) {
        throw std::invalid_argument(std::string(what) + " must be " + std::to_string(low) + " to " +
                                    std::to_string(high));
    }
}

// "DD/MM/YY" or "HH:MM:SS": digits in pairs with the separator between them.
bool IsPairedDigits(const std::string& text, char separator) {
    if (text.size() != 8) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool separatorPlace = i == 2 || i == 5;
        if (separatorPlace ? text[i] != separator : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

std::string TwoDigits(int value) {
    std::string out(2, '0');
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out;
}

std::string HexUpper(uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    return out;
}

void AddDetail(std::string& detail, const std::string& more) {
    if (!detail.empty()) detail += ", ";
    detail += more;
}

struct FaultState {
    bool on = false;
    int remaining = 0;  // 0: until switched off
    std::chrono::milliseconds delay{0};
    int noiseBytes = 0;
};

struct Controller {
    bool present = false;
    ControllerStatus status;
    KeyTable keys;
    std::map<char, std::string> timeZones;   // "T d,..." by zone digit
    std::map<char, std::string> parameters;  // "S x..." by option letter
    std::array<FaultState, kAllFaults.size()> faults;
};

// A frame the simulator sends on its own and wants acknowledged.
struct Unsolicited {
    int controller = 0;
    std::string kind;  // "event", "upload", "upload-end", "frame"
    std::string text;  // command text
    int resendsLeft = 0;
    int sends = 0;
    Clock::time_point deadline{};
};

// How the transcript names an unsolicited frame.
std::string Describe(const Unsolicited& frame) {
    return frame.text.empty() ? frame.kind : frame.kind + " " + frame.text;
}

// One frame of an answer to a command.
struct AnswerStep {
    std::string kind;  // "ack", "answer", "status"
    std::string text;  // command text; unused for the acknowledgement
};

// One frame of a write, with what the transcript says of it.
struct OutPiece {
    int controller = -1;
    std::string kind;
    std::string bytes;
    std::string detail;
};

}  // namespace

const char* FaultName(Fault fault) {
    return kFaultNames[FaultIndex(fault)];
}

std::optional<Fault> FaultFromName(std::string_view name) {
    for (std::size_t i = 0; i < kFaultNames.size(); ++i) {
        if (name == kFaultNames[i]) return kAllFaults[i];
    }
    return std::nullopt;
}

std::function<bool(const TranscriptEntry&)> IsEntry(Direction direction, std::string kind,
                                                    int controller) {
    return [direction, kind = std::move(kind), controller](const TranscriptEntry& entry) {
        return entry.direction == direction && entry.kind == kind &&
               (controller < 0 || entry.controller == controller);
    };
}

class Simulator::Impl {
public:
    Impl(LinePort port, const SimulatorOptions& options)
        : port_(std::move(port)),
          start_(Clock::now()),
          timing_(options.timing),
          answerOrder_(options.answerOrder),
          assembler_(options.timing.idleLimit),
          transcriptLimit_(options.transcriptLimit),
          noise_(options.noiseSeed) {
        for (const int c : options.controllers) {
            CheckController(c);
            controllers_[static_cast<std::size_t>(c)].present = true;
        }
        for (std::size_t c = 0; c < controllers_.size(); ++c) {
            Controller& controller = controllers_[c];
            // The setup a controller has before anything is sent to it.
            controller.timeZones['0'] = "T 0,00:00:00,23:59:59,MTWTFSS----";
            controller.parameters['L'] = "S L,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5";
            controller.parameters['M'] = "S M,1";
        }
        if (pipe2(wakePipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::system_error(errno, std::generic_category(), "cannot create a pipe");
        }
        thread_ = std::thread([this] { Run(); });
    }

    ~Impl() {
        stopping_ = true;
        Wake();
        thread_.join();
        close(wakePipe_[0]);
        close(wakePipe_[1]);
    }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    const std::string& Path() const { return port_.Path(); }

    // --- controllers -------------------------------------------------------------------------

    void SetPresent(int c, bool present) {
        CheckController(c);
        std::lock_guard lock(mutex_);
        At(c).present = present;
        Note(c, "present", present ? "on the line" : "off the line");
        Pump();
        Wake();
    }

    bool IsPresent(int c) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        return At(c).present;
    }

    void SetStatus(int c, const ControllerStatus& status) {
        CheckController(c);
        CheckRange(status.mode, 0, 9, "mode");
        if (status.keys) CheckRange(*status.keys, 0, KeyTable::kMaxKeyNumber + 1, "keys");
        CheckRange(status.statusWord, 0, 65535, "status word");
        for (const long value : status.analog) CheckRange(value, 0, 65535, "analog input");
        CheckFieldText(status.text, "the controller text");
        CheckFieldText(status.version, "the version text");
        std::lock_guard lock(mutex_);
        const ControllerStatus previous = At(c).status;
        At(c).status = status;
        if (StatusTextLocked(c).size() > kMaxCommandText) {
            At(c).status = previous;
            throw std::invalid_argument("the status report would not fit a frame");
        }
    }

    ControllerStatus Status(int c) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        return At(c).status;
    }

    std::string StatusText(int c) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        return StatusTextLocked(c);
    }

    void SetFault(int c, Fault fault, const FaultSetting& setting) {
        if (c != -1) CheckController(c);
        if (setting.count < 0) throw std::invalid_argument("a fault's count cannot be negative");
        if (setting.delay.count() < 0) throw std::invalid_argument("a delay cannot be negative");
        CheckRange(setting.noiseBytes, 1, 4096, "noise bytes");
        std::lock_guard lock(mutex_);
        for (int i = 0; i < kControllerCount; ++i) {
            if (c != -1 && i != c) continue;
            FaultState& state = At(i).faults[FaultIndex(fault)];
            state.on = setting.on;
            state.remaining = setting.count;
            state.delay = setting.delay;
            state.noiseBytes = setting.noiseBytes;
        }
        Note(c, "fault", std::string(FaultName(fault)) + (setting.on ? " on" : " off"));
        Pump();
        Wake();
    }

    bool FaultActive(int c, Fault fault) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        return At(c).faults[FaultIndex(fault)].on;
    }

    bool PutKey(int c, const std::string& code, long number) {
        CheckController(c);
        CheckFieldText(code, "a badge code");
        std::lock_guard lock(mutex_);
        return At(c).keys.Put(code, number);
    }

    std::optional<KeyInfo> FindKey(int c, const std::string& code) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        const std::optional<KeyEntry> entry = At(c).keys.Find(code);
        if (!entry) return std::nullopt;
        return KeyInfo{entry->code, entry->number, entry->stored};
    }

    std::vector<std::string> SetupLines(int c) const {
        CheckController(c);
        std::lock_guard lock(mutex_);
        return SetupLinesLocked(c);
    }

    void SetTiming(const Timing& timing) {
        if (timing.resends < 0) throw std::invalid_argument("resends cannot be negative");
        std::lock_guard lock(mutex_);
        timing_ = timing;
        assembler_ = FrameAssembler(timing.idleLimit);
        Wake();
    }

    Timing GetTiming() const {
        std::lock_guard lock(mutex_);
        return timing_;
    }

    void SetAnswerOrder(AnswerOrder order) {
        std::lock_guard lock(mutex_);
        answerOrder_ = order;
    }

    // --- unsolicited frames ------------------------------------------------------------------

    std::string InjectEvent(const EventSpec& event) {
        CheckController(event.controller);
        CheckRange(event.code, 0, 99, "the event code");
        CheckRange(event.unit, 0, 99, "the unit number");
        if (!event.date.empty() && !IsPairedDigits(event.date, '/')) {
            throw std::invalid_argument("the date must be DD/MM/YY");
        }
        if (!event.timeOfDay.empty() && !IsPairedDigits(event.timeOfDay, ':')) {
            throw std::invalid_argument("the time of day must be HH:MM:SS");
        }
        std::string date = event.date;
        std::string timeOfDay = event.timeOfDay;
        if (date.empty() || timeOfDay.empty()) {
            const std::time_t now = std::time(nullptr);
            std::tm local{};
            localtime_r(&now, &local);
            if (date.empty()) {
                // The controllers write the year with two digits.
                date = TwoDigits(local.tm_mday) + "/" + TwoDigits(local.tm_mon + 1) + "/" +
                       TwoDigits(local.tm_year % 100);
            }
            if (timeOfDay.empty()) {
                timeOfDay = TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" +
                            TwoDigits(std::min(local.tm_sec, 59));
            }
        }
        const int unit = event.unit != 0 ? event.unit : 2 * event.controller + 1;
        // The driver finds the time by the last ":", the code and the unit after the first two
        // commas that follow it, and the badge after the last comma.
        std::string text = "V " + date + " " + timeOfDay + "," + TwoDigits(event.code) + "," +
                           TwoDigits(unit) + "," + HexUpper(event.badge);
        std::lock_guard lock(mutex_);
        Enqueue(event.controller, "event", text);
        return text;
    }

    void QueueFrame(int c, const std::string& text) {
        CheckController(c);
        if (text.size() > kMaxCommandText) {
            throw std::invalid_argument("a command text holds at most " +
                                        std::to_string(kMaxCommandText) + " characters");
        }
        if (text.find_first_of(std::string{kLf, kCr}) != std::string::npos) {
            throw std::invalid_argument("a command text cannot hold LF or CR");
        }
        std::lock_guard lock(mutex_);
        Enqueue(c, "frame", text);
    }

    void StartUpload(int c) {
        CheckController(c);
        std::lock_guard lock(mutex_);
        EnqueueUpload(c);
    }

    void SendNoise(std::size_t count) {
        if (count == 0 || count > 4096) throw std::invalid_argument("noise is 1 to 4096 bytes");
        std::lock_guard lock(mutex_);
        Emit({OutPiece{-1, "noise", NoiseBytes(count), ""}});
    }

    void SendRaw(const std::string& bytes) {
        if (bytes.empty()) return;
        std::lock_guard lock(mutex_);
        Emit({OutPiece{-1, "raw", bytes, ""}});
    }

    // --- transcript --------------------------------------------------------------------------

    std::vector<TranscriptEntry> Transcript(std::size_t from) const {
        std::lock_guard lock(mutex_);
        const std::size_t first = std::max(from, firstIndex_);
        if (first >= EndIndex()) return {};
        return {transcript_.begin() + static_cast<std::ptrdiff_t>(first - firstIndex_),
                transcript_.end()};
    }

    std::size_t TranscriptSize() const {
        std::lock_guard lock(mutex_);
        return EndIndex();
    }

    std::optional<std::size_t> WaitFor(const std::function<bool(const TranscriptEntry&)>& match,
                                       std::chrono::milliseconds timeout, std::size_t from) const {
        std::unique_lock lock(mutex_);
        std::size_t next = from;
        std::optional<std::size_t> found;
        changed_.wait_for(lock, timeout, [&] {
            next = std::max(next, firstIndex_);
            for (; next < EndIndex(); ++next) {
                if (match(transcript_[next - firstIndex_])) {
                    found = next;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    bool WaitUntilIdle(std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return queue_.empty() && outstanding_.empty() && timers_.empty() && answering_ == 0 &&
                   !dataAckUntil_;
        });
    }

    bool LineFailed() const {
        std::lock_guard lock(mutex_);
        return lineFailed_;
    }

    void SetListener(std::function<void(const TranscriptEntry&)> listener) {
        std::lock_guard lock(mutex_);
        listener_ = std::move(listener);
        notified_ = firstIndex_;
        Wake();
    }

private:
    std::size_t EndIndex() const { return firstIndex_ + transcript_.size(); }

    Controller& At(int c) { return controllers_[static_cast<std::size_t>(c)]; }
    const Controller& At(int c) const { return controllers_[static_cast<std::size_t>(c)]; }

    void Wake() {
        const char byte = 1;
        // A full pipe already holds a wake-up; nothing is lost when this write fails.
        if (write(wakePipe_[1], &byte, 1) < 0) return;
    }

    // --- the thread --------------------------------------------------------------------------

    void Run() {
        std::array<char, 512> buffer{};
        while (!stopping_) {
            int timeoutMs = 0;
            bool lineFailed = false;
            {
                std::lock_guard lock(mutex_);
                RunDue(Clock::now());
                timeoutMs = MillisecondsUntil(NextDeadline());
                lineFailed = lineFailed_;
            }
            Notify();
            // A line that failed is no longer watched, so that its error does not spin the loop.
            std::array<pollfd, 2> fds{pollfd{wakePipe_[0], POLLIN, 0},
                                      pollfd{lineFailed ? -1 : port_.Fd(), POLLIN, 0}};
            const int ready = poll(fds.data(), fds.size(), timeoutMs);
            if (ready < 0 && errno != EINTR) break;
            if ((fds[0].revents & POLLIN) != 0) {
                while (read(wakePipe_[0], buffer.data(), buffer.size()) > 0) {
                }
            }
            const short events = fds[1].revents;
            if ((events & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadLine(buffer) &&
                (events & (POLLHUP | POLLERR)) != 0) {
                // Hung up with nothing left to read: the device is gone.
                std::lock_guard lock(mutex_);
                if (!lineFailed_) Note(-1, "line-failed", "the line hung up");
                lineFailed_ = true;
            }
        }
        Notify();
    }

    // Takes every byte the line holds; false when there was none.
    bool ReadLine(std::array<char, 512>& buffer) {
        std::lock_guard lock(mutex_);
        bool any = false;
        for (;;) {
            const ssize_t got = port_.Read(buffer.data(), buffer.size());
            if (got == 0) return any;
            if (got < 0) {
                if (!lineFailed_) Note(-1, "line-failed", std::strerror(errno));
                lineFailed_ = true;
                return any;
            }
            any = true;
            std::vector<FrameAssembler::Piece> pieces;
            assembler_.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)),
                            Clock::now(), pieces);
            for (FrameAssembler::Piece& piece : pieces) HandlePiece(piece);
        }
    }

    static int MillisecondsUntil(Clock::time_point deadline) {
        if (deadline == Clock::time_point::max()) return 1000;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        return static_cast<int>(std::clamp<long long>(left + 1, 0, 1000));
    }

    Clock::time_point NextDeadline() const {
        Clock::time_point next = assembler_.NextDeadline();
        if (!timers_.empty()) next = std::min(next, timers_.begin()->first);
        for (const Unsolicited& frame : outstanding_) next = std::min(next, frame.deadline);
        if (dataAckUntil_) next = std::min(next, *dataAckUntil_);
        return next;
    }

    // Everything whose time has come.
    void RunDue(Clock::time_point now) {
        while (!timers_.empty() && timers_.begin()->first <= now) {
            std::function<void()> action = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            action();
        }
        std::vector<FrameAssembler::Piece> pieces;
        assembler_.Expire(now, pieces);
        for (FrameAssembler::Piece& piece : pieces) HandlePiece(piece);
        if (dataAckUntil_ && *dataAckUntil_ <= now) {
            dataAckUntil_.reset();
            Note(-1, "given-up", "the key answer was not acknowledged");
        }
        ResendDue(now);
        Pump();
    }

    // Hands new transcript entries to the listener, outside the lock.
    void Notify() {
        std::function<void(const TranscriptEntry&)> listener;
        std::vector<TranscriptEntry> fresh;
        {
            std::lock_guard lock(mutex_);
            notified_ = std::max(notified_, firstIndex_);
            if (!listener_ || notified_ >= EndIndex()) return;
            listener = listener_;
            fresh.assign(transcript_.begin() + static_cast<std::ptrdiff_t>(notified_ - firstIndex_),
                         transcript_.end());
            notified_ = EndIndex();
        }
        for (const TranscriptEntry& entry : fresh) listener(entry);
    }

    // --- transcript --------------------------------------------------------------------------

    void Record(Direction direction, int c, std::string kind, std::string bytes,
                std::string detail) {
        TranscriptEntry entry;
        entry.at = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_);
        entry.direction = direction;
        entry.controller = c;
        entry.kind = std::move(kind);
        entry.bytes = std::move(bytes);
        entry.detail = std::move(detail);
        transcript_.push_back(std::move(entry));
        if (transcriptLimit_ != 0 && transcript_.size() > transcriptLimit_) {
            transcript_.pop_front();
            ++firstIndex_;
        }
        changed_.notify_all();
    }

    void Note(int c, std::string kind, std::string detail) {
        Record(Direction::kNote, c, std::move(kind), {}, std::move(detail));
    }

    // --- receiving ---------------------------------------------------------------------------

    void HandlePiece(FrameAssembler::Piece& piece) {
        switch (piece.kind) {
        case FrameAssembler::Piece::Kind::kNoise:
            Record(Direction::kReceived, -1, "noise", std::move(piece.bytes), "");
            return;
        case FrameAssembler::Piece::Kind::kIncomplete:
            Record(Direction::kReceived, -1, "incomplete", std::move(piece.bytes),
                   "no CR where the frame should end");
            return;
        case FrameAssembler::Piece::Kind::kFrame: break;
        }
        const ParsedFrame parsed = ParseFrame(piece.bytes);
        switch (parsed.kind) {
        case ParsedFrame::Kind::kAck:
            Record(Direction::kReceived, -1, "ack", std::move(piece.bytes), "");
            HandleAck();
            return;
        case ParsedFrame::Kind::kMalformed:
            Record(Direction::kReceived, -1, "malformed", std::move(piece.bytes),
                   "not laid out as a frame; not answered");
            return;
        case ParsedFrame::Kind::kBadChecksum:
            Record(Direction::kReceived, parsed.controller, "bad-checksum", std::move(piece.bytes),
                   "not answered");
            return;
        case ParsedFrame::Kind::kFrame:
            Record(Direction::kReceived, parsed.controller, "frame", std::move(piece.bytes),
                   parsed.command);
            HandleCommand(parsed);
            return;
        }
    }

    void HandleAck() {
        if (dataAckUntil_) {
            dataAckUntil_.reset();
            Note(-1, "acknowledged", "the key answer");
        } else if (!outstanding_.empty()) {
            const Unsolicited frame = outstanding_.front();
            outstanding_.pop_front();
            Note(frame.controller, "acknowledged", Describe(frame));
        } else {
            Note(-1, "stray-ack", "nothing awaited an acknowledgement");
        }
        Pump();
    }

    std::optional<FaultState> Consume(int c, Fault fault) {
        FaultState& state = At(c).faults[FaultIndex(fault)];
        if (!state.on) return std::nullopt;
        const FaultState applied = state;
        if (state.remaining > 0 && --state.remaining == 0) state.on = false;
        return applied;
    }

    bool Reachable(int c) const {
        return At(c).present && !At(c).faults[FaultIndex(Fault::kSilent)].on;
    }

    void HandleCommand(const ParsedFrame& frame) {
        const int c = frame.controller;
        if (c < 0 || c >= kControllerCount) {
            Note(c < 0 ? -1 : c, "ignored", "no such controller");
            return;
        }
        if (!At(c).present) {
            Note(c, "ignored", "not on the line");
            return;
        }
        if (Consume(c, Fault::kSilent)) {
            Note(c, "ignored", "fault silent");
            return;
        }
        const std::string& command = frame.command;
        std::vector<AnswerStep> steps;
        if (Consume(c, Fault::kNoAck)) {
            Note(c, "fault", "noack: the command is not acknowledged");
        } else {
            steps.push_back({"ack", ""});
        }
        bool upload = false;
        if (command.rfind("K ", 0) == 0) {
            const std::optional<KeyEntry> key = At(c).keys.Query(command.substr(2));
            if (key) {
                AnswerStep answer{"answer", std::string("L ") + (key->stored ? "1" : "0") + "," +
                                                std::to_string(key->number)};
                if (answerOrder_ == AnswerOrder::kDataFirst) {
                    steps.insert(steps.begin(), answer);
                } else {
                    steps.push_back(answer);
                }
            } else {
                Note(c, "ignored", "the key table is full: no key answer");
            }
        } else if (command == "S Q") {
            steps.push_back({"status", StatusTextLocked(c)});
        } else if (command == "S U") {
            upload = true;
        } else {
            ApplySetup(c, command);
        }
        std::chrono::milliseconds delay = timing_.ackDelay;
        if (const std::optional<FaultState> late = Consume(c, Fault::kLateAnswer)) {
            delay += late->delay;
        }
        if (steps.empty()) {
            if (upload) Schedule(delay + timing_.uploadPause, [this, c] { EnqueueUpload(c); });
            return;
        }
        ++answering_;
        Schedule(delay,
                 [this, c, steps = std::move(steps), upload] { SendAnswer(c, steps, 0, upload); });
    }

    // Remembers what a setup command sets, so that an upload gives it back.
    void ApplySetup(int c, const std::string& command) {
        Controller& controller = At(c);
        if (command.size() < 3 || command[1] != ' ') return;
        const char letter = command[0];
        const char what = command[2];
        if (letter == 'A') {
            if (!controller.keys.ApplyAdd(command.substr(2), command)) {
                Note(c, "ignored", "unreadable add-key record");
            }
        } else if (letter == 'D') {
            if (!controller.keys.ApplyDelete(command.substr(2))) {
                Note(c, "ignored", "unreadable delete-key record");
            }
        } else if (letter == 'T') {
            controller.timeZones[what] = command;
        } else if (letter == 'S' && what != 'Q' && what != 'U' && what != 'T') {
            // An upload line "S T..." would read as a status report, so none is kept.
            controller.parameters[what] = command;
        }
    }

    // Sends steps[index] (and the next ones too when they go in the same write).
    void SendAnswer(int c, const std::vector<AnswerStep>& steps, std::size_t index, bool upload) {
        std::vector<OutPiece> pieces;
        bool dataSent = false;
        std::size_t next = index;
        do {
            const AnswerStep& step = steps[next++];
            if (step.kind == "ack") {
                pieces.push_back({c, "ack", AckFrame(), ""});
            } else {
                pieces.push_back(RenderFrame(c, step.kind, step.text));
                dataSent = dataSent || step.kind == "answer";
            }
        } while (next < steps.size() &&
                 (timing_.answerGap.count() == 0 || Consume(c, Fault::kBackToBack)));
        if (pieces.size() > 1) AddDetail(pieces.back().detail, "back to back");
        Emit(pieces);
        if (dataSent) dataAckUntil_ = Clock::now() + timing_.dataAckWait;
        if (next < steps.size()) {
            Schedule(timing_.answerGap,
                     [this, c, steps, next, upload] { SendAnswer(c, steps, next, upload); });
            return;
        }
        --answering_;
        if (upload) Schedule(timing_.uploadPause, [this, c] { EnqueueUpload(c); });
        Pump();
    }

    void Schedule(std::chrono::milliseconds after, std::function<void()> action) {
        timers_.emplace(Clock::now() + after, std::move(action));
        Wake();
    }

    // --- sending -----------------------------------------------------------------------------

    std::string NoiseBytes(std::size_t count) {
        // Any byte but LF and CR: the noise must not begin or end a frame of its own.
        std::uniform_int_distribution<int> byte(0, 255);
        std::string noise;
        while (noise.size() < count) {
            const char c = static_cast<char>(byte(noise_));
            if (c != kLf && c != kCr) noise += c;
        }
        return noise;
    }

    // A checksummed frame of controller c, with the faults that apply to it.
    OutPiece RenderFrame(int c, const std::string& kind, const std::string& text) {
        OutPiece piece{c, kind, "", text.empty() ? std::string("end of upload") : text};
        ChecksumStyle style = ChecksumStyle::kCorrect;
        if (Consume(c, Fault::kBadChecksum)) {
            style = ChecksumStyle::kWrong;
            AddDetail(piece.detail, "fault badcrc");
        } else if (Consume(c, Fault::kLowerCaseChecksum)) {
            style = ChecksumStyle::kLowerCase;
            AddDetail(piece.detail, "fault lowercrc");
        }
        piece.bytes = BuildFrame(text, style);
        if (Consume(c, Fault::kCutShort)) {
            piece.bytes.resize(piece.bytes.size() / 2);
            AddDetail(piece.detail, "fault cut");
        }
        if (const std::optional<FaultState> noise = Consume(c, Fault::kNoise)) {
            piece.bytes.insert(0, NoiseBytes(static_cast<std::size_t>(noise->noiseBytes)));
            AddDetail(piece.detail, "fault noise");
        }
        return piece;
    }

    // One write for all pieces, then one transcript entry for each.
    void Emit(const std::vector<OutPiece>& pieces) {
        std::string bytes;
        for (const OutPiece& piece : pieces) bytes += piece.bytes;
        const std::size_t wrote = lineFailed_ ? 0 : port_.Write(bytes, kWriteBound);
        for (const OutPiece& piece : pieces) {
            Record(Direction::kSent, piece.controller, piece.kind, piece.bytes, piece.detail);
        }
        if (wrote < bytes.size()) {
            Note(-1, "write-failed",
                 std::to_string(bytes.size() - wrote) + " bytes did not go out");
        }
    }

    void Enqueue(int c, const std::string& kind, const std::string& text) {
        queue_.push_back(Unsolicited{c, kind, text, 0, 0, {}});
        Pump();
        Wake();
    }

    void EnqueueUpload(int c) {
        if (!At(c).present) return;
        for (const std::string& line : SetupLinesLocked(c)) {
            queue_.push_back(Unsolicited{c, "upload", line, 0, 0, {}});
        }
        queue_.push_back(Unsolicited{c, "upload-end", "", 0, 0, {}});
        Pump();
        Wake();
    }

    // Sends the next unsolicited frame when the line is free for it: nothing awaits an
    // acknowledgement and no command is being answered.
    void Pump() {
        if (!outstanding_.empty() || answering_ > 0 || dataAckUntil_ || lineFailed_) return;
        auto first = std::find_if(queue_.begin(), queue_.end(), [&](const Unsolicited& frame) {
            return Reachable(frame.controller);
        });
        if (first == queue_.end()) return;
        std::vector<Unsolicited> batch{*first};
        queue_.erase(first);
        const int c = batch.front().controller;
        if (At(c).faults[FaultIndex(Fault::kBackToBack)].on) {
            auto second = std::find_if(queue_.begin(), queue_.end(), [&](const Unsolicited& frame) {
                return Reachable(frame.controller);
            });
            if (second != queue_.end()) {
                Consume(c, Fault::kBackToBack);
                batch.push_back(*second);
                queue_.erase(second);
            }
        }
        std::vector<OutPiece> pieces;
        for (Unsolicited& frame : batch) {
            pieces.push_back(RenderFrame(frame.controller, frame.kind, frame.text));
            frame.resendsLeft = timing_.resends;
            frame.sends = 1;
            frame.deadline = Clock::now() + timing_.resendAfter;
            outstanding_.push_back(frame);
        }
        if (pieces.size() > 1) AddDetail(pieces.back().detail, "back to back");
        Emit(pieces);
        Wake();
    }

    void ResendDue(Clock::time_point now) {
        for (auto it = outstanding_.begin(); it != outstanding_.end();) {
            if (it->deadline > now) {
                ++it;
                continue;
            }
            if (!Reachable(it->controller)) {
                Note(it->controller, "given-up", Describe(*it) + ": controller silent");
                it = outstanding_.erase(it);
            } else if (it->resendsLeft > 0) {
                --it->resendsLeft;
                ++it->sends;
                it->deadline = now + timing_.resendAfter;
                OutPiece piece = RenderFrame(it->controller, it->kind, it->text);
                AddDetail(piece.detail, "resend " + std::to_string(it->sends - 1));
                Emit({piece});
                ++it;
            } else {
                Note(it->controller, "given-up",
                     Describe(*it) + ": not acknowledged after " + std::to_string(it->sends) +
                         " sends");
                it = outstanding_.erase(it);
            }
        }
    }

    // --- what controllers say ----------------------------------------------------------------

    std::string StatusTextLocked(int c) const {
        const Controller& controller = At(c);
        const ControllerStatus& status = controller.status;
        const long keys =
            status.keys ? *status.keys : static_cast<long>(controller.keys.StoredCount());
        std::string text = "S T," + std::to_string(status.mode) + "," + std::to_string(keys) + "," +
                           std::to_string(status.statusWord) + ",";
        text += status.text.empty() ? "VXS-100 C" + std::to_string(c) : status.text;
        for (const long value : status.analog) text += "," + std::to_string(value);
        text += "," + status.version;
        return text;
    }

    std::vector<std::string> SetupLinesLocked(int c) const {
        const Controller& controller = At(c);
        std::vector<std::string> lines;
        for (const auto& [zone, line] : controller.timeZones) lines.push_back(line);
        for (const auto& [letter, line] : controller.parameters) lines.push_back(line);
        for (const KeyEntry& key : controller.keys.StoredKeys()) lines.push_back(key.record);
        return lines;
    }

    LinePort port_;
    const Clock::time_point start_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Timing timing_;
    AnswerOrder answerOrder_;
    std::array<Controller, kControllerCount> controllers_;
    FrameAssembler assembler_;
    // The newest entries; the one in front has the index firstIndex_.
    std::deque<TranscriptEntry> transcript_;
    std::size_t firstIndex_ = 0;
    const std::size_t transcriptLimit_;
    std::multimap<Clock::time_point, std::function<void()>> timers_;
    std::deque<Unsolicited> queue_;
    std::deque<Unsolicited> outstanding_;
    int answering_ = 0;
    std::optional<Clock::time_point> dataAckUntil_;
    std::mt19937 noise_;
    bool lineFailed_ = false;
    std::function<void(const TranscriptEntry&)> listener_;
    std::size_t notified_ = 0;

    std::array<int, 2> wakePipe_{-1, -1};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// --- the public face -------------------------------------------------------------------------

Simulator::Simulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Simulator::~Simulator() = default;

std::unique_ptr<Simulator> Simulator::OnPty(const SimulatorOptions& options) {
    return std::unique_ptr<Simulator>(
        new Simulator(std::make_unique<Impl>(LinePort::OpenPty(), options)));
}

std::unique_ptr<Simulator> Simulator::OnDevice(const std::string& path, int baud,
                                               const SimulatorOptions& options) {
    return std::unique_ptr<Simulator>(
        new Simulator(std::make_unique<Impl>(LinePort::OpenDevice(path, baud), options)));
}

const std::string& Simulator::DevicePath() const {
    return impl_->Path();
}
void Simulator::SetPresent(int controller, bool present) {
    impl_->SetPresent(controller, present);
}
bool Simulator::IsPresent(int controller) const {
    return impl_->IsPresent(controller);
}
void Simulator::SetStatus(int controller, const ControllerStatus& status) {
    impl_->SetStatus(controller, status);
}
ControllerStatus Simulator::Status(int controller) const {
    return impl_->Status(controller);
}
std::string Simulator::StatusText(int controller) const {
    return impl_->StatusText(controller);
}
void Simulator::SetFault(int controller, Fault fault, const FaultSetting& setting) {
    impl_->SetFault(controller, fault, setting);
}
bool Simulator::FaultActive(int controller, Fault fault) const {
    return impl_->FaultActive(controller, fault);
}
bool Simulator::PutKey(int controller, const std::string& code, long number) {
    return impl_->PutKey(controller, code, number);
}
std::optional<KeyInfo> Simulator::FindKey(int controller, const std::string& code) const {
    return impl_->FindKey(controller, code);
}
std::vector<std::string> Simulator::SetupLines(int controller) const {
    return impl_->SetupLines(controller);
}
void Simulator::SetTiming(const Timing& timing) {
    impl_->SetTiming(timing);
}
Timing Simulator::GetTiming() const {
    return impl_->GetTiming();
}
void Simulator::SetAnswerOrder(AnswerOrder order) {
    impl_->SetAnswerOrder(order);
}
std::string Simulator::InjectEvent(const EventSpec& event) {
    return impl_->InjectEvent(event);
}
void Simulator::QueueFrame(int controller, const std::string& commandText) {
    impl_->QueueFrame(controller, commandText);
}
void Simulator::StartUpload(int controller) {
    impl_->StartUpload(controller);
}
void Simulator::SendNoise(std::size_t count) {
    impl_->SendNoise(count);
}
void Simulator::SendRaw(const std::string& bytes) {
    impl_->SendRaw(bytes);
}
std::vector<TranscriptEntry> Simulator::Transcript(std::size_t from) const {
    return impl_->Transcript(from);
}
std::size_t Simulator::TranscriptSize() const {
    return impl_->TranscriptSize();
}
std::optional<std::size_t> Simulator::WaitFor(
    const std::function<bool(const TranscriptEntry&)>& match, std::chrono::milliseconds timeout,
    std::size_t from) const {
    return impl_->WaitFor(match, timeout, from);
}
bool Simulator::WaitUntilIdle(std::chrono::milliseconds timeout) const {
    return impl_->WaitUntilIdle(timeout);
}
bool Simulator::LineFailed() const {
    return impl_->LineFailed();
}
void Simulator::SetListener(std::function<void(const TranscriptEntry&)> listener) {
    impl_->SetListener(std::move(listener));
}

}  // namespace vxs_sim
