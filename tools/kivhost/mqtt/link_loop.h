// The one thread that drives the links of all lines to the broker (broker_link.h). It polls
// their sockets beside one wake-up event, which any thread sets once it queued something for a
// line; one wake-up serves every line's queue.
//
// With dozens of lines, a thread for each woke for every event of its line and again for each
// acknowledgement. One thread takes what several lines queued meanwhile in one turn, and after
// a wake-up it lets a short gather pass first, so that an event's message and the tags it changed
// leave in one segment and the broker's acknowledgements come back together.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace kivhost {

class BrokerLink;

class LinkLoop {
public:
    LinkLoop();
    ~LinkLoop();
    LinkLoop(const LinkLoop&) = delete;
    LinkLoop& operator=(const LinkLoop&) = delete;

    // Before Start.
    void Add(BrokerLink& link) { links_.push_back(&link); }
    void Start();
    // Any thread: the next turn serves every line.
    void Wake();
    // Once every link was asked to stop: returns when each has stopped.
    void Join();

private:
    void Run();
    // After a wake-up: lets what the driver makes of one event come, then takes the wake-up.
    void TakeWakeUp();

    int wake_ = -1;
    std::atomic<bool> wakeAsked_{false};
    std::vector<BrokerLink*> links_;
    std::thread thread_;
};

}  // namespace kivhost
