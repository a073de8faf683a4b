// What kivhost run sees of the driver.
#include "host/monitor.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

#include "host/driver_session.h"
#include "kiv/kiv_abi.h"
#include "qorpro/qorpro_embed.h"

namespace kivhost {

namespace {

// An empty object with room for 'members': records are made by the dozen for every event, and
// growing the members' list one by one would allocate it again and again.
Json ObjectOf(size_t members) {
    Json object = Json::object();
    object.get_ref<Json::object_t&>().reserve(members);
    return object;
}

thread_local int tCallerLine = 0;
thread_local bool tHostStore = false;

// The monitor the driver's cold starts reach (one run at a time).
std::atomic<Monitor*> gAttached{nullptr};

// The outcomes of an attempt, by KivMonitorOutcome.
constexpr const char* kOutcomes[] = {"answered", "wait failed", "timed out", "shut down",
                                     "send failed"};

// The unit tags an event sets (the driver's event record names the tag's keyword), in words,
// and the kind of unit the tag's number counts.
struct UnitTagWords {
    const char* keyword;
    const char* words;
    const char* unitKind;
};
constexpr UnitTagWords kUnitTagWords[] = {
    {"PSRCC", "reader communication", "controller"},
    {"PSRDR", "reader", "reader"},
    {"PSPWR", "power", "controller"},
    {"PSBTR", "battery", "controller"},
    {"PCTRL", "controller", "controller"},
};

const UnitTagWords* UnitTagWordsOf(const char* keyword) {
    for (const UnitTagWords& words : kUnitTagWords) {
        if (keyword != nullptr && std::strcmp(words.keyword, keyword) == 0) {
            return &words;
        }
    }
    return nullptr;
}

// The progress lines of the setup download.
constexpr char kProgressPrefix[] = "RIRODI: DownLoadFromFile() ";
constexpr char kProgressDone[] = "done, ";

bool ParseProgress(const char* text, Json& record) {
    if (std::strncmp(text, kProgressPrefix, sizeof kProgressPrefix - 1) != 0) {
        return false;
    }
    const char* rest = text + sizeof kProgressPrefix - 1;
    const bool done = std::strncmp(rest, kProgressDone, sizeof kProgressDone - 1) == 0;
    if (done) {
        rest += sizeof kProgressDone - 1;
    }
    unsigned sent = 0;
    unsigned total = 0;
    unsigned failed = 0;
    char end = '\0';
    if (std::sscanf(rest, "%u of %u lines sent, %u faile%c", &sent, &total, &failed, &end) != 4) {
        return false;
    }
    record["sent"] = sent;
    record["total"] = total;
    record["failed"] = failed;
    record["done"] = done;
    return true;
}

}  // namespace

std::string EventName(const KivMonitorRecord& event) {
    const std::string door =
        event.doorState >= 0 ? "door state " + std::to_string(event.doorState) : std::string();
    if (event.badgeEvent != 0) {
        return door.empty() ? "badge (" + std::to_string(event.code) + ")" : "badge, " + door;
    }
    if (!door.empty()) {
        return door;
    }
    if (const UnitTagWords* words = UnitTagWordsOf(event.unitTag)) {
        return std::strcmp(words->keyword, "PCTRL") == 0
                   ? std::string(words->words)
                   : std::string(words->words) + " " + std::to_string(event.unitTagValue);
    }
    return "event " + std::to_string(event.code);
}

std::string EventType(const KivMonitorRecord& event) {
    if (event.badgeEvent != 0) {
        return "badge";
    }
    if (event.doorState >= 0 && event.doorState <= 3) {
        return "door state " + std::to_string(event.doorState);
    }
    const UnitTagWords* words = UnitTagWordsOf(event.unitTag);
    if (words == nullptr || event.doorState >= 0) {
        return "other";
    }
    if (std::strcmp(words->keyword, "PCTRL") == 0) {
        return words->words;
    }
    // The driver sets these tags to 0 or 1 only.
    return event.unitTagValue == 0 || event.unitTagValue == 1
               ? std::string(words->words) + " " + std::to_string(event.unitTagValue)
               : "other";
}

std::vector<std::string> EventTypes() {
    std::vector<std::string> types = {"badge"};
    for (int state = 0; state <= 3; ++state) {
        types.push_back("door state " + std::to_string(state));
    }
    for (const UnitTagWords& words : kUnitTagWords) {
        if (std::strcmp(words.keyword, "PCTRL") == 0) {
            types.emplace_back(words.words);
        } else {
            types.push_back(std::string(words.words) + " 0");
            types.push_back(std::string(words.words) + " 1");
        }
    }
    types.emplace_back("other");
    return types;
}

const char* UnitKindOf(const KivMonitorRecord& event) {
    const UnitTagWords* words = UnitTagWordsOf(event.unitTag);
    return words != nullptr ? words->unitKind : "door";
}

std::string TraceText(const std::string& bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "<LF>";
        } else if (c == '\r') {
            out += "<CR>";
        } else if (c == '<' || byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            (void)std::snprintf(escaped, sizeof escaped, "<%02X>", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

Monitor::Monitor() : start_(std::chrono::steady_clock::now()) {}

Monitor::~Monitor() {
    Detach();
}

void Monitor::AddTag(int32_t gateId, const MonitoredTag& tag) {
    if (gateId < 1) {
        return;
    }
    if (tags_.size() <= static_cast<size_t>(gateId)) {
        tags_.resize(static_cast<size_t>(gateId) + 1);
    }
    tags_[static_cast<size_t>(gateId)] = tag;
    if (holderGates_.size() <= static_cast<size_t>(tag.line)) {
        holderGates_.resize(static_cast<size_t>(tag.line) + 1, -1);
    }
    if (tag.role == TagRole::kHolder) {
        holderGates_[static_cast<size_t>(tag.line)] = gateId;
    }
}

void Monitor::AddInstance(int32_t instanceNumber, int line) {
    if (instanceNumber < 0) {
        return;
    }
    if (lines_.size() <= static_cast<size_t>(instanceNumber)) {
        lines_.resize(static_cast<size_t>(instanceNumber) + 1, 0);
    }
    lines_[static_cast<size_t>(instanceNumber)] = line;
}

int Monitor::LineOf(int32_t instanceNumber) const {
    return instanceNumber >= 0 && static_cast<size_t>(instanceNumber) < lines_.size()
               ? lines_[static_cast<size_t>(instanceNumber)]
               : 0;
}

// The exported function the driver finds (posix/, win32/).
void* MonitorExport();

void Monitor::Attach() {
    (void)MonitorExport();
    qorSetChangeCallback(&Monitor::OnChange, this);
    qorSetLogCallback(&Monitor::OnLog, this);
    DriverSession::SetLogLinesHanded(true);
    gAttached = this;
}

void Monitor::Detach() {
    Monitor* self = this;
    (void)gAttached.compare_exchange_strong(self, nullptr);
    qorSetChangeCallback(nullptr, nullptr);
    qorSetLogCallback(nullptr, nullptr);
    DriverSession::SetLogLinesHanded(false);
}

void Monitor::FillHook(int32_t instanceNumber, KivMonitorHook* hook) {
    Monitor* monitor = gAttached.load();
    if (hook != nullptr && monitor != nullptr && monitor->LineOf(instanceNumber) != 0) {
        hook->sink = &Monitor::OnRecord;
        hook->context = monitor;
    }
}

void KIV_CDECL Monitor::OnRecord(const KivMonitorRecord* record, void* self) {
    if (record != nullptr) {
        static_cast<Monitor*>(self)->Recorded(*record);
    }
}

void Monitor::Recorded(const KivMonitorRecord& record) {
    const int line = LineOf(record.instanceNumber);
    if (record.kind == KIV_MON_THREAD) {
        tCallerLine = line;
        return;
    }
    const double t = Seconds();
    const std::string bytes =
        record.bytes != nullptr ? std::string(record.bytes, record.count) : std::string();
    if (record.kind == KIV_MON_FRAME_SENT || record.kind == KIV_MON_FRAME_RECEIVED) {
        Json frame = ObjectOf(6);
        frame["t"] = t;
        frame["type"] = "frame";
        frame["line"] = line;
        frame["dir"] = record.kind == KIV_MON_FRAME_SENT ? "out" : "in";
        frame["text"] = TraceText(bytes);
        frame["hex"] = HexBytes(bytes.data(), bytes.size());
        Emit(std::move(frame));
        return;
    }
    const char* kind = nullptr;
    switch (record.kind) {
    case KIV_MON_ILLEGAL_FRAME: kind = "illegal frame"; break;
    case KIV_MON_EVENT:
        kind = "event";
        Emit(EventRecord(line, record, bytes, t));
        break;
    case KIV_MON_STATUS: kind = "status report"; break;
    case KIV_MON_ATTEMPT: kind = "attempt"; break;
    case KIV_MON_POLL_SILENT: kind = "silent in the poll"; break;
    default: return;
    }
    const bool attempt = record.kind == KIV_MON_ATTEMPT;
    int controller = record.controller;
    if (attempt) {
        // A command frame names its controller after ";>"; one without names controller 0.
        controller =
            bytes.size() > 3 && bytes.compare(1, 2, ";>") == 0 && bytes[3] >= '0' && bytes[3] <= '7'
                ? bytes[3] - '0'
                : 0;
    }
    const bool known = record.code >= 0 && static_cast<size_t>(record.code) < std::size(kOutcomes);
    Json said = ObjectOf(9);
    said["t"] = t;
    said["type"] = "monitor";
    said["line"] = line;
    said["kind"] = kind;
    said["controller"] = controller >= 0 ? Json(controller) : Json(nullptr);
    said["code"] = record.kind == KIV_MON_EVENT ? Json(record.code) : Json(nullptr);
    said["attempt"] = attempt ? Json(record.attempt) : Json(nullptr);
    said["outcome"] = attempt ? Json(known ? kOutcomes[record.code] : "unknown") : Json(nullptr);
    said["frame"] = bytes.empty() ? Json(nullptr) : Json(TraceText(bytes));
    Emit(std::move(said));
}

double Monitor::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Monitor::Emit(Json record) {
    if (sink_) {
        sink_(record);
    }

    bool first = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        first = records_.empty();
        records_.push_back(std::move(record));
    }
    // Take takes every record: a taker woken for the first one finds the others too.
    if (first) {
        ready_.notify_one();
    }
}

std::vector<Json> Monitor::Take(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    ready_.wait_for(lock, timeout, [this] { return !records_.empty(); });
    std::vector<Json> taken(std::make_move_iterator(records_.begin()),
                            std::make_move_iterator(records_.end()));
    records_.clear();
    return taken;
}

void Monitor::SetCallerLine(int line) {
    tCallerLine = line;
}

Monitor::HostStore::HostStore() {
    tHostStore = true;
}

Monitor::HostStore::~HostStore() {
    tHostStore = false;
}

Monitor::TagHistory Monitor::History(int32_t gateId) {
    const std::lock_guard<std::mutex> lock(storesMutex_);
    if (gateId < 1 || static_cast<size_t>(gateId) >= stored_.size()) {
        return {};
    }
    return stored_[static_cast<size_t>(gateId)].history;
}

void Monitor::OnChange(int32_t gateId, void* self) {
    static_cast<Monitor*>(self)->Changed(gateId);
}

void Monitor::OnLog(int level, const char* text, void* self) {
    static_cast<Monitor*>(self)->Logged(level, text != nullptr ? text : "");
}

void Monitor::Changed(int32_t gateId) {
    if (tHostStore || gateId < 1 || static_cast<size_t>(gateId) >= tags_.size() ||
        tags_[static_cast<size_t>(gateId)].line == 0) {
        return;
    }
    const MonitoredTag& tag = tags_[static_cast<size_t>(gateId)];
    if (tag.role == TagRole::kIncoming || tag.role == TagRole::kOutgoing) {
        return;  // the frames themselves come as monitoring records
    }
    const double t = Seconds();
    StoredValue now;
    now.text = tag.dataType == KIV_TYPE_STRING;
    if (now.text) {
        char area[QOR_TEXT_SIZE] = {};
        (void)qorGetText(gateId, area, sizeof area);
        now.bytes = area;
    } else {
        (void)qorGetValue(gateId, &now.number);
    }
    bool changed = false;
    if (!Store(gateId, tag.line, now, t, changed)) {
        return;
    }
    // Member by member: a list of pairs would make an array of each pair first.
    Json record = ObjectOf(7);
    record["t"] = t;
    record["type"] = "tag";
    record["line"] = tag.line;
    record["name"] = ByteText(tag.name);
    record["address"] = ByteText(tag.address);
    record["value"] = now.text ? LineText(now.bytes.c_str()) : Json(now.number);
    record["changed"] = changed;
    Emit(std::move(record));
}

bool Monitor::Store(int32_t gateId, int line, const StoredValue& now, double t, bool& changed) {
    const std::lock_guard<std::mutex> lock(storesMutex_);
    if (stored_.size() <= static_cast<size_t>(gateId)) {
        stored_.resize(static_cast<size_t>(gateId) + 1);
    }
    Stored& stored = stored_[static_cast<size_t>(gateId)];
    // A store of the value the tag holds already is a store, not a change (a tag holds 0 or
    // the empty text until the driver first stores into it).
    changed = !stored.value.Same(now);
    ++stored.history.stores;
    if (changed) {
        ++stored.history.changes;
        stored.history.changedAt = t;
        stored.value = now;
    }
    if (changed || recordRepeats_ || stored.history.stores == 1) {
        return true;
    }
    if (unrecorded_.size() <= static_cast<size_t>(line)) {
        unrecorded_.resize(static_cast<size_t>(line) + 1, 0);
    }
    ++unrecorded_[static_cast<size_t>(line)];
    return false;
}

uint64_t Monitor::UnrecordedStores(int line) {
    const std::lock_guard<std::mutex> lock(storesMutex_);
    return line >= 0 && static_cast<size_t>(line) < unrecorded_.size()
               ? unrecorded_[static_cast<size_t>(line)]
               : 0;
}

Json Monitor::EventRecord(int line, const KivMonitorRecord& published, const std::string& text,
                          double t) {
    const int code = published.code;
    Json record = ObjectOf(12);
    record["t"] = t;
    record["type"] = "event";
    record["line"] = line;
    record["code"] = code;
    record["name"] = EventName(published);
    record["unitKind"] = UnitKindOf(published);
    record["eventType"] = EventType(published);
    record["unit"] = published.unit >= 0 ? Json(published.unit) : Json(nullptr);
    // The controller's time of the event: what follows "V " up to the first comma.
    const size_t v = text.find("V ");
    const size_t comma = text.find(',', v);
    record["time"] = v != std::string::npos && comma != std::string::npos
                         ? ByteText(text.substr(v + 2, comma - v - 2))
                         : Json(nullptr);
    const bool badge = published.badgeEvent != 0;
    // The key number the driver looked the badge up by.
    record["key"] = published.key != nullptr ? LineText(published.key) : Json(nullptr);
    Json holder = nullptr;
    const int32_t holderGate = holderGates_[static_cast<size_t>(line)];
    if (badge && holderGate > 0) {
        char name[QOR_TEXT_SIZE] = {};
        (void)qorGetText(holderGate, name, sizeof name);
        holder = LineText(name);
    }
    record["holder"] = holder;
    return record;
}

void Monitor::Logged(int level, const char* text) {
    DriverSession::TakeLogLine(level, text);
    const double t = Seconds();
    const int line = tCallerLine;
    Json progress = {{"t", t}, {"type", "progress"}};
    const bool isProgress = ParseProgress(text, progress);
    Emit({{"t", t},
          {"type", "log"},
          {"line", line != 0 ? Json(line) : Json(nullptr)},
          {"level", level},
          {"text", LineText(text)}});
    if (isProgress) {
        progress["line"] = line != 0 ? Json(line) : Json(nullptr);
        Emit(std::move(progress));
    }
}

}  // namespace kivhost
