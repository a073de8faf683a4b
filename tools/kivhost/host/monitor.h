// What kivhost run sees of the driver: every store into a tag and every log line, as a host
// sees them, through the stand-in's callbacks; and the driver's monitoring records (frames sent
// and received, illegal frames, events and status reports published, each attempt of a command,
// controllers silent in the poll, which instance a thread works for), through the monitoring
// interface (kiv/kiv_monitor.h). They become records with a time stamp; the driver's threads
// make them, and they wait in a queue for the one thread that shows them.
//
// Every monitoring record names its instance. A log line is the line's of the instance that
// the writing thread works for: a driver thread says so at its start, a host call when it
// enters, and the tool knows which line it calls itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "kiv/kiv_monitor.h"

namespace kivhost {

// What a tag means to the monitor.
enum class TagRole {
    kOther,
    kIncoming,  // "INCOMING": the monitoring copy of every frame received
    kOutgoing,  // "OUTGOING": the monitoring copy of every frame sent
    kHolder,    // "PBNAM": the badge holder's name of the last badge event
};

struct MonitoredTag {
    int line = 0;  // from 1
    std::string name;
    std::string address;
    int32_t dataType = 0;
    TagRole role = TagRole::kOther;
};

// Bytes for the trace and the view: LF and CR as <LF> and <CR>, "<" and every byte outside
// 0x20 to 0x7E as <XX> (two upper-case hexadecimal digits).
std::string TraceText(const std::string& bytes);

// An event record in words, from what the driver made of its code: "badge, door state 0",
// "badge (17)", "door state 3", "power 1", "controller" (whose tag is only ever set to 1),
// "event 23" for a code that sets nothing; and the kind of unit its unit number counts (door,
// reader or controller).
std::string EventName(const KivMonitorRecord& event);
const char* UnitKindOf(const KivMonitorRecord& event);

// An event's type from a closed list, for consumers that want one (Home Assistant's event
// entity): "badge", "door state 0" to "door state 3", "reader 0", "power 1", ... as EventName
// says them, "controller", and "other" for what has no words (such as "event 23").
std::string EventType(const KivMonitorRecord& event);
// Every type EventType gives, in a fixed order.
std::vector<std::string> EventTypes();

class Monitor {
public:
    Monitor();
    ~Monitor();
    Monitor(const Monitor&) = delete;
    Monitor& operator=(const Monitor&) = delete;

    // Before Attach: the tag behind a gate identifier; the line of an instance number.
    void AddTag(int32_t gateId, const MonitoredTag& tag);
    // Before Attach: also hands every record to 'sink', on the thread that made it (the MQTT
    // gateway's queue; it must not wait).
    void SetSink(std::function<void(const Json&)> sink) { sink_ = std::move(sink); }
    // Before Attach: whether a store of the value a tag holds already becomes a record too (to
    // print every store). Without, such a store is only counted (UnrecordedStores): on a busy
    // line repeated stores are most of the records, and nothing but their count is wanted.
    // A tag's first store is always recorded.
    void RecordRepeatedStores(bool record) { recordRepeats_ = record; }
    // The driver's stores into a line's tags that made no record. Any thread.
    uint64_t UnrecordedStores(int line);
    void AddInstance(int32_t instanceNumber, int line);
    // Sets and clears the stand-in's callbacks. Detach only once no driver thread runs.
    void Attach();
    void Detach();

    // Seconds since the monitor was made.
    double Seconds() const;

    // A record of the tool's own (command results, the start of a line).
    void Emit(Json record);

    // Waits up to 'timeout' for records and takes them all (one thread takes).
    std::vector<Json> Take(std::chrono::milliseconds timeout);

    // The line the calling thread works for, until changed (for the log lines it causes).
    static void SetCallerLine(int line);
    // While one lives, stores into tags on this thread are the host's own, not the driver's.
    class HostStore {
    public:
        HostStore();
        ~HostStore();
        HostStore(const HostStore&) = delete;
        HostStore& operator=(const HostStore&) = delete;
    };

    // Fills in the monitoring hook the driver asks for at a cold start: the attached monitor's
    // sink for an instance it knows, else none.
    static void FillHook(int32_t instanceNumber, KivMonitorHook* hook);

    // What the driver stored into a tag so far: how often, how often with a new value, and the
    // time (Seconds) of the last new value; -1 when it never stored one.
    struct TagHistory {
        uint64_t stores = 0;
        uint64_t changes = 0;
        double changedAt = -1.0;
    };
    TagHistory History(int32_t gateId);

private:
    static void OnChange(int32_t gateId, void* self);
    static void OnLog(int level, const char* text, void* self);
    static void KIV_CDECL OnRecord(const KivMonitorRecord* record, void* self);
    void Recorded(const KivMonitorRecord& record);
    int LineOf(int32_t instanceNumber) const;
    void Changed(int32_t gateId);
    void Logged(int level, const char* text);
    // An event published, in words, with the holder's name the driver stored for it.
    Json EventRecord(int line, const KivMonitorRecord& published, const std::string& text,
                     double t);

    const std::chrono::steady_clock::time_point start_;
    std::vector<MonitoredTag> tags_;         // by gate identifier; fixed once attached
    std::function<void(const Json&)> sink_;  // fixed once attached
    std::vector<int32_t> holderGates_;       // by line
    std::vector<int> lines_;                 // by instance number; fixed once attached
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Json> records_;
    // A tag's value as the host keeps it: the line's bytes of a text, or a number (0 and the
    // empty text before the first store).
    struct StoredValue {
        bool text = false;
        std::string bytes;
        double number = 0.0;
        // The same value as 'now', of the tag's type ('now' says which): the same bytes, or the
        // same number to the bit (-0 is not 0, as their texts differ).
        bool Same(const StoredValue& now) const {
            return now.text ? bytes == now.bytes
                            : std::memcmp(&number, &now.number, sizeof number) == 0;
        }
    };
    struct Stored {
        TagHistory history;
        StoredValue value;  // the value last stored
    };
    // Keeps a store of 'now' into the tag; whether it makes a record, and whether it changed
    // the tag's value.
    bool Store(int32_t gateId, int line, const StoredValue& now, double t, bool& changed);

    // Apart from the records' queue: every driver thread stores, and the view takes records.
    std::mutex storesMutex_;
    std::vector<Stored> stored_;        // by gate identifier, under storesMutex_
    std::vector<uint64_t> unrecorded_;  // by line, under storesMutex_
    bool recordRepeats_ = true;         // fixed once attached
};

}  // namespace kivhost
