// The simulator's public face: the parts one simulator is made of, the lock over them, and the
// public calls, each of which checks its arguments, takes the lock and asks the part concerned.
#include "vxs_sim/simulator.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "argument_checks.h"
#include "command_answerer.h"
#include "controller_model.h"
#include "fault_injector.h"
#include "line_io.h"
#include "line_port.h"
#include "transcript_log.h"
#include "unsolicited_sender.h"

namespace vxs_sim {

// The parts, in the order they are made: each is given those it uses, made before it. The line's
// thread starts once all are made and is stopped before any is taken apart.
class Simulator::Impl final : public LineIo::Handler {
public:
    Impl(LinePort port, const SimulatorOptions& options)
        : timing(options.timing),
          transcript(options.transcriptLimit),
          controllers(options.controllers, transcript),
          faults(options.noiseSeed, transcript),
          line(std::move(port), options.timing.idleLimit, mutex, transcript),
          unsolicited(timing, controllers, faults, line, transcript),
          answerer(timing, options.answerOrder, controllers, faults, unsolicited, line,
                   transcript) {
        line.Start(*this);
    }

    ~Impl() { line.Stop(); }

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void AckReceived() override { unsolicited.TakeAck(); }

    void CommandReceived(const ParsedFrame& frame) override { answerer.Answer(frame); }

    bool Echoes() const override { return faults.ActiveAnywhere(Fault::kEcho); }

    LineIo::Clock::time_point RunDue(LineIo::Clock::time_point now) override {
        answerer.RunDue(now);
        unsolicited.RunDue(now);
        // Whatever the simulator does happens in a round of its thread, so a round's end is when
        // it may have become idle.
        roundDone.notify_all();
        return std::min(answerer.NextDeadline(), unsolicited.NextDeadline());
    }

    void RoundDone() override { transcript.Deliver(); }

    bool Idle() const { return answerer.Idle() && unsolicited.Idle(); }

    mutable std::mutex mutex;
    mutable std::condition_variable roundDone;
    Timing timing;
    TranscriptLog transcript;
    ControllerModel controllers;
    FaultInjector faults;
    LineIo line;
    UnsolicitedSender unsolicited;
    CommandAnswerer answerer;
};

Simulator::Simulator(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Simulator::~Simulator() = default;

std::unique_ptr<Simulator> Simulator::OnPty(const SimulatorOptions& options) {
    return std::unique_ptr<Simulator>(
        new Simulator(std::make_unique<Impl>(LinePort::OpenPty(options.baud), options)));
}

std::unique_ptr<Simulator> Simulator::OnDevice(const std::string& path, int baud,
                                               const SimulatorOptions& options) {
    return std::unique_ptr<Simulator>(
        new Simulator(std::make_unique<Impl>(LinePort::OpenDevice(path, baud), options)));
}

const std::string& Simulator::DevicePath() const {
    return impl_->line.Path();
}

// --- controllers -----------------------------------------------------------------------------

void Simulator::SetPresent(int controller, bool present) {
    std::lock_guard lock(impl_->mutex);
    impl_->controllers.SetPresent(controller, present);
    impl_->unsolicited.Pump();
}

bool Simulator::IsPresent(int controller) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.Present(controller);
}

void Simulator::SetStatus(int controller, const ControllerStatus& status) {
    std::lock_guard lock(impl_->mutex);
    impl_->controllers.SetStatus(controller, status);
}

ControllerStatus Simulator::Status(int controller) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.Status(controller);
}

std::string Simulator::StatusText(int controller) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.StatusText(controller);
}

void Simulator::SetFault(int controller, Fault fault, const FaultSetting& setting) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.Set(controller, fault, setting);
    // A controller that speaks again sends what it held back.
    impl_->unsolicited.Pump();
}

bool Simulator::FaultActive(int controller, Fault fault) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->faults.Active(controller, fault);
}

bool Simulator::PutKey(int controller, const std::string& code, long number) {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.PutKey(controller, code, number);
}

std::optional<KeyInfo> Simulator::FindKey(int controller, const std::string& code) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.FindKey(controller, code);
}

std::vector<std::string> Simulator::SetupLines(int controller) const {
    std::lock_guard lock(impl_->mutex);
    return impl_->controllers.SetupLines(controller);
}

void Simulator::SetTiming(const Timing& timing) {
    if (timing.resends < 0) throw std::invalid_argument("resends cannot be negative");
    std::lock_guard lock(impl_->mutex);
    impl_->timing = timing;
    impl_->line.SetIdleLimit(timing.idleLimit);
    impl_->line.Wake();
}

Timing Simulator::GetTiming() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->timing;
}

void Simulator::SetAnswerOrder(AnswerOrder order) {
    std::lock_guard lock(impl_->mutex);
    impl_->answerer.SetAnswerOrder(order);
}

// --- unsolicited frames and raw bytes --------------------------------------------------------

std::string Simulator::InjectEvent(const EventSpec& event) {
    std::string text = ControllerModel::EventText(event);
    std::lock_guard lock(impl_->mutex);
    impl_->unsolicited.Queue(event.controller, "event", text);
    return text;
}

void Simulator::QueueFrame(int controller, const std::string& commandText) {
    CheckController(controller);
    CheckCommandText(commandText);
    std::lock_guard lock(impl_->mutex);
    impl_->unsolicited.Queue(controller, "frame", commandText);
}

void Simulator::StartUpload(int controller) {
    CheckController(controller);
    std::lock_guard lock(impl_->mutex);
    impl_->unsolicited.QueueUpload(controller);
}

void Simulator::SendNoise(std::size_t count) {
    std::lock_guard lock(impl_->mutex);
    impl_->line.Write({OutgoingPiece{-1, "noise", impl_->faults.Noise(count), ""}});
}

void Simulator::SendRaw(const std::string& bytes) {
    if (bytes.empty()) return;
    std::lock_guard lock(impl_->mutex);
    impl_->line.Write({OutgoingPiece{-1, "raw", bytes, ""}});
}

// --- transcript and waits --------------------------------------------------------------------

std::vector<TranscriptEntry> Simulator::Transcript(std::size_t from) const {
    return impl_->transcript.From(from);
}

std::size_t Simulator::TranscriptSize() const {
    return impl_->transcript.EndIndex();
}

std::optional<std::size_t> Simulator::WaitFor(
    const std::function<bool(const TranscriptEntry&)>& match, std::chrono::milliseconds timeout,
    std::size_t from) const {
    return impl_->transcript.WaitFor(match, timeout, from);
}

bool Simulator::WaitUntilIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(impl_->mutex);
    return impl_->roundDone.wait_for(lock, timeout, [this] { return impl_->Idle(); });
}

bool Simulator::LineFailed() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->line.Failed();
}

void Simulator::SetListener(std::function<void(const TranscriptEntry&)> listener) {
    impl_->transcript.SetListener(std::move(listener));
    // The thread hands the listener what is already there.
    impl_->line.Wake();
}

}  // namespace vxs_sim
