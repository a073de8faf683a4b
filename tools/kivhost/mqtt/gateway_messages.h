// What the gateway publishes: the run's records turned into topics and payloads, and one
// line's queue of them until the broker has them. No network here: the link (broker_link.h)
// takes the messages from the queue.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/json_text.h"
#include "mqtt/mqtt_gateway.h"

namespace kivhost {

using GatewayClock = std::chrono::steady_clock;

struct OutMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    bool hasCorrelation = false;
    std::string correlation;
    uint64_t order = 0;  // of the line's queue, so that messages put back keep their order
    enum class Kind { kControl, kEvent, kTag } kind = Kind::kControl;
};

// A time as the payloads carry it: "2026-12-09T14:30:00.123Z".
std::string UtcText(std::chrono::system_clock::time_point when);
std::string UtcNow();

// A tag's value as the payload carries it: whole numbers without a fraction, texts as texts.
Json PayloadValue(const Json& value);

// What a write request may be: its value is at most 79 characters, so a request is short and
// flat; a larger or deeper one is refused before it is parsed.
inline constexpr size_t kMaxWriteRequest = 1024;  // bytes
inline constexpr size_t kMaxWriteNesting = 8;     // arrays and objects inside each other

// The value of a write request: the bare payload (a trailing line end dropped), or the member
// "value" of a JSON object (a finite number, as written, or a text); false with the reason.
// A JSON object's member "transaction", any value, goes to 'transaction' (when given) so that
// the result can carry it back to a client that has no correlation data (MQTT 3.1.1).
bool WriteValue(const std::string& payload, std::string& value, std::string& error,
                Json* transaction = nullptr);

// The deepest nesting of arrays and objects in a JSON text, the brackets inside strings passed
// over; it stops counting once past 'limit'.
size_t JsonNesting(const std::string& text, size_t limit);

// One line's messages: the monitor's records become state, tag and event messages, queued until
// the line's link takes them. Events are kept in order up to the queue size (the oldest goes
// first, its sequence number shows the gap); of each tag only the newest value waits. Every
// member is under one lock: the driver's threads offer, the write thread sends, the link's
// thread takes and puts back.
class LineQueue {
public:
    LineQueue(const MqttSettings& settings, int line, bool severalLines);

    const std::string& Prefix() const { return prefix_; }  // vxs/<site>/<line>/
    int Line() const { return line_; }
    // Before the link starts: the stores into the line's tags that came as no record (the
    // state's "tagStores" counts them too).
    void CountUnrecordedStores(std::function<uint64_t()> count) {
        unrecordedStores_ = std::move(count);
    }

    // A record of the monitor; true when a message was queued and the link is to be woken: not
    // when a wake-up is asked for already and the link has not yet woken (Woken).
    bool Offer(const Json& record);
    // The link woke (before it takes the queued messages): the next record wakes it again.
    void Woken();
    // A message of the gateway's own (a write's result).
    void Send(OutMessage message);
    // From now on the queue is drained; the last message is the "offline" state.
    void RequestStop(GatewayClock::time_point deadline);
    // A state message is due (a new connection, or its interval passed), unless stopping.
    void StateDue();
    // A connection after the first: every tag's newest message is queued again (the newer one
    // where one waits).
    void Reconnected();

    // The next message: the "online" state when due, the gateway's own, events, tags, and
    // once stopping the "offline" state. 'connects' goes into the state.
    bool Next(OutMessage& message, int connects);
    // Messages the broker did not acknowledge, back at the front in their order.
    void PutBack(std::vector<OutMessage> messages);

    struct Look {
        bool stopping = false;
        GatewayClock::time_point deadline;
        bool drained = false;  // nothing left, the "offline" state taken
        size_t waiting = 0;
    };
    Look Progress();
    uint64_t Dropped() const;
    // Events dropped since the last report, when a report is due (at once, then at most every
    // 'every'); 0 when none or not due.
    uint64_t DropsToReport(GatewayClock::time_point now, GatewayClock::duration every);

private:
    // The state payload, under mutex_.
    std::string StatePayload(bool online, int connects) const;

    // The record's type's work; true when a message is due.
    bool QueueRecord(const std::string& type, const Json& record);
    void CountFrame(const Json& record);
    void CountLog(const Json& record);
    // False when the store is not published (the value it had).
    bool QueueTag(const Json& record);
    // Queued as the tag's newest value, and kept for a new connection.
    void QueueTagMessage(const std::string& topic, std::string payload);
    void QueueEvent(const Json& record);
    // The topic of a host's tag name, made once for each name.
    const std::string& TagTopic(const std::string& name);
    static std::string TagPayload(const Json& value, const std::string& address);
    OutMessage StateMessage(bool online, int connects);

    const MqttSettings& settings_;
    const int line_;
    const bool severalLines_;  // the host's tag names carry "N:"
    const std::string prefix_;
    const std::string eventTopic_;
    const std::string started_ = UtcNow();

    mutable std::mutex mutex_;
    std::deque<OutMessage> control_;
    std::deque<OutMessage> events_;
    std::map<std::string, OutMessage> tags_;  // by topic: the newest value of each
    std::deque<std::string> tagOrder_;
    std::unordered_map<std::string, std::string> tagTopics_;  // by the host's tag name
    std::map<std::string, std::string> latestTags_;           // by topic: the newest payload queued
    bool wakeAsked_ = false;
    uint64_t order_ = 0;
    uint64_t sequence_ = 0;
    uint64_t dropped_ = 0;
    uint64_t droppedLogged_ = 0;
    GatewayClock::time_point nextDropReport_ = GatewayClock::now();
    bool stateDue_ = true;
    bool stopRequested_ = false;
    bool finalSent_ = false;
    GatewayClock::time_point stopDeadline_;
    Json lineInfo_ = Json::object();
    std::set<int> controllers_;
    uint64_t framesIn_ = 0, framesOut_ = 0, eventCount_ = 0, tagStores_ = 0, tagChanges_ = 0;
    uint64_t illegalFrames_ = 0, timeouts_ = 0;
    std::string lastFrameText_, lastFrameHex_;
    std::string holder2_, badgeCode_;
    std::function<uint64_t()> unrecordedStores_;  // set before the link starts
};

}  // namespace kivhost
