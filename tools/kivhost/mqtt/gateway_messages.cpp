// What the gateway publishes, and one line's queue of it.
#include "mqtt/gateway_messages.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string_view>

namespace kivhost {

namespace {

// Writes value as exactly width decimal digits ending at end.
void PutDigits(char* end, int width, int value) {
    for (int i = 1; i <= width; ++i, value /= 10) {
        end[-i] = static_cast<char>('0' + value % 10);
    }
}

}  // namespace

// The civil calendar of <chrono> rather than gmtime: the same on every system, and no format
// string for each message the gateway stamps.
std::string UtcText(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto now = floor<milliseconds>(when);
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    std::string text = "0000-00-00T00:00:00.000Z";
    PutDigits(&text[4], 4, static_cast<int>(date.year()));
    PutDigits(&text[7], 2, static_cast<int>(static_cast<unsigned>(date.month())));
    PutDigits(&text[10], 2, static_cast<int>(static_cast<unsigned>(date.day())));
    PutDigits(&text[13], 2, static_cast<int>(time.hours().count()));
    PutDigits(&text[16], 2, static_cast<int>(time.minutes().count()));
    PutDigits(&text[19], 2, static_cast<int>(time.seconds().count()));
    PutDigits(&text[23], 3, static_cast<int>(time.subseconds().count()));
    return text;
}

std::string UtcNow() {
    return UtcText(std::chrono::system_clock::now());
}

Json PayloadValue(const Json& value) {
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (std::fabs(number) < 9.0e15 && number == std::floor(number)) {
            return static_cast<int64_t>(number);
        }
    }
    return value;
}

size_t JsonNesting(const std::string& text, size_t limit) {
    size_t depth = 0;
    size_t deepest = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size() && deepest <= limit; ++i) {
        const char c = text[i];
        if (inString) {
            i += c == '\\' ? 1 : 0;  // an escaped character, a quote among them
            inString = c != '"';
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

namespace {

bool JsonWriteValue(const std::string& payload, std::string& value, std::string& error,
                    Json* transaction) {
    if (JsonNesting(payload, kMaxWriteNesting) > kMaxWriteNesting) {
        error = "the request nests deeper than " + std::to_string(kMaxWriteNesting) + " levels";
        return false;
    }
    const Json request = Json::parse(payload, nullptr, false);
    if (request.is_discarded() || !request.is_object() || !request.contains("value")) {
        error = "the request is not a JSON object with a member \"value\"";
        return false;
    }
    if (transaction != nullptr && request.contains("transaction")) {
        *transaction = request["transaction"];
    }
    const Json& member = request["value"];
    if (member.is_string()) {
        value = member.get<std::string>();
    } else if (member.is_number() && std::isfinite(member.get<double>())) {
        value = member.dump();  // as written: 1.0000000001 stays what it is
    } else {
        error = member.is_number() ? "\"value\" is not a finite number"
                                   : "\"value\" is a number or a text";
        return false;
    }
    return true;
}

}  // namespace

bool WriteValue(const std::string& payload, std::string& value, std::string& error,
                Json* transaction) {
    if (payload.size() > kMaxWriteRequest) {
        error = "the request has " + std::to_string(payload.size()) + " bytes; a write takes " +
                std::to_string(kMaxWriteRequest) + " at most";
        return false;
    }
    if (!payload.empty() && payload.front() == '{') {
        return JsonWriteValue(payload, value, error, transaction);
    }
    value = payload;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
        value.pop_back();
    }
    return true;
}

LineQueue::LineQueue(const MqttSettings& settings, int line, bool severalLines)
    : settings_(settings),
      line_(line),
      severalLines_(severalLines),
      prefix_("vxs/" + settings.site + "/" + std::to_string(line) + "/"),
      eventTopic_(prefix_ + "event") {}

namespace {

// An event's type for Home Assistant's event entity, "other" for a record that has none.
const Json& EventTypeOf(const Json& record) {
    static const Json kOther = "other";
    const Json& type = MemberOf(record, "eventType");
    return type.is_string() ? type : kOther;
}

// A flat JSON object written member by member, byte for byte as Dump writes the object made of
// the same members (the keys here are plain ASCII), without building that object. One
// serializer writes every value into the text: Dump would make an output and a text for each.
class FlatObject {
public:
    explicit FlatObject(size_t room)
        : serializer_(nlohmann::detail::output_adapter<char>(text_), ' ',
                      Json::error_handler_t::replace) {
        text_.reserve(room);
    }
    FlatObject(const FlatObject&) = delete;
    FlatObject& operator=(const FlatObject&) = delete;
    FlatObject& Add(const char* key, const Json& value) {
        text_ += text_.empty() ? "{\"" : ",\"";
        text_ += key;
        text_ += "\":";
        serializer_.dump(value, false, true, 0);
        return *this;
    }
    // A text, or null when there is none: through one JSON text kept for them all, not a new
    // one for each.
    FlatObject& AddText(const char* key, const std::string_view* text) {
        if (text == nullptr) {
            return Add(key, nullptr);
        }
        scratch_.get_ref<std::string&>().assign(*text);
        return Add(key, scratch_);
    }
    FlatObject& AddText(const char* key, std::string_view text) { return AddText(key, &text); }
    std::string Done() {
        text_ += text_.empty() ? "{}" : "}";
        return std::move(text_);
    }

private:
    std::string text_;
    nlohmann::detail::serializer<Json> serializer_;  // writes into text_
    Json scratch_ = "";
};

}  // namespace

bool LineQueue::Offer(const Json& record) {
    const std::string& type = TextOf(record, "type");
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!QueueRecord(type, record)) {
        return false;
    }
    // The link's thread takes everything queued when it wakes: one wake-up is enough until it
    // has.
    const bool wake = !wakeAsked_;
    wakeAsked_ = true;
    return wake;
}

void LineQueue::Woken() {
    const std::lock_guard<std::mutex> lock(mutex_);
    wakeAsked_ = false;
}

bool LineQueue::QueueRecord(const std::string& type, const Json& record) {
    if (type == "start") {
        for (const char* key : {"port", "device", "simulated", "instance", "result"}) {
            lineInfo_[key] = record[key];
        }
        stateDue_ = true;
    } else if (type == "frame") {
        CountFrame(record);
        return false;
    } else if (type == "log") {
        CountLog(record);
        return false;
    } else if (type == "tag") {
        return QueueTag(record);
    } else if (type == "event") {
        QueueEvent(record);
    } else {
        return false;
    }
    return true;
}

void LineQueue::CountFrame(const Json& record) {
    if (TextOf(record, "dir") == "out") {
        ++framesOut_;
    } else {
        ++framesIn_;
        lastFrameText_ = TextOf(record, "text");  // into the text's room, no new one
        lastFrameHex_ = TextOf(record, "hex");
    }
}

void LineQueue::CountLog(const Json& record) {
    const std::string& text = TextOf(record, "text");
    if (text.rfind("RIRODI: Illegal message was received", 0) == 0) {
        ++illegalFrames_;
    }
    if (text.find("time-out") != std::string::npos) {
        ++timeouts_;
    }
}

bool LineQueue::QueueTag(const Json& record) {
    ++tagStores_;
    const auto changed = record.find("changed");
    const bool isChange = changed != record.end() && changed->is_boolean() && changed->get<bool>();
    if (isChange) {
        ++tagChanges_;
    }
    const std::string& address = TextOf(record, "address");
    if (address.size() > 1 && address[0] >= '0' && address[0] <= '7') {
        controllers_.insert(address[0] - '0');
    }
    const Json& value = MemberOf(record, "value");
    if (address == "PBNA2" && value.is_string()) {
        holder2_ = value.get_ref<const std::string&>();
    } else if (address == "PBCOD" && value.is_string()) {
        badgeCode_ = value.get_ref<const std::string&>();
    }
    const std::string& name = TextOf(record, "name");
    // The retained message holds the value and when it changed: the driver storing the same
    // value again is not published. A tag's first store is (it makes the retained state whole),
    // and so is the host's own store after a write (its record says nothing of a change).
    if (changed != record.end() && !isChange && tagTopics_.count(name) != 0) {
        return false;
    }
    QueueTagMessage(TagTopic(name), TagPayload(value, address));
    return true;
}

void LineQueue::QueueTagMessage(const std::string& topic, std::string payload) {
    OutMessage message;
    message.kind = OutMessage::Kind::kTag;
    message.retain = true;
    message.topic = topic;
    message.payload = std::move(payload);
    message.order = ++order_;
    latestTags_[message.topic] = message.payload;
    const auto pending = tags_.find(message.topic);
    if (pending == tags_.end()) {
        tagOrder_.push_back(message.topic);
        tags_.emplace(message.topic, std::move(message));
    } else {
        pending->second = std::move(message);  // only the newest value matters
    }
}

void LineQueue::Reconnected() {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A broker that lost its retained messages (restarted without persistence) has every tag
    // again; one that kept them is told the same.
    for (const auto& [topic, payload] : latestTags_) {
        if (tags_.count(topic) != 0) {
            continue;  // a newer value waits already
        }
        QueueTagMessage(topic, payload);
    }
}

const std::string& LineQueue::TagTopic(const std::string& name) {
    const auto known = tagTopics_.find(name);
    if (known != tagTopics_.end()) {
        return known->second;
    }
    std::string level = name;
    const std::string linePrefix = std::to_string(line_) + ":";
    if (severalLines_ && level.rfind(linePrefix, 0) == 0) {
        // Several lines: the host's names carry "N:", the topic has the line already.
        level = level.substr(linePrefix.size());
    }
    return tagTopics_.emplace(name, prefix_ + "tag/" + TopicLevel(level)).first->second;
}

std::string LineQueue::TagPayload(const Json& value, const std::string& address) {
    return FlatObject(96)
        .Add("value", PayloadValue(value))
        .AddText("address", address)
        .AddText("time", UtcNow())
        .Done();
}

void LineQueue::QueueEvent(const Json& record) {
    ++eventCount_;
    const Json& unit = MemberOf(record, "unit");
    Json controller = nullptr;
    if (unit.is_number_integer() && unit.get<int>() >= 0) {
        const int number = unit.get<int>();
        controller = TextOf(record, "unitKind") == "controller" ? number : number / 2;
        controllers_.insert(controller.get<int>());
    }
    const Json& key = MemberOf(record, "key");
    const bool badge = !key.is_null();
    // The badge number: the frame's text between its last comma and the ";" after it.
    std::string_view badgeNumber;
    const size_t comma = lastFrameText_.rfind(',');
    const size_t semicolon = lastFrameText_.find(';', comma == std::string::npos ? 0 : comma);
    const bool numbered = badge && comma != std::string::npos && semicolon != std::string::npos;
    if (numbered) {
        badgeNumber = std::string_view(lastFrameText_).substr(comma + 1, semicolon - comma - 1);
    }
    const std::string_view holder2 = holder2_;
    const std::string_view badgeCode = badgeCode_;
    OutMessage message;
    message.kind = OutMessage::Kind::kEvent;
    message.topic = eventTopic_;
    message.payload = FlatObject(512)
                          .Add("seq", Json(++sequence_))
                          .AddText("time", UtcNow())
                          .Add("code", MemberOf(record, "code"))
                          .Add("name", MemberOf(record, "name"))
                          .Add("event_type", EventTypeOf(record))
                          .Add("unitKind", MemberOf(record, "unitKind"))
                          .Add("unit", unit)
                          .Add("controller", controller)
                          .Add("controllerTime", MemberOf(record, "time"))
                          .AddText("badge", numbered ? &badgeNumber : nullptr)
                          .Add("key", key)
                          .Add("holder", MemberOf(record, "holder"))
                          .AddText("holder2", badge ? &holder2 : nullptr)
                          .AddText("badgeCode", badge ? &badgeCode : nullptr)
                          .AddText("frame", lastFrameText_)
                          .AddText("frameHex", lastFrameHex_)
                          .Done();
    message.order = ++order_;
    if (events_.size() >= settings_.queueSize) {
        events_.pop_front();  // the oldest goes: its sequence number shows the gap
        ++dropped_;
        stateDue_ = true;
    }
    events_.push_back(std::move(message));
}

void LineQueue::Send(OutMessage message) {
    const std::lock_guard<std::mutex> lock(mutex_);
    message.order = ++order_;
    control_.push_back(std::move(message));
}

void LineQueue::RequestStop(GatewayClock::time_point deadline) {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopRequested_ = true;
    stopDeadline_ = deadline;
}

void LineQueue::StateDue() {
    const std::lock_guard<std::mutex> lock(mutex_);
    stateDue_ = stateDue_ || !stopRequested_;
}

std::string LineQueue::StatePayload(bool online, int connects) const {
    Json state = {
        {"state", online ? "online" : "offline"}, {"site", settings_.site}, {"line", line_}};
    for (const auto& [key, value] : lineInfo_.items()) {
        state[key] = value;
    }
    const uint64_t stores = tagStores_ + (unrecordedStores_ ? unrecordedStores_() : 0);
    state["controllersHeard"] = Json(std::vector<int>(controllers_.begin(), controllers_.end()));
    state["counters"] = {{"framesIn", framesIn_},     {"framesOut", framesOut_},
                         {"events", eventCount_},     {"tagStores", stores},
                         {"tagChanges", tagChanges_}, {"illegalFrames", illegalFrames_},
                         {"timeouts", timeouts_}};
    state["queue"] = {{"events", events_.size()},
                      {"tags", tags_.size()},
                      {"capacity", settings_.queueSize},
                      {"dropped", dropped_}};
    state["connects"] = connects;
    state["since"] = started_;
    state["time"] = UtcNow();
    return Dump(state);
}

bool LineQueue::Next(OutMessage& message, int connects) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stateDue_ && !stopRequested_) {
        stateDue_ = false;
        message = StateMessage(true, connects);
        return true;
    }
    if (!control_.empty()) {
        message = std::move(control_.front());
        control_.pop_front();
        return true;
    }
    if (!events_.empty()) {
        message = std::move(events_.front());
        events_.pop_front();
        return true;
    }
    while (!tagOrder_.empty()) {
        const auto found = tags_.find(tagOrder_.front());
        tagOrder_.pop_front();
        if (found != tags_.end()) {
            message = std::move(found->second);
            tags_.erase(found);
            return true;
        }
    }
    if (stopRequested_ && !finalSent_) {
        finalSent_ = true;
        message = StateMessage(false, connects);
        return true;
    }
    return false;
}

OutMessage LineQueue::StateMessage(bool online, int connects) {
    OutMessage message;
    message.topic = prefix_ + "state";
    message.payload = StatePayload(online, connects);
    message.retain = true;
    message.order = ++order_;
    return message;
}

void LineQueue::PutBack(std::vector<OutMessage> messages) {
    std::sort(messages.begin(), messages.end(),
              [](const OutMessage& a, const OutMessage& b) { return a.order < b.order; });
    const std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        switch (it->kind) {
        case OutMessage::Kind::kEvent: events_.push_front(std::move(*it)); break;
        case OutMessage::Kind::kTag:
            if (tags_.find(it->topic) == tags_.end()) {
                tagOrder_.push_front(it->topic);
                tags_.emplace(it->topic, std::move(*it));
            }
            break;
        case OutMessage::Kind::kControl:
            if (it->topic != prefix_ + "state") {
                control_.push_front(std::move(*it));
            } else if (!stopRequested_) {
                stateDue_ = true;
            } else {
                finalSent_ = false;
            }
            break;
        }
    }
    stateDue_ = stateDue_ || !stopRequested_;
}

LineQueue::Look LineQueue::Progress() {
    const std::lock_guard<std::mutex> lock(mutex_);
    Look look;
    look.stopping = stopRequested_;
    look.deadline = stopDeadline_;
    look.drained = control_.empty() && events_.empty() && tags_.empty() && finalSent_;
    look.waiting = events_.size() + control_.size() + tags_.size();
    return look;
}

uint64_t LineQueue::Dropped() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

uint64_t LineQueue::DropsToReport(GatewayClock::time_point now, GatewayClock::duration every) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (dropped_ <= droppedLogged_ || now < nextDropReport_) {
        return 0;
    }
    const uint64_t dropped = dropped_ - droppedLogged_;
    droppedLogged_ = dropped_;
    nextDropReport_ = now + every;
    return dropped;
}

}  // namespace kivhost
