// Home Assistant's MQTT discovery for a line: the table of entities and their configurations.
#include "mqtt/homeassistant_entities.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

#include "mqtt/mqtt_gateway.h"

namespace kivhost {

namespace {

// The tag payload carries "value"; a digital tag's value is 0 or 1 (a number, or a text where the
// host keeps it so: int(0) takes both). A door state is 0 to 3.
constexpr const char* kOnWhenOne = "{{ 'ON' if value_json.value | int(0) == 1 else 'OFF' }}";
constexpr const char* kOpenWhenNotZero = "{{ 'OFF' if value_json.value | int(0) == 0 else 'ON' }}";
constexpr const char* kTheValue = "{{ value_json.value }}";

// The line's state payload carries "state": "online" or "offline".
constexpr const char* kAvailabilityTemplate = "{{ value_json.state }}";

constexpr int kControllers = 8;
constexpr int kDoors = 16;

std::string TwoDigits(int number) {
    char text[16];
    (void)std::snprintf(text, sizeof text, "%02d", number);
    return text;
}

// Letters and digits, the rest '_' (an entity id's form).
std::string Slug(const std::string& text) {
    std::string slug;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        slug +=
            std::isalnum(byte) != 0 && byte < 0x80 ? static_cast<char>(std::tolower(byte)) : '_';
    }
    return slug;
}

// What one tag of the line is to the table.
struct Match {
    const EntityRow* row = nullptr;
    int controller = -1;  // -1: the line's own
    int door = -1;
};

// Every plain address the table maps, and what it is.
const std::map<std::string, Match>& Matches() {
    static const std::map<std::string, Match> matches = [] {
        std::map<std::string, Match> all;
        for (const EntityRow& row : EntityRows()) {
            const std::string keyword = row.keyword;
            if (row.scope == EntityScope::kLineTag) {
                all[keyword] = {&row, -1, -1};
            }
            for (int c = 0; row.scope == EntityScope::kControllerTag && c < kControllers; ++c) {
                all[std::to_string(c) + keyword] = {&row, c, -1};
            }
            for (int door = 0; row.scope == EntityScope::kDoorTag && door < kDoors; ++door) {
                all[keyword + TwoDigits(door)] = {&row, door / 2, door};
            }
        }
        return all;
    }();
    return matches;
}

Match MatchAddress(const std::string& address) {
    const auto found = Matches().find(address);
    return found != Matches().end() ? found->second : Match{};
}

// The object of the discovery topic and the unique id: the controller and the tag's address.
std::string ObjectOf(const Match& match, const std::string& address) {
    if (match.row->scope == EntityScope::kLineEvents) {
        return match.row->keyword;
    }
    if (match.controller < 0) {
        return address;
    }
    const std::string keyword =
        match.row->scope == EntityScope::kControllerTag ? match.row->keyword : address;
    return "c" + std::to_string(match.controller) + "_" + keyword;
}

Json LineDevice(const DiscoveryLine& line) {
    return {{"identifiers", Json::array({DiscoveryNode(line.site, line.line)})},
            {"name", "VXS-100 " + line.site + " line " + std::to_string(line.line)},
            {"model", "VXS-100 line"}};
}

Json ControllerDevice(const DiscoveryLine& line, int controller) {
    const std::string node = DiscoveryNode(line.site, line.line);
    return {{"identifiers", Json::array({node + "_c" + std::to_string(controller)})},
            {"name", "VXS-100 " + line.site + " line " + std::to_string(line.line) +
                         " controller " + std::to_string(controller)},
            {"model", "VXS-100 controller"},
            {"via_device", node}};
}

std::string LineTopic(const DiscoveryLine& line) {
    return "vxs/" + line.site + "/" + std::to_string(line.line) + "/";
}

Json BaseConfig(const DiscoveryLine& line, const Match& match, const std::string& object) {
    const EntityRow& row = *match.row;
    std::string name = row.name;
    std::string slug = row.slug;
    if (match.door >= 0) {
        name += " " + TwoDigits(match.door);
        slug += "_" + TwoDigits(match.door);
    }
    const std::string where =
        match.controller >= 0 ? "_c" + std::to_string(match.controller) + "_" : "_";
    Json config = {{"name", name},
                   {"unique_id", DiscoveryNode(line.site, line.line) + "_" + object},
                   {"default_entity_id", std::string(row.component) + ".vxs_" + Slug(line.site) +
                                             "_" + std::to_string(line.line) + where + slug},
                   {"availability_topic", LineTopic(line) + "state"},
                   {"availability_template", kAvailabilityTemplate},
                   {"payload_available", "online"},
                   {"payload_not_available", "offline"},
                   {"qos", 1},
                   {"device", match.controller >= 0 ? ControllerDevice(line, match.controller)
                                                    : LineDevice(line)}};
    if (row.deviceClass != nullptr) {
        config["device_class"] = row.deviceClass;
    }
    return config;
}

DiscoveryConfig TagConfig(const DiscoveryLine& line, const Match& match, const std::string& name,
                          const std::string& address) {
    const std::string object = ObjectOf(match, address);
    Json config = BaseConfig(line, match, object);
    const std::string topic = LineTopic(line) + "tag/" + TopicLevel(name);
    config["state_topic"] = topic;
    config["value_template"] = match.row->valueTemplate;
    config["json_attributes_topic"] = topic;  // the value as the tag has it, and when it changed
    const std::string node = DiscoveryNode(line.site, line.line);
    return {line.prefix + "/" + match.row->component + "/" + node + "/" + object + "/config",
            std::move(config)};
}

DiscoveryConfig EventsConfig(const DiscoveryLine& line, const EntityRow& row) {
    const Match match{&row, -1, -1};
    const std::string object = ObjectOf(match, {});
    Json config = BaseConfig(line, match, object);
    // The event payload carries "event_type" itself; its other members become the event's
    // attributes.
    config["state_topic"] = LineTopic(line) + "event";
    config["event_types"] = line.eventTypes;
    const std::string node = DiscoveryNode(line.site, line.line);
    return {line.prefix + "/" + row.component + "/" + node + "/" + object + "/config",
            std::move(config)};
}

}  // namespace

const std::vector<EntityRow>& EntityRows() {
    // What each shows is in docs/mqtt.md ("Home Assistant"), which a test holds to this table.
    static const std::vector<EntityRow> rows = {
        {"PSDOR", EntityScope::kDoorTag, "binary_sensor", "door", "Door", "door", kOpenWhenNotZero},
        {"PSPWR", EntityScope::kControllerTag, "binary_sensor", "power", "Power", "power",
         kOnWhenOne},
        {"PSBTR", EntityScope::kControllerTag, "binary_sensor", "battery", "Battery", "battery",
         kOnWhenOne},
        {"PSRCC", EntityScope::kControllerTag, "binary_sensor", "connectivity",
         "Reader communication", "reader_communication", kOnWhenOne},
        {"PTMPR", EntityScope::kControllerTag, "binary_sensor", "tamper", "Tamper", "tamper",
         kOnWhenOne},
        {"PBNAM", EntityScope::kLineTag, "sensor", nullptr, "Last badge holder",
         "last_badge_holder", kTheValue},
        {"events", EntityScope::kLineEvents, "event", nullptr, "Events", "events", nullptr},
    };
    return rows;
}

std::vector<std::string> MappedAddresses() {
    std::vector<std::string> addresses;
    for (const auto& [address, match] : Matches()) {
        addresses.push_back(address);
    }
    return addresses;
}

std::string DiscoveryNode(const std::string& site, int line) {
    std::string node = "kivhost_";
    for (const char c : site) {
        const auto byte = static_cast<unsigned char>(c);
        if ((std::isalnum(byte) != 0 && byte < 0x80) || c == '-' || c == '_') {
            node += c;
        } else {
            char escaped[16];
            (void)std::snprintf(escaped, sizeof escaped, "_%02X", static_cast<unsigned>(byte));
            node += escaped;
        }
    }
    return node + "_" + std::to_string(line);
}

std::vector<DiscoveryConfig> DiscoveryConfigs(const DiscoveryLine& line) {
    std::vector<DiscoveryConfig> configs;
    std::set<std::string> addresses;
    for (const auto& [name, address] : line.tags) {
        const Match match = MatchAddress(address);
        if (match.row != nullptr && addresses.insert(address).second) {
            configs.push_back(TagConfig(line, match, name, address));
        }
    }
    for (const EntityRow& row : EntityRows()) {
        if (row.scope == EntityScope::kLineEvents) {
            configs.push_back(EventsConfig(line, row));
        }
    }
    return configs;
}

bool CheckDiscoveryPrefix(const std::string& prefix, std::string& error) {
    const bool controlByte = std::any_of(
        prefix.begin(), prefix.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
    if (prefix.empty() || prefix.front() == '/' || prefix.back() == '/' ||
        prefix.find("//") != std::string::npos || prefix.find_first_of("+#") != std::string::npos ||
        controlByte) {
        error = "--homeassistant '" + prefix +
                "': the discovery prefix is topic levels (such as homeassistant) without '+', "
                "'#' or an empty level";
        return false;
    }
    return true;
}

}  // namespace kivhost
