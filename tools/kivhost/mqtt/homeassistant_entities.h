// Home Assistant's MQTT discovery for a line: which tags and events become which entities (the
// table in homeassistant_entities.cpp), and the retained configurations that describe them.
//
//   <prefix>/<component>/kivhost_<site>_<line>/<object>/config
//
// Each line is a device, each controller a device under it (via_device); an entity's unique id
// is kivhost_<site>_<line>_<object>, its object the controller and the tag's keyword
// ("c0_PSPWR", "c1_PSDOR03"), or the line's own ("PBNAM", "events"), so that it stays the same
// from run to run whatever the tags are called in the tag file.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/json_text.h"

namespace kivhost {

// The discovery prefix --homeassistant takes without a value (Home Assistant's own default).
inline constexpr const char* kHomeAssistantPrefix = "homeassistant";

// What an entity stands for.
enum class EntityScope {
    kLineTag,        // a named tag of the line: PBNAM
    kControllerTag,  // a controller digit and the keyword: 0PSPWR
    kDoorTag,        // the keyword and a door number 00 to 15: PSDOR05 (controller 05 / 2)
    kLineEvents,     // the line's events (no tag)
};

// One row of the table: an entity of every tag with this keyword.
struct EntityRow {
    const char* keyword;  // the tag address's keyword; "events" for the events
    EntityScope scope;
    const char* component;      // binary_sensor, sensor, event
    const char* deviceClass;    // Home Assistant's device class, or nullptr
    const char* name;           // the entity's name; a door's gets its number
    const char* slug;           // of the default entity id
    const char* valueTemplate;  // from the tag's payload, or nullptr (events: the payload)
};

// The table (one entry per keyword).
const std::vector<EntityRow>& EntityRows();

// Every tag address the table maps, in its plain form (0PSPWR to 7PSPWR, PSDOR00 to PSDOR15,
// PBNAM), in the order of the text.
std::vector<std::string> MappedAddresses();

// What a line's configurations are made from.
struct DiscoveryLine {
    std::string prefix;  // the discovery prefix
    std::string site;
    int line = 1;
    // The line's tags: the name (without "N:") and the address.
    std::vector<std::pair<std::string, std::string>> tags;
    std::vector<std::string> eventTypes;  // of the event entity
};

struct DiscoveryConfig {
    std::string topic;
    Json payload;
};

// "kivhost_<site>_<line>": the node of the discovery topics, the line device's identifier. A
// site's characters other than letters, digits, '-' and '_' become '_' and two hexadecimal
// digits (Home Assistant takes only those).
std::string DiscoveryNode(const std::string& site, int line);

// The configurations of a line: one per mapped tag of the line (the first tag of an address,
// when several have it) and one for the events.
std::vector<DiscoveryConfig> DiscoveryConfigs(const DiscoveryLine& line);

// The prefix is one or more topic levels without wildcards; false with the reason.
bool CheckDiscoveryPrefix(const std::string& prefix, std::string& error);

}  // namespace kivhost
