#include "controller_model.h"

#include <algorithm>
#include <ctime>
#include <stdexcept>

#include "argument_checks.h"

namespace vxs_sim {

namespace {

// "DD/MM/YY" or "HH:MM:SS": digits in pairs with the separator between them.
bool IsPairedDigits(const std::string& text, char separator) {
    if (text.size() != 8) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool separatorPlace = i == 2 || i == 5;
        if (separatorPlace ? text[i] != separator : (text[i] < '0' || text[i] > '9')) return false;
    }
    return true;
}

std::string TwoDigits(int value) {
    std::string out(2, '0');
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out;
}

std::string HexUpper(uint32_t value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), kDigits[value & 0x0F]);
        value >>= 4;
    } while (value != 0);
    return out;
}

}  // namespace

ControllerModel::ControllerModel(const std::vector<int>& present, TranscriptLog& transcript)
    : transcript_(transcript) {
    for (const int c : present) {
        CheckController(c);
        At(c).present = true;
    }
    for (Controller& controller : controllers_) {
        controller.timeZones['0'] = "T 0,00:00:00,23:59:59,MTWTFSS----";
        controller.parameters['L'] = "S L,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5";
        controller.parameters['M'] = "S M,1";
    }
}

ControllerModel::Controller& ControllerModel::At(int c) {
    CheckController(c);
    return controllers_[static_cast<std::size_t>(c)];
}

const ControllerModel::Controller& ControllerModel::At(int c) const {
    CheckController(c);
    return controllers_[static_cast<std::size_t>(c)];
}

bool ControllerModel::Present(int c) const {
    return At(c).present;
}

void ControllerModel::SetPresent(int c, bool present) {
    At(c).present = present;
    transcript_.Note(c, "present", present ? "on the line" : "off the line");
}

ControllerStatus ControllerModel::Status(int c) const {
    return At(c).status;
}

void ControllerModel::SetStatus(int c, const ControllerStatus& status) {
    Controller& controller = At(c);
    CheckRange(status.mode, 0, 9, "mode");
    if (status.keys) CheckRange(*status.keys, 0, KeyTable::kMaxKeyNumber + 1, "keys");
    CheckRange(status.statusWord, 0, 65535, "status word");
    for (const long value : status.analog) CheckRange(value, 0, 65535, "analog input");
    CheckFieldText(status.text, "the controller text");
    CheckFieldText(status.version, "the version text");
    const ControllerStatus previous = controller.status;
    controller.status = status;
    if (StatusText(c).size() > kMaxCommandText) {
        controller.status = previous;
        throw std::invalid_argument("the status report would not fit a frame");
    }
}

std::string ControllerModel::StatusText(int c) const {
    const Controller& controller = At(c);
    const ControllerStatus& status = controller.status;
    const long keys = status.keys ? *status.keys : static_cast<long>(controller.keys.StoredCount());
    // Appended field by field: g++ 12 at -O3 takes "literal" + std::string for an overlapping
    // copy and warns (-Wrestrict) where there is none.
    std::string text = "S T";
    const auto field = [&text](const std::string& value) {
        text += ',';
        text += value;
    };
    field(std::to_string(status.mode));
    field(std::to_string(keys));
    field(std::to_string(status.statusWord));
    if (status.text.empty()) {
        field("VXS-100 C");
        text += std::to_string(c);
    } else {
        field(status.text);
    }
    for (const long value : status.analog) field(std::to_string(value));
    field(status.version);
    return text;
}

bool ControllerModel::PutKey(int c, const std::string& code, long number) {
    Controller& controller = At(c);
    CheckFieldText(code, "a badge code");
    return controller.keys.Put(code, number);
}

std::optional<KeyInfo> ControllerModel::FindKey(int c, const std::string& code) const {
    const std::optional<KeyEntry> entry = At(c).keys.Find(code);
    if (!entry) return std::nullopt;
    return KeyInfo{entry->code, entry->number, entry->stored};
}

std::vector<std::string> ControllerModel::SetupLines(int c) const {
    const Controller& controller = At(c);
    std::vector<std::string> lines;
    for (const auto& [zone, line] : controller.timeZones) lines.push_back(line);
    for (const auto& [letter, line] : controller.parameters) lines.push_back(line);
    for (const KeyEntry& key : controller.keys.StoredKeys()) lines.push_back(key.record);
    return lines;
}

std::string ControllerModel::EventText(const EventSpec& event) {
    CheckController(event.controller);
    CheckRange(event.code, 0, 99, "the event code");
    CheckRange(event.unit, 0, 99, "the unit number");
    if (!event.date.empty() && !IsPairedDigits(event.date, '/')) {
        throw std::invalid_argument("the date must be DD/MM/YY");
    }
    if (!event.timeOfDay.empty() && !IsPairedDigits(event.timeOfDay, ':')) {
        throw std::invalid_argument("the time of day must be HH:MM:SS");
    }
    std::string date = event.date;
    std::string timeOfDay = event.timeOfDay;
    if (date.empty() || timeOfDay.empty()) {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        if (date.empty()) {
            // The controllers write the year with two digits.
            date = TwoDigits(local.tm_mday) + "/" + TwoDigits(local.tm_mon + 1) + "/" +
                   TwoDigits(local.tm_year % 100);
        }
        if (timeOfDay.empty()) {
            timeOfDay = TwoDigits(local.tm_hour) + ":" + TwoDigits(local.tm_min) + ":" +
                        TwoDigits(std::min(local.tm_sec, 59));
        }
    }
    const int unit = event.unit != 0 ? event.unit : 2 * event.controller + 1;
    // The driver finds the time by the last ":", the code and the unit after the first two
    // commas that follow it, and the badge after the last comma.
    return "V " + date + " " + timeOfDay + "," + TwoDigits(event.code) + "," + TwoDigits(unit) +
           "," + HexUpper(event.badge);
}

ControllerReply ControllerModel::Take(int c, const std::string& command) {
    if (command.rfind("K ", 0) == 0) {
        const std::optional<KeyEntry> key = At(c).keys.Query(command.substr(2));
        if (!key) {
            transcript_.Note(c, "ignored", "the key table is full: no key answer");
            return {};
        }
        return {ControllerReply::Kind::kKeyAnswer,
                std::string("L ") + (key->stored ? "1" : "0") + "," + std::to_string(key->number)};
    }
    if (command == "S Q") return {ControllerReply::Kind::kStatusReport, StatusText(c)};
    if (command == "S U") return {ControllerReply::Kind::kUpload, ""};
    ApplySetup(c, command);
    return {};
}

// Remembers what a setup command sets, so that an upload gives it back.
void ControllerModel::ApplySetup(int c, const std::string& command) {
    Controller& controller = At(c);
    if (command.size() < 3 || command[1] != ' ') return;
    const char letter = command[0];
    const char what = command[2];
    if (letter == 'A') {
        if (!controller.keys.ApplyAdd(command.substr(2), command)) {
            transcript_.Note(c, "ignored", "unreadable add-key record");
        }
    } else if (letter == 'D') {
        if (!controller.keys.ApplyDelete(command.substr(2))) {
            transcript_.Note(c, "ignored", "unreadable delete-key record");
        }
    } else if (letter == 'T') {
        controller.timeZones[what] = command;
    } else if (letter == 'S' && what != 'Q' && what != 'U' && what != 'T') {
        // An upload line "S T..." would read as a status report, so none is kept.
        controller.parameters[what] = command;
    }
}

}  // namespace vxs_sim
