// The simulated line on Linux: the line simulator on a pseudo-terminal, and the demo scenario.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <random>
#include <thread>

#include "system/simulated_line.h"
#include "vxs_sim/command_interpreter.h"
#include "vxs_sim/simulator.h"

namespace kivhost {

namespace {

// What the demo sends, for a door or reader of a controller on the line: badge events of a
// badge that an add-key write makes known (key 0, badge 1), of another (badge 2) and of one
// that is never added, door state changes and a reader going off and on.
// Readers and doors share their numbers on the line.
struct DemoStep {
    int code;
    uint32_t badge;
};
constexpr DemoStep kDemoSteps[] = {
    {0, 1}, {10, 0}, {9, 0}, {17, 2}, {15, 0}, {16, 0}, {7, 0}, {18, 0x2A}, {8, 0}, {0, 0x2A},
};

class PtyLine final : public SimulatedLine {
public:
    PtyLine(const SimulatedLineOptions& options, std::unique_ptr<vxs_sim::Simulator> simulator)
        : options_(options), simulator_(std::move(simulator)), random_(options.seed) {}
    ~PtyLine() override { EndDemo(); }
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    std::string PortName() const override {
        // Relative to /dev, as the driver takes it: "pts/5".
        const std::string& path = simulator_->DevicePath();
        const std::string dev = "/dev/";
        return path.compare(0, dev.size(), dev) == 0 ? path.substr(dev.size()) : path;
    }
    std::string DevicePath() const override { return simulator_->DevicePath(); }

    bool InjectEvent(const SimulatedEvent& event, std::string& error) override {
        if (event.code < 0 || event.code > 99 || event.unit < 0 || event.unit > 98) {
            error = "the event code is 0 to 99 and the unit 0 to 98";
            return false;
        }
        vxs_sim::EventSpec frame;
        // A door or reader belongs to controller unit / 2; a unit of another kind is sent by
        // the first controller on the line.
        frame.controller = ControllerOf(event.unit);
        frame.code = event.code;
        frame.unit = event.unit + 1;
        frame.badge = event.badge;
        try {
            simulator_->InjectEvent(frame);
        } catch (const std::exception& failure) {
            error = failure.what();
            return false;
        }
        return true;
    }

    bool SimulatorCommand(const std::string& text, std::string& error) override {
        const vxs_sim::CommandResult result = vxs_sim::RunCommandLine(*simulator_, text);
        if (result.status == vxs_sim::CommandResult::Status::kError) {
            error = result.message;
            return false;
        }
        return true;
    }

    void StartDemo() override {
        for (const int controller : options_.controllers) {
            vxs_sim::ControllerStatus status;
            status.mode = 1;
            status.statusWord = 0x0110;  // a lock bit and a door bit set
            status.analog = {12, 340 + controller, 0, 4095};
            simulator_->SetStatus(controller, status);
        }
        if (options_.eventsPerSecond <= 0.0) {
            return;
        }
        const std::lock_guard<std::mutex> lock(mutex_);
        stop_ = false;
        demo_ = std::thread([this] { Demo(); });
    }

    void StopDemo() override { EndDemo(); }

    std::vector<std::string> TranscriptJson() const override {
        std::vector<std::string> lines;
        for (const vxs_sim::TranscriptEntry& entry : simulator_->Transcript()) {
            lines.push_back(vxs_sim::FormatJson(entry));
        }
        return lines;
    }

private:
    void EndDemo() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (demo_.joinable()) {
            demo_.join();
        }
    }

    int ControllerOf(int unit) const {
        const int controller = unit / 2;
        const auto& present = options_.controllers;
        return std::find(present.begin(), present.end(), controller) != present.end()
                   ? controller
                   : present.front();
    }

    void Demo() {
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(1.0 / options_.eventsPerSecond));
        auto next = std::chrono::steady_clock::now() + period;
        size_t step = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_until(lock, next, [this] { return stop_; })) {
            next += period;
            const DemoStep& demo = kDemoSteps[step++ % std::size(kDemoSteps)];
            const auto& present = options_.controllers;
            const int controller = present[random_() % present.size()];
            SimulatedEvent event;
            event.code = demo.code;
            event.unit = 2 * controller + static_cast<int>(random_() % 2);
            event.badge = demo.badge;
            std::string error;
            lock.unlock();
            (void)InjectEvent(event, error);
            lock.lock();
        }
    }

    SimulatedLineOptions options_;
    std::unique_ptr<vxs_sim::Simulator> simulator_;
    std::minstd_rand random_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread demo_;
};

}  // namespace

std::unique_ptr<SimulatedLine> StartSimulatedLine(const SimulatedLineOptions& options,
                                                  std::string& error) {
    if (options.controllers.empty()) {
        error = "the simulated line needs at least one controller";
        return nullptr;
    }
    vxs_sim::SimulatorOptions simulatorOptions;
    simulatorOptions.controllers = options.controllers;
    simulatorOptions.baud = options.baud;
    // A line that runs for days keeps the newest part of its transcript only.
    simulatorOptions.transcriptLimit = 100000;
    try {
        return std::make_unique<PtyLine>(options, vxs_sim::Simulator::OnPty(simulatorOptions));
    } catch (const std::exception& failure) {
        error = std::string("the line simulator cannot start: ") + failure.what();
        return nullptr;
    }
}

}  // namespace kivhost
