// The thread that serves every line's link to the broker.
#include "mqtt/link_loop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "mqtt/broker_link.h"

namespace kivhost {

namespace {

// What the driver makes of one event (the event, then the tags it stores) comes within about a
// millisecond; a subscriber's latency grows by this much at most.
constexpr std::chrono::milliseconds kGather{2};
constexpr int kLongestWaitMs = 1000;

}  // namespace

LinkLoop::LinkLoop() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

LinkLoop::~LinkLoop() {
    Join();
    if (wake_ >= 0) {
        (void)close(wake_);
    }
}

void LinkLoop::Start() {
    thread_ = std::thread([this] { Run(); });
}

void LinkLoop::Wake() {
    // One write until the loop took it: a wake-up serves every line.
    if (!wakeAsked_.exchange(true) && wake_ >= 0) {
        const uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
}

void LinkLoop::Join() {
    if (thread_.joinable()) {
        thread_.join();
    }
    links_.clear();
}

void LinkLoop::TakeWakeUp() {
    std::this_thread::sleep_for(kGather);
    uint64_t ignored = 0;
    (void)!read(wake_, &ignored, sizeof ignored);
    // Before any line is served: what is queued from now on wakes the loop again.
    wakeAsked_.store(false);
}

void LinkLoop::Run() {
    std::vector<BrokerLink*> running = links_;
    std::vector<pollfd> entries;
    while (!running.empty()) {
        entries.assign(running.size() + 1, pollfd{-1, 0, 0});
        entries[0] = {wake_, POLLIN, 0};
        int timeoutMs = kLongestWaitMs;
        for (size_t i = 0; i < running.size(); ++i) {
            running[i]->Prepare(entries[i + 1], timeoutMs);
        }
        (void)poll(entries.data(), entries.size(), timeoutMs);
        const bool woken = (entries[0].revents & POLLIN) != 0;
        if (woken) {
            TakeWakeUp();
        }
        for (size_t i = 0; i < running.size(); ++i) {
            running[i]->Serve(entries[i + 1].revents, woken);
        }
        const auto stopped = std::remove_if(running.begin(), running.end(), [](BrokerLink* link) {
            if (!link->Stopped()) {
                return false;
            }
            link->Finish();
            return true;
        });
        running.erase(stopped, running.end());
    }
}

}  // namespace kivhost
