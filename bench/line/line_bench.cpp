// The driver live on simulated lines, measured: event latency (last byte of the event on the
// line to the tag change the host sees), sustained events per second without loss on a line of
// 9600 and of 115200 baud, the idle CPU of a running instance, and the event rate per line with
// 16 lines in one process against one line. Prints numbers; it passes or fails nothing.
//
// The driver runs as kivhost --driver built-in runs it (the copy linked in, over the stand-in
// host library); its poll is moved out of the way. The simulator plays the controllers on a
// pseudo-terminal. A pseudo-terminal has no baud rate: for the line speeds a relay between the
// simulator's terminal and the driver's passes the bytes each way no faster than the wire would
// (10 bits a byte).
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "instance/driver_instance.h"
#include "kiv/kiv_abi.h"
#include "qorpro/qorpro_embed.h"
#include "scratch_folder.h"
#include "vxs_sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// A pseudo-terminal whose slave the driver opens.
struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        char path[128] = {};
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            std::perror("openpty");
            std::exit(1);
        }
        name = path;
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
    }
    ~Pty() {
        close(master);
        close(slave);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// Passes bytes between two descriptors, each way at most as fast as a wire of 'baud'.
class PacedRelay {
public:
    PacedRelay(int a, int b, int baud) : a_(a), b_(b), baud_(baud) {
        one_ = std::thread([this] { Pass(a_, b_); });
        two_ = std::thread([this] { Pass(b_, a_); });
    }
    ~PacedRelay() {
        stop_ = true;
        one_.join();
        two_.join();
    }
    PacedRelay(const PacedRelay&) = delete;
    PacedRelay& operator=(const PacedRelay&) = delete;

private:
    void Pass(int from, int to) {
        const double bytesPerSecond = baud_ / 10.0;
        std::string pending;
        Clock::time_point lineFree = Clock::now();
        while (!stop_) {
            pollfd in{from, POLLIN, 0};
            if (pending.empty() ? poll(&in, 1, 20) > 0 : poll(&in, 1, 0) > 0) {
                char buffer[512];
                const ssize_t n = read(from, buffer, sizeof buffer);
                if (n > 0) {
                    // Bytes for an idle wire start now.
                    if (pending.empty()) {
                        lineFree = std::max(lineFree, Clock::now());
                    }
                    pending.append(buffer, static_cast<size_t>(n));
                }
            }
            if (pending.empty()) {
                continue;
            }
            // The bytes whose last bit has left the wire by now go over.
            const Clock::time_point now = Clock::now();
            const auto due = static_cast<size_t>(
                std::chrono::duration<double>(now - lineFree).count() * bytesPerSecond);
            const size_t count = std::min(due, pending.size());
            if (count > 0) {
                (void)!write(to, pending.data(), count);
                pending.erase(0, count);
                lineFree += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(count / bytesPerSecond));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    int a_;
    int b_;
    int baud_;
    std::atomic<bool> stop_{false};
    std::thread one_;
    std::thread two_;
};

// Tag changes of the event code tag of every line, with the time the host saw them.
class EventTags {
public:
    EventTags() {
        qorSetChangeCallback(
            [](int32_t gate, void* self) { static_cast<EventTags*>(self)->Seen(gate); }, this);
    }
    ~EventTags() { qorSetChangeCallback(nullptr, nullptr); }
    EventTags(const EventTags&) = delete;
    EventTags& operator=(const EventTags&) = delete;

    void Watch(int32_t gate, size_t line) {
        if (gates_.size() <= static_cast<size_t>(gate)) {
            gates_.resize(static_cast<size_t>(gate) + 1, SIZE_MAX);
        }
        gates_[static_cast<size_t>(gate)] = line;
        seen_.resize(std::max(seen_.size(), line + 1));
    }
    size_t Count(size_t line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return seen_[line].size();
    }
    std::vector<Clock::time_point> Times(size_t line) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return seen_[line];
    }
    bool WaitFor(size_t line, size_t count, milliseconds bound) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, bound, [&] { return seen_[line].size() >= count; });
    }

private:
    void Seen(int32_t gate) {
        const auto now = Clock::now();
        if (gate < 0 || static_cast<size_t>(gate) >= gates_.size() ||
            gates_[static_cast<size_t>(gate)] == SIZE_MAX) {
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
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

    bool Start(const std::string& device) {
        const std::string port = device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device;
        CommParams params{};
        std::memcpy(params.portName, port.data(), std::min(port.size(), sizeof params.portName));
        params.openPort = 1;
        params.answerTimeout = 100;
        params.lineSettings = LineSettings{9600, 8, 0, 0};
        started_ = true;
        return Call(KIV_FN_COLD_START, &params) == KIV_OK;
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
std::vector<long> Threads() {
    std::vector<long> threads;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        threads.push_back(std::stol(entry.path().filename().string()));
    }
    return threads;
}

// The CPU time a thread used so far, in seconds.
double ThreadCpuSeconds(long thread) {
    char buffer[1024] = {};
    std::FILE* stat =
        std::fopen(("/proc/self/task/" + std::to_string(thread) + "/stat").c_str(), "r");
    if (stat == nullptr) {
        return 0;
    }
    const size_t length = std::fread(buffer, 1, sizeof buffer - 1, stat);
    (void)std::fclose(stat);
    const std::string text(buffer, length);
    // The fields after the command name in parentheses: state is the 3rd, utime the 14th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A line: the simulator, the driver's instance on it (through a paced relay, if a baud rate
// is given), and its event code tag.
struct Line {
    std::unique_ptr<Pty> simulatorSide;
    std::unique_ptr<Pty> driverSide;
    std::unique_ptr<vxs_sim::Simulator> simulator;
    std::unique_ptr<PacedRelay> relay;
    std::unique_ptr<Instance> instance;

    // 'threadsBefore', when given, receives the threads of the process just before the cold
    // start: the ones after it that are not among them are the driver's.
    Line(size_t index, int baud, EventTags& tags, std::vector<long>* threadsBefore = nullptr) {
        vxs_sim::SimulatorOptions options;
        options.controllers = {0, 1};
        options.timing.ackDelay = milliseconds(5);
        std::string device;
        if (baud > 0) {
            // The simulator on one terminal, the driver on another, the relay between them.
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
        if (!instance->Start(device)) {
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
    void Settle() const { (void)simulator->WaitUntilIdle(milliseconds(10000)); }
};

vxs_sim::EventSpec DoorEvent(int i) {
    vxs_sim::EventSpec event;
    event.controller = i % 2;
    event.code = 10;
    event.unit = 1 + i % 4;
    return event;
}

// Events one at a time at random moments: from the last byte on the line (the simulator
// records a frame once it is written) to the host's tag change.
void Latency(EventTags& tags) {
    Line line(0, 0, tags);
    std::this_thread::sleep_for(milliseconds(1500));
    line.Settle();
    // The simulator's clock: the smallest gap between an entry's time and its delivery.
    std::mutex mutex;
    Clock::duration offset = Clock::duration::max();
    std::vector<Clock::time_point> written;
    line.simulator->SetListener([&](const vxs_sim::TranscriptEntry& entry) {
        const auto now = Clock::now().time_since_epoch();
        const std::lock_guard<std::mutex> lock(mutex);
        offset = std::min<Clock::duration>(offset, now - entry.at);
        if (entry.direction == vxs_sim::TranscriptEntry::Direction::kSent &&
            entry.kind == "event") {
            written.push_back(Clock::time_point(entry.at));  // shifted by the offset below
        }
    });
    constexpr int kEvents = 400;
    std::srand(7);
    const size_t before = tags.Count(0);
    for (int i = 0; i < kEvents; ++i) {
        line.simulator->InjectEvent(DoorEvent(i));
        if (!tags.WaitFor(0, before + static_cast<size_t>(i) + 1, milliseconds(5000))) {
            std::printf("latency: event %d was not seen\n", i);
            return;
        }
        std::this_thread::sleep_for(milliseconds(std::rand() % 40));
    }
    line.simulator->SetListener(nullptr);
    const std::vector<Clock::time_point> seen = tags.Times(0);
    std::vector<double> latencies;
    {
        const std::lock_guard<std::mutex> lock(mutex);
        for (size_t i = 0; i < written.size() && before + i < seen.size(); ++i) {
            latencies.push_back(Ms(seen[before + i] - (written[i] + offset)));
        }
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf(
        "event latency (last byte on the line -> tag change): median %.1f ms, "
        "99th percentile %.1f ms, max %.1f ms (%zu events, one at a time)\n",
        latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100], latencies.back(),
        latencies.size());
}

// As many events as the line carries: a queue of 'count' events per line, sent one after
// another as the driver acknowledges them. Events per second per line, and whether each event
// reached its tag once.
std::vector<double> Sustained(EventTags& tags, size_t lines, int baud, int count) {
    std::vector<std::unique_ptr<Line>> all;
    for (size_t i = 0; i < lines; ++i) {
        all.push_back(std::make_unique<Line>(i, baud, tags));
    }
    std::this_thread::sleep_for(milliseconds(1500));
    for (auto& line : all) {
        line->Settle();
    }
    std::vector<size_t> before;
    for (size_t i = 0; i < lines; ++i) {
        before.push_back(tags.Count(i));
    }
    for (int e = 0; e < count; ++e) {
        for (auto& line : all) {
            line->simulator->InjectEvent(DoorEvent(e));
        }
    }
    const auto start = Clock::now();
    std::vector<double> rates;
    for (size_t i = 0; i < lines; ++i) {
        const bool all_seen =
            tags.WaitFor(i, before[i] + static_cast<size_t>(count), milliseconds(count * 200));
        const std::vector<Clock::time_point> seen = tags.Times(i);
        const size_t got = seen.size() - before[i];
        size_t resent = 0;
        for (const auto& entry : all[i]->simulator->Transcript()) {
            resent += entry.kind == "given-up" ? 1 : 0;
        }
        const double seconds = std::chrono::duration<double>(seen.back() - start).count();
        rates.push_back(got / seconds);
        if (!all_seen || got != static_cast<size_t>(count) || resent != 0) {
            std::printf("  line %zu: %zu of %d events reached the tag, %zu given up\n", i + 1, got,
                        count, resent);
        }
    }
    return rates;
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// One instance on a line where nothing happens (controllers present, no events): the CPU time
// of the threads the cold start started (those still running), and of the whole process with
// its idle simulator.
void IdleCpu(EventTags& tags) {
    // Idle as a line is once its start-up is over: the poll done (brought near here) and its
    // thread ended.
    kiv::timingDefaults.pollDelayMs = 1000;
    std::vector<long> before;
    Line line(0, 0, tags, &before);
    std::this_thread::sleep_for(milliseconds(10000));
    line.Settle();
    std::vector<long> driver;
    for (const long thread : Threads()) {
        if (std::find(before.begin(), before.end(), thread) == before.end()) {
            driver.push_back(thread);
        }
    }
    const auto driverCpu = [&] {
        double sum = 0;
        for (const long thread : driver) {
            sum += ThreadCpuSeconds(thread);
        }
        return sum;
    };
    constexpr int kSeconds = 30;
    const double driverBefore = driverCpu();
    const double processBefore = ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    const double driverUsed = driverCpu() - driverBefore;
    const double processUsed = ProcessCpuSeconds() - processBefore;
    std::printf(
        "idle CPU of one running instance: %.3f %% of a core (its %zu threads; the whole "
        "process with the idle simulator %.3f %%), over %d s\n",
        100.0 * driverUsed / kSeconds, driver.size(), 100.0 * processUsed / kSeconds, kSeconds);
}

}  // namespace

int main() {
    // The driver's files (an event log per line) go to a folder of the benchmark's own.
    const kivbench::ScratchFolder folder("kiv-line-bench");
    // The poll would send its queries in the middle of a measurement.
    kiv::timingDefaults.pollDelayMs = 3600 * 1000;
    EventTags tags;
    Latency(tags);
    for (const int baud : {9600, 115200}) {
        const auto rates = Sustained(tags, 1, baud, 150);
        std::printf("sustained events on a %d baud line, none lost: %.1f events/s\n", baud,
                    rates.front());
    }
    const double one = Sustained(tags, 1, 0, 150).front();
    const auto sixteen = Sustained(tags, 16, 0, 150);
    const double slowest = *std::min_element(sixteen.begin(), sixteen.end());
    double sum = 0;
    for (const double rate : sixteen) {
        sum += rate;
    }
    std::printf(
        "one line: %.1f events/s; 16 lines in one process: %.1f events/s per line on "
        "average, slowest %.1f (%.0f %% of one line)\n",
        one, sum / 16, slowest, 100.0 * slowest / one);
    IdleCpu(tags);
    return 0;
}
