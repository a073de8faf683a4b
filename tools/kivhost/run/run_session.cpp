// What kivhost run holds while it runs.
#include "run/run_session.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "base/charset.h"
#include "base/numbers.h"
#include "host/tag_parse.h"
#include "kiv/kiv_tool.h"
#include "qorpro/qorpro_embed.h"

namespace kivhost {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long the command waits sleep at most between two looks.
constexpr milliseconds kWaitSlice{100};

// The tags the view needs: the monitoring copies of the frames, the event code and the badge
// holder's name. Defined by the tool when the configuration lacks them.
struct ViewTag {
    const char* address;
    int32_t dataType;
    TagRole role;
};
constexpr ViewTag kViewTags[] = {
    {"INCOMING", KIV_TYPE_STRING, TagRole::kIncoming},
    {"OUTGOING", KIV_TYPE_STRING, TagRole::kOutgoing},
    {"PENUM", KIV_TYPE_ANALOG, TagRole::kOther},
    {"PBNAM", KIV_TYPE_STRING, TagRole::kHolder},
};

TagRole RoleOf(const std::string& address) {
    for (const ViewTag& tag : kViewTags) {
        if (address == tag.address) {
            return tag.role;
        }
    }
    return TagRole::kOther;
}

bool IsViewAddress(const std::string& address) {
    for (const ViewTag& tag : kViewTags) {
        if (address == tag.address) {
            return true;
        }
    }
    return false;
}

// The log lines of a call that say why it failed (level 32), joined.
std::string Reason(const std::vector<LogEntry>& log) {
    std::string reason;
    for (const LogEntry& entry : log) {
        if (entry.level == 32) {
            reason += (reason.empty() ? "" : "; ") + entry.text;
        }
    }
    return LineToUtf8(reason);
}

std::string NumberText(double value) {
    char text[32];
    (void)std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

// A number as people and JSON write a tag's value: digits, and a fraction after a point; no
// sign, blank, exponent or hexadecimal, and nothing after it (a NUL byte among the rest).
bool ParseNumber(const std::string& text, double& value) {
    const auto digits = [&text](size_t from, size_t to) {
        return to > from && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                                        text.begin() + static_cast<std::ptrdiff_t>(to),
                                        [](char c) { return c >= '0' && c <= '9'; });
    };
    const size_t point = text.find('.');
    if (!digits(0, std::min(point, text.size())) ||
        (point != std::string::npos && !digits(point + 1, text.size()))) {
        return false;
    }
    value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value);
}

// The first control byte of a text value (NUL, CR, LF, ESC ...), or npos: a tag's text is
// printable, and a NUL would cut it after it was checked.
size_t ControlByte(const std::string& text) {
    return static_cast<size_t>(
        std::find_if(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }) -
        text.begin());
}

// The value area of a tag as the host hands it over: a number in the second 16-bit word, or
// a text of at most 79 characters.
struct ValueArea {
    alignas(8) unsigned char bytes[KIV_STRING_VALUE_SIZE] = {};
    uint16_t Number() const {
        uint16_t word = 0;
        std::memcpy(&word, bytes + 2, sizeof word);
        return word;
    }
    void SetNumber(uint16_t word) { std::memcpy(bytes + 2, &word, sizeof word); }
    std::string Text() const {
        const auto* text = reinterpret_cast<const char*>(bytes);
        return {text, strnlen(text, sizeof bytes)};
    }
};

GateAccess AccessOf(const HostTag& tag, ValueArea& area) {
    GateAccess gate{};
    gate.address = tag.address.c_str();
    gate.controller = tag.words.controller;
    gate.operation = tag.words.operation;
    gate.lockNumber = tag.words.lockNumber;
    gate.bitNumber = tag.words.bitNumber;
    gate.bitWidth = tag.words.bitWidth;
    gate.dataType = tag.dataType;
    gate.value = area.bytes;
    return gate;
}

std::string CurrentValue(const HostTag& tag) {
    if (tag.dataType == KIV_TYPE_STRING) {
        char text[QOR_TEXT_SIZE] = {};
        (void)qorGetText(tag.gateId, text, sizeof text);
        return text;
    }
    double value = 0.0;
    (void)qorGetValue(tag.gateId, &value);
    return NumberText(value);
}

// The tag's value as the host holds it, as people read it (UTF-8).
std::string ShownValue(const HostTag& tag) {
    return LineToUtf8(CurrentValue(tag));
}

// A text value typed or received (UTF-8) into the value area, in the line's code page.
bool SetText(ValueArea& area, const std::string& value, std::string& reason) {
    std::string bytes;
    if (!Utf8ToLine(value, bytes, reason)) {
        return false;
    }
    if (bytes.size() >= sizeof area.bytes) {
        reason = "a text value has at most 79 characters";
        return false;
    }
    bytes.copy(reinterpret_cast<char*>(area.bytes), bytes.size());
    return true;
}

}  // namespace

HostLine::HostLine(DriverSession& driver, int line, int32_t instanceNumber)
    : driver_(driver),
      line_(line),
      instanceNumber_(instanceNumber),
      memory_(driver.ZeroedInstance()) {}

HostLine::~HostLine() {
    Stop(milliseconds(5000));
}

int32_t HostLine::Call(uint32_t function, void* argument, std::vector<LogEntry>* log) {
    KivRequest request{};
    request.instance = memory_.data();
    request.functionNumber = function;
    request.instanceNumber = instanceNumber_;
    request.argument = argument;
    Monitor::SetCallerLine(line_);
    return driver_.Call(request, log);
}

int32_t HostLine::Parse(GateDescriptor& gate, std::vector<LogEntry>& log) {
    return Call(KIV_FN_PARSE, &gate, &log);
}

int32_t HostLine::ColdStart(const std::string& port, const LineSettings& settings,
                            int32_t answerTimeoutUnits, std::vector<LogEntry>& log) {
    CommParams params{};
    std::memcpy(params.portName, port.data(),
                port.size() < sizeof params.portName ? port.size() : sizeof params.portName);
    params.openPort = 1;
    params.answerTimeout = answerTimeoutUnits;
    params.lineSettings = settings;
    port_ = port;
    // Whatever the result, the instance may hold something that close must release.
    started_ = true;
    const int32_t result = Call(KIV_FN_COLD_START, &params, &log);
    running_ = result == KIV_OK;
    return result;
}

void HostLine::Stop(milliseconds bound) {
    if (!started_) {
        return;
    }
    started_ = false;
    const uint8_t clientId = memory_[0];
    // After a failed cold start no driver thread waits for the host's signal: close alone
    // releases the client.
    if (running_ && qorClientExists(clientId) != 0 && qorPostMessage(clientId, 0) == 0) {
        const auto deadline = Clock::now() + bound;
        while (qorClientExists(clientId) != 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(milliseconds(10));
        }
    }
    (void)Call(KIV_FN_CLOSE, nullptr, nullptr);
}

namespace {

// Why a write failed: the driver's lines, or, for a setup text it refused without one, what
// the tag takes.
std::string RefusalReason(const HostTag& tag, const std::vector<LogEntry>& log) {
    std::string reason = Reason(log);
    const char* form = kivToolTextForm(tag.address.c_str());
    if (reason.empty() && form != nullptr && tag.dataType == KIV_TYPE_STRING) {
        reason = tag.address + " takes " + form;
    }
    return reason;
}

}  // namespace

bool NamesRunTag(const TagConfig& config, int lines, const std::string& name) {
    std::string unprefixed = name;
    if (lines > 1) {
        const size_t colon = name.find(':');
        long long line = 0;
        if (colon == std::string::npos || !ParseInteger(name.substr(0, colon), line) || line < 1 ||
            line > lines) {
            unprefixed.clear();
        } else {
            unprefixed = name.substr(colon + 1);
        }
    }
    constexpr char kViewPrefix[] = "kivhost.";
    if (unprefixed.rfind(kViewPrefix, 0) == 0 &&
        IsViewAddress(unprefixed.substr(sizeof kViewPrefix - 1))) {
        return true;
    }
    for (const TagLine& entry : config.tags) {
        if (entry.name == unprefixed || entry.address == name) {
            return true;
        }
    }
    return IsViewAddress(name);
}

RunSession::RunSession(DriverSession& driver, Monitor& monitor)
    : driver_(driver), monitor_(monitor) {}

RunSession::~RunSession() = default;

HostLine& RunSession::AddLine(int32_t instanceNumber, const TagConfig& config, bool prefix,
                              std::unique_ptr<SimulatedLine> simulated,
                              std::vector<RefusedTag>& refused) {
    const int line = static_cast<int>(lines_.size()) + 1;
    lines_.push_back(std::make_unique<HostLine>(driver_, line, instanceNumber));
    monitor_.AddInstance(instanceNumber, line);
    simulated_.push_back(std::move(simulated));
    const std::string namePrefix = prefix ? std::to_string(line) + ":" : std::string();
    TagParser parser(driver_);

    auto define = [&](const std::string& name, const std::string& address, int32_t dataType,
                      const GateDescriptor& words) {
        const int32_t gate = qorDefineTag(name.c_str(), address.c_str(), instanceNumber, dataType);
        if (gate < 0) {
            return false;
        }
        HostTag tag{line, name, address, dataType, gate, words};
        byName_[name] = tags_.size();
        tags_.push_back(tag);
        monitor_.AddTag(gate, MonitoredTag{line, name, address, dataType, RoleOf(address)});
        return true;
    };

    for (const TagLine& entry : config.tags) {
        const ParsedTag parsed = parser.Parse(entry.address, entry.dataType);
        const std::string name = namePrefix + entry.name;
        if (parsed.result != KIV_OK) {
            refused.push_back({line, entry.lineNumber, name, entry.address, WordsOrReason(parsed)});
            continue;
        }
        if (!define(name, entry.address, entry.dataType, parsed.words)) {
            refused.push_back(
                {line, entry.lineNumber, name, entry.address, "the name is taken by another tag"});
        }
    }
    for (const ViewTag& view : kViewTags) {
        if (qorFindTagByAddress(instanceNumber, view.address) < 0) {
            (void)define(namePrefix + "kivhost." + view.address, view.address, view.dataType,
                         parser.Parse(view.address, view.dataType).words);
        }
    }
    return *lines_.back();
}

SimulatedLine* RunSession::Simulated(int line) {
    if (line < 1 || static_cast<size_t>(line) > simulated_.size()) {
        return nullptr;
    }
    return simulated_[static_cast<size_t>(line) - 1].get();
}

void RunSession::CloseSimulatedLines() {
    for (auto& simulated : simulated_) {
        simulated.reset();
    }
}

const HostTag* RunSession::FindTag(const std::string& name) const {
    const auto found = byName_.find(name);
    if (found != byName_.end()) {
        return &tags_[found->second];
    }
    for (const HostTag& tag : tags_) {
        if (tag.line == 1 && tag.address == name) {
            return &tag;
        }
    }
    return nullptr;
}

std::vector<std::pair<int, std::string>> RunSession::TagNames() const {
    std::vector<std::pair<int, std::string>> names;
    names.reserve(tags_.size());
    for (const HostTag& tag : tags_) {
        names.emplace_back(tag.line, tag.name);
    }
    return names;
}

Json RunSession::TagRecord(const std::string& name) const {
    const HostTag* tag = FindTag(name);
    if (tag == nullptr) {
        return nullptr;
    }
    Json record = {{"name", ByteText(tag->name)}, {"address", ByteText(tag->address)}};
    if (tag->dataType == KIV_TYPE_STRING) {
        record["value"] = ShownValue(*tag);
    } else {
        double value = 0.0;
        (void)qorGetValue(tag->gateId, &value);
        record["value"] = value;
    }
    return record;
}

CommandOutcome RunSession::Write(const std::string& name, const std::string& value,
                                 std::vector<LogEntry>* callLog) {
    const HostTag* tag = FindTag(name);
    if (tag == nullptr) {
        return {false, "no tag '" + name + "'"};
    }
    ValueArea area;
    if (tag->dataType == KIV_TYPE_STRING) {
        std::string reason;
        if (const size_t at = ControlByte(value); at < value.size()) {
            char byte[8];
            (void)std::snprintf(byte, sizeof byte, "0x%02X",
                                static_cast<unsigned>(static_cast<unsigned char>(value[at])));
            return {false, std::string("the text holds a control byte (") + byte + ")"};
        }
        if (!SetText(area, value, reason)) {
            return {false, reason};
        }
    } else {
        double number = 0.0;
        if (!ParseNumber(value, number) || number < 0 || number > 65535 ||
            number != std::floor(number)) {
            return {false, "the value of " + name + " is a whole number from 0 to 65535"};
        }
        area.SetNumber(static_cast<uint16_t>(number));
    }
    GateAccess gate = AccessOf(*tag, area);
    std::vector<LogEntry> log;
    const int32_t result =
        lines_[static_cast<size_t>(tag->line) - 1]->Call(KIV_FN_SINGLE_WRITE, &gate, &log);
    if (callLog != nullptr) {
        *callLog = log;
    }
    CommandOutcome outcome;
    outcome.ok = result == KIV_OK;
    outcome.extra["result"] = result;
    if (outcome.ok) {
        // The host keeps the value written (a command tag the driver set back to 0 reads 0).
        const Monitor::HostStore store;
        if (tag->dataType == KIV_TYPE_STRING) {
            (void)qorSetText(tag->gateId, area.Text().c_str());
        } else {
            (void)qorSetValue(tag->gateId, area.Number());
        }
        outcome.detail = "result 0";
    } else {
        const std::string reason = RefusalReason(*tag, log);
        outcome.detail =
            "result " + std::to_string(result) + (reason.empty() ? std::string() : ": " + reason);
        outcome.extra["reason"] = reason;
    }
    return outcome;
}

CommandOutcome RunSession::Read(const std::string& name) {
    const HostTag* tag = FindTag(name);
    if (tag == nullptr) {
        return {false, "no tag '" + name + "'"};
    }
    ValueArea area;
    GateAccess gate = AccessOf(*tag, area);
    std::vector<LogEntry> log;
    const int32_t result =
        lines_[static_cast<size_t>(tag->line) - 1]->Call(KIV_FN_READ, &gate, &log);
    CommandOutcome outcome;
    outcome.extra["result"] = result;
    if (result != KIV_OK) {
        outcome.ok = false;
        outcome.detail =
            "the driver has no value for " + name + " (result " + std::to_string(result) + ")";
        return outcome;
    }
    outcome.detail =
        tag->dataType == KIV_TYPE_STRING ? LineToUtf8(area.Text()) : std::to_string(area.Number());
    outcome.extra["value"] =
        tag->dataType == KIV_TYPE_STRING ? Json(outcome.detail) : Json(area.Number());
    return outcome;
}

CommandOutcome RunSession::Show(const std::string& name) {
    const HostTag* tag = FindTag(name);
    if (tag == nullptr) {
        return {false, "no tag '" + name + "'"};
    }
    const std::string value = ShownValue(*tag);
    const Monitor::TagHistory history = monitor_.History(tag->gateId);
    CommandOutcome outcome;
    char when[64] = "never changed by the driver";
    if (history.changedAt >= 0) {
        (void)std::snprintf(when, sizeof when, "changed at %.3f s", history.changedAt);
    }
    outcome.detail = tag->name + " = " + value + ", " + when + " (" +
                     std::to_string(history.stores) +
                     (history.stores == 1 ? " store)" : " stores)");
    if (tag->dataType == KIV_TYPE_STRING) {
        outcome.extra["value"] = value;
    } else {
        double number = 0.0;
        (void)qorGetValue(tag->gateId, &number);
        outcome.extra["value"] = number;
    }
    outcome.extra["changedAt"] = history.changedAt >= 0 ? Json(history.changedAt) : Json(nullptr);
    outcome.extra["stores"] = history.stores;
    return outcome;
}

template <typename Done>
bool RunSession::WaitUntil(milliseconds timeout, Done done) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const uint64_t seen = qorChangeCount();
        if (done()) {
            return true;
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (interrupted_ || left.count() <= 0) {
            return false;
        }
        (void)qorWaitForChange(seen, static_cast<int32_t>(std::min(left, kWaitSlice).count()));
    }
}

CommandOutcome RunSession::Wait(const std::string& name, const std::string& value,
                                milliseconds timeout) {
    const HostTag* tag = FindTag(name);
    if (tag == nullptr) {
        return {false, "no tag '" + name + "'"};
    }
    double expected = 0.0;
    if (tag->dataType != KIV_TYPE_STRING && !ParseNumber(value, expected)) {
        return {false, "'" + value + "' is not a number"};
    }
    std::string bytes;
    std::string reason;
    if (tag->dataType == KIV_TYPE_STRING && !Utf8ToLine(value, bytes, reason)) {
        return {false, reason};
    }
    const bool reached = WaitUntil(timeout, [&] {
        if (tag->dataType == KIV_TYPE_STRING) {
            return CurrentValue(*tag) == bytes;
        }
        double current = 0.0;
        (void)qorGetValue(tag->gateId, &current);
        return std::fabs(current - expected) < 1e-9;
    });
    if (reached) {
        return {true, name + " is " + value};
    }
    return {false, (interrupted_ ? "stopped"
                                 : "timed out after " + std::to_string(timeout.count()) + " ms") +
                       "; " + name + " is " + ShownValue(*tag)};
}

CommandOutcome RunSession::ExpectLog(const std::string& text, milliseconds timeout) {
    std::string bytes;
    std::string reason;
    if (!Utf8ToLine(text, bytes, reason)) {
        return {false, reason};
    }
    const auto deadline = Clock::now() + timeout;
    while (true) {
        const size_t count = qorLogCount();
        for (; logMark_ < count; ++logMark_) {
            char line[1024] = {};
            int level = 0;
            if (qorLogLine(logMark_, &level, line, sizeof line) == 0 &&
                std::strstr(line, bytes.c_str()) != nullptr) {
                ++logMark_;
                return {true, LineToUtf8(line)};
            }
        }
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (interrupted_ || left.count() <= 0) {
            return {false, interrupted_ ? "stopped"
                                        : "no log line with '" + text + "' within " +
                                              std::to_string(timeout.count()) + " ms"};
        }
        (void)qorWaitForLog(count + 1, static_cast<int32_t>(std::min(left, kWaitSlice).count()));
    }
}

CommandOutcome RunSession::Sleep(milliseconds duration) {
    std::unique_lock<std::mutex> lock(sleepMutex_);
    sleepWake_.wait_for(lock, duration, [this] { return interrupted_.load(); });
    return {true, ""};
}

CommandOutcome RunSession::Event(int line, const SimulatedEvent& event) {
    SimulatedLine* simulated = Simulated(line);
    if (simulated == nullptr) {
        return {false, "events can be sent on a simulated line only"};
    }
    std::string error;
    if (!simulated->InjectEvent(event, error)) {
        return {false, error};
    }
    return {true, ""};
}

CommandOutcome RunSession::SimulatorCommand(int line, const std::string& text) {
    SimulatedLine* simulated = Simulated(line);
    if (simulated == nullptr) {
        return {false, "the simulator takes commands on a simulated line only"};
    }
    std::string error;
    if (!simulated->SimulatorCommand(text, error)) {
        return {false, "the simulator refuses '" + text + "': " + error};
    }
    return {true, ""};
}

void RunSession::Interrupt() {
    {
        const std::lock_guard<std::mutex> lock(sleepMutex_);
        interrupted_ = true;
    }
    sleepWake_.notify_all();
}

}  // namespace kivhost
