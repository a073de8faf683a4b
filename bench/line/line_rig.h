// What the line benchmarks and the soak share: the driver live on simulated lines.
//
// The driver runs as kivhost --driver built-in runs it (the copy linked in, over the stand-in
// host library). The simulator plays the controllers on a pseudo-terminal. A pseudo-terminal has
// no baud rate: for the line speeds a relay between the simulator's terminal and the driver's
// passes the bytes each way no faster than the wire would (10 bits a byte), in pieces of at most
// 16 bytes (as a UART's receive FIFO hands them over), each when its last byte has crossed.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "paced_relay.h"
#include "qorpro/qorpro_embed.h"
#include "vxs_sim/simulator.h"

namespace linebench {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The value at fraction 'q' (0 to 1) of sorted values.
inline double Quantile(std::vector<double> values, double q) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

using kivtest::PacedRelay;
using kivtest::Pty;

// Tag changes of watched tags (one group per line), with the time the host saw them.
class TagChanges {
public:
    TagChanges() {
        qorSetChangeCallback(
            [](int32_t gate, void* self) { static_cast<TagChanges*>(self)->Seen(gate); }, this);
    }
    ~TagChanges() { qorSetChangeCallback(nullptr, nullptr); }
    TagChanges(const TagChanges&) = delete;
    TagChanges& operator=(const TagChanges&) = delete;

    void Watch(int32_t gate, size_t group) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (gates_.size() <= static_cast<size_t>(gate)) {
            gates_.resize(static_cast<size_t>(gate) + 1, SIZE_MAX);
        }
        gates_[static_cast<size_t>(gate)] = group;
        seen_.resize(std::max(seen_.size(), group + 1));
    }
    size_t Count(size_t group) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return seen_[group].size();
    }
    std::vector<Clock::time_point> Times(size_t group) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return seen_[group];
    }
    bool WaitFor(size_t group, size_t count, Clock::duration bound) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return seen_[group].size() >= count; });
    }

private:
    void Seen(int32_t gate) {
        const auto now = Clock::now();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (gate < 0 || static_cast<size_t>(gate) >= gates_.size() ||
                gates_[static_cast<size_t>(gate)] == SIZE_MAX) {
                return;
            }
            seen_[gates_[static_cast<size_t>(gate)]].push_back(now);
        }
        changed_.notify_all();
    }
    std::vector<size_t> gates_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<Clock::time_point>> seen_;
};

// One driver instance in host memory on a line.
class Instance {
public:
    explicit Instance(int32_t number) : number_(number) {
        memory_ = ::operator new(sizeof(kiv::DriverInstance),
                                 std::align_val_t(alignof(kiv::DriverInstance)));
        std::memset(memory_, 0, sizeof(kiv::DriverInstance));
    }
    ~Instance() {
        const uint8_t client = *static_cast<uint8_t*>(memory_);
        if (started_ && qorClientExists(client) != 0 && qorPostMessage(client, 0) == 0) {
            const auto bound = Clock::now() + milliseconds(5000);
            while (qorClientExists(client) != 0 && Clock::now() < bound) {
                std::this_thread::sleep_for(milliseconds(5));
            }
        }
        Call(KIV_FN_CLOSE, nullptr);
        ::operator delete(memory_, std::align_val_t(alignof(kiv::DriverInstance)));
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    bool Start(const std::string& device, uint16_t baud) {
        const std::string port = device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device;
        CommParams params{};
        std::memcpy(params.portName, port.data(), std::min(port.size(), sizeof params.portName));
        params.openPort = 1;
        params.answerTimeout = 100;
        params.lineSettings = LineSettings{baud, 8, 0, 0};
        started_ = true;
        return Call(KIV_FN_COLD_START, &params) == KIV_OK;
    }

    // Writes 1 to a command tag of controller 'controller' (operation 'operation', the address
    // such as "0FSTAT"), as a host's write does; the driver's result.
    int32_t Command(const char* address, int32_t controller, int32_t operation) {
        alignas(8) unsigned char area[KIV_STRING_VALUE_SIZE] = {};
        const uint16_t one = 1;
        std::memcpy(area + 2, &one, sizeof one);
        GateAccess gate{};
        gate.address = address;
        gate.controller = controller;
        gate.operation = operation;
        gate.bitNumber = -1;
        gate.bitWidth = 16;
        gate.dataType = KIV_TYPE_ANALOG;
        gate.value = area;
        return Call(KIV_FN_SINGLE_WRITE, &gate);
    }

private:
    int32_t Call(uint32_t function, void* argument) {
        KivRequest request{memory_, function, number_, 0, argument};
        return KivMain(&request);
    }
    int32_t number_;
    void* memory_;
    bool started_ = false;
};

// The process's threads.
inline std::vector<long> Threads() {
    std::vector<long> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        threads.push_back(std::stol(entry.path().filename().string()));
    }
    return threads;
}

// A line: the simulator, the driver's instance on it (through a paced relay, if a baud rate is
// given; else straight on the simulator's pseudo-terminal), and its event code tag "PENUM".
struct Line {
    std::unique_ptr<Pty> simulatorSide;
    std::unique_ptr<Pty> driverSide;
    std::unique_ptr<vxs_sim::Simulator> simulator;
    std::unique_ptr<PacedRelay> relay;
    std::unique_ptr<Instance> instance;
    int baud;

    // 'threadsBefore', when given, receives the threads of the process just before the cold
    // start: the ones after it that are not among them are the driver's.
    Line(size_t index, int lineBaud, TagChanges& tags, vxs_sim::SimulatorOptions options,
         std::vector<long>* threadsBefore = nullptr)
        : baud(lineBaud) {
        std::string device;
        if (baud > 0) {
            simulatorSide = std::make_unique<Pty>();
            driverSide = std::make_unique<Pty>();
            simulator = vxs_sim::Simulator::OnDevice(simulatorSide->name, baud, options);
            relay = std::make_unique<PacedRelay>(simulatorSide->master, driverSide->master, baud);
            device = driverSide->name;
        } else {
            simulator = vxs_sim::Simulator::OnPty(options);
            device = simulator->DevicePath();
        }
        const auto number = static_cast<int32_t>(index + 1);
        const std::string name = "PENUM." + std::to_string(number);
        int32_t gate = qorFindTag(name.c_str());
        if (gate < 0) {
            gate = qorDefineTag(name.c_str(), "PENUM", number, KIV_TYPE_ANALOG);
        }
        tags.Watch(gate, index);
        instance = std::make_unique<Instance>(number);
        if (threadsBefore != nullptr) {
            *threadsBefore = Threads();
        }
        // The driver's own rate: any the termios table has; the relay sets the pace.
        if (!instance->Start(device,
                             static_cast<uint16_t>(baud > 0 && baud <= 57600 ? baud : 9600))) {
            std::fprintf(stderr, "cold start failed on %s\n", device.c_str());
            std::exit(1);
        }
    }
    ~Line() {
        instance.reset();
        relay.reset();
        simulator.reset();
    }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // Lets the start-up (the receiver's first cycle, the event-format command) pass.
    void Settle() const {
        std::this_thread::sleep_for(milliseconds(1500));
        (void)simulator->WaitUntilIdle(milliseconds(10000));
    }

    // The events the simulator gave up (sent again and again without an acknowledgement).
    size_t GivenUp() const {
        size_t count = 0;
        for (const auto& entry : simulator->Transcript()) {
            count += entry.kind == "given-up" ? 1 : 0;
        }
        return count;
    }
};

// Controllers 0 and 1, acknowledging at once.
inline vxs_sim::SimulatorOptions TwoControllers() {
    vxs_sim::SimulatorOptions options;
    options.controllers = {0, 1};
    options.timing.ackDelay = milliseconds(0);
    options.transcriptLimit = 20000;
    return options;
}

inline vxs_sim::EventSpec DoorEvent(int i, int controllers = 2) {
    vxs_sim::EventSpec event;
    event.controller = i % controllers;
    event.code = 10;
    event.unit = 1 + i % 4;
    return event;
}

// Events a second the wire carries at 'baud' when each event (its command text 'text', framed
// as LF ";" text ";" four digits CR) is followed by the driver's acknowledgement (LF "A" CR).
inline double WireEventsPerSecond(int baud, const std::string& text) {
    return baud / 10.0 / static_cast<double>(text.size() + 8 + 3);
}

}  // namespace linebench
