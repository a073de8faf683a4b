// Home Assistant's MQTT discovery: the configurations of a sample line against the keys Home
// Assistant documents, their templates against the payloads the gateway really publishes, the
// removal of an earlier run's configurations, and the table against the driver and the docs.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "host/driver_session.h"
#include "host/monitor.h"
#include "host/tag_parse.h"
#include "mqtt/gateway_messages.h"
#include "mqtt/homeassistant_discovery.h"
#include "mqtt/homeassistant_entities.h"

namespace kivhost {
namespace {

using Keys = std::set<std::string>;

// The configuration variables of Home Assistant's MQTT integrations (home-assistant.io,
// binary_sensor.mqtt, sensor.mqtt, event.mqtt; the device block of each).
const Keys kEveryPlatform = {"availability",
                             "availability_mode",
                             "availability_template",
                             "availability_topic",
                             "default_entity_id",
                             "device",
                             "enabled_by_default",
                             "encoding",
                             "entity_category",
                             "entity_picture",
                             "icon",
                             "json_attributes_template",
                             "json_attributes_topic",
                             "name",
                             "payload_available",
                             "payload_not_available",
                             "qos",
                             "unique_id"};
const std::map<std::string, Keys> kPlatformKeys = {
    {"binary_sensor",
     {"device_class", "expire_after", "force_update", "off_delay", "payload_off", "payload_on",
      "state_topic", "value_template"}},
    {"sensor",
     {"device_class", "expire_after", "force_update", "last_reset_value_template", "options",
      "suggested_display_precision", "state_class", "state_topic", "unit_of_measurement",
      "value_template"}},
    {"event", {"device_class", "event_types", "state_topic", "value_template"}},
};
const Keys kDeviceKeys = {"configuration_url", "connections",    "hw_version", "identifiers",
                          "manufacturer",      "model",          "model_id",   "name",
                          "serial_number",     "suggested_area", "sw_version", "via_device"};
// The device classes Home Assistant documents for binary sensors.
const Keys kBinarySensorClasses = {"battery",
                                   "battery_charging",
                                   "carbon_monoxide",
                                   "cold",
                                   "connectivity",
                                   "door",
                                   "garage_door",
                                   "gas",
                                   "heat",
                                   "light",
                                   "lock",
                                   "moisture",
                                   "motion",
                                   "moving",
                                   "occupancy",
                                   "opening",
                                   "plug",
                                   "power",
                                   "presence",
                                   "problem",
                                   "running",
                                   "safety",
                                   "smoke",
                                   "sound",
                                   "tamper",
                                   "update",
                                   "vibration",
                                   "window"};

DiscoveryLine SampleLine() {
    DiscoveryLine line;
    line.prefix = "homeassistant";
    line.site = "north";
    line.line = 2;
    line.tags = {{"L2_PSDOR03", "PSDOR03"}, {"L2_0PSPWR", "0PSPWR"},   {"L2_1PSBTR", "1PSBTR"},
                 {"L2_0PSRCC", "0PSRCC"},   {"L2_0PTMPR", "0PTMPR"},   {"L2_PBNAM", "PBNAM"},
                 {"L2_0PMODE", "0PMODE"},   {"other/PSPWR", "0PSPWR"},  // a second tag of 0PSPWR
                 {"L2_PSDOR16", "PSDOR16"}, {"L2_9PSPWR", "9PSPWR"}};
    line.eventTypes = EventTypes();
    return line;
}

// The payloads the gateway publishes, made by its own queue from the run's records.
Json Published(const Json& record) {
    MqttSettings settings;
    settings.site = "north";
    LineQueue queue(settings, 2, false);
    OutMessage message;
    EXPECT_TRUE(queue.Next(message, 1));  // the "online" state comes first
    if (record.is_null()) {
        return Json::parse(message.payload);
    }
    EXPECT_TRUE(queue.Offer(record));
    EXPECT_TRUE(queue.Next(message, 1));
    return Json::parse(message.payload);
}

Json TagPayload() {
    return Published({{"type", "tag"},
                      {"line", 2},
                      {"name", "L2_0PSPWR"},
                      {"address", "0PSPWR"},
                      {"value", 1.0},
                      {"changed", true}});
}

Json EventPayload() {
    KivMonitorRecord event{};
    event.kind = KIV_MON_EVENT;
    event.code = 20;
    event.doorState = -1;
    event.unitTag = "PSPWR";
    event.unitTagValue = 1;
    return Published({{"type", "event"},
                      {"line", 2},
                      {"code", 20},
                      {"name", EventName(event)},
                      {"unitKind", UnitKindOf(event)},
                      {"eventType", EventType(event)},
                      {"unit", 0},
                      {"time", "09/12/26 05:25:09"},
                      {"key", nullptr},
                      {"holder", nullptr}});
}

std::string ComponentOf(const std::string& topic) {
    const size_t first = topic.find('/') + 1;
    return topic.substr(first, topic.find('/', first) - first);
}

TEST(HomeAssistant, ConfigurationsOfASampleLine) {
    struct Expected {
        const char* topic;
        const char* uniqueId;
        const char* entityId;
        const char* deviceClass;  // "" for none
        const char* stateTopic;
        const char* device;  // its identifier
    };
    const Expected expected[] = {
        {"homeassistant/binary_sensor/kivhost_north_2/c1_PSDOR03/config",
         "kivhost_north_2_c1_PSDOR03", "binary_sensor.vxs_north_2_c1_door_03", "door",
         "vxs/north/2/tag/L2_PSDOR03", "kivhost_north_2_c1"},
        {"homeassistant/binary_sensor/kivhost_north_2/c0_PSPWR/config", "kivhost_north_2_c0_PSPWR",
         "binary_sensor.vxs_north_2_c0_power", "power", "vxs/north/2/tag/L2_0PSPWR",
         "kivhost_north_2_c0"},
        {"homeassistant/binary_sensor/kivhost_north_2/c1_PSBTR/config", "kivhost_north_2_c1_PSBTR",
         "binary_sensor.vxs_north_2_c1_battery", "battery", "vxs/north/2/tag/L2_1PSBTR",
         "kivhost_north_2_c1"},
        {"homeassistant/binary_sensor/kivhost_north_2/c0_PSRCC/config", "kivhost_north_2_c0_PSRCC",
         "binary_sensor.vxs_north_2_c0_reader_communication", "connectivity",
         "vxs/north/2/tag/L2_0PSRCC", "kivhost_north_2_c0"},
        {"homeassistant/binary_sensor/kivhost_north_2/c0_PTMPR/config", "kivhost_north_2_c0_PTMPR",
         "binary_sensor.vxs_north_2_c0_tamper", "tamper", "vxs/north/2/tag/L2_0PTMPR",
         "kivhost_north_2_c0"},
        {"homeassistant/sensor/kivhost_north_2/PBNAM/config", "kivhost_north_2_PBNAM",
         "sensor.vxs_north_2_last_badge_holder", "", "vxs/north/2/tag/L2_PBNAM", "kivhost_north_2"},
        {"homeassistant/event/kivhost_north_2/events/config", "kivhost_north_2_events",
         "event.vxs_north_2_events", "", "vxs/north/2/event", "kivhost_north_2"},
    };
    const std::vector<DiscoveryConfig> configs = DiscoveryConfigs(SampleLine());
    ASSERT_EQ(configs.size(), std::size(expected));
    for (size_t i = 0; i < configs.size(); ++i) {
        const Expected& want = expected[i];
        const Json& config = configs[i].payload;
        EXPECT_EQ(configs[i].topic, want.topic);
        EXPECT_EQ(config["unique_id"], want.uniqueId) << want.topic;
        EXPECT_EQ(config["default_entity_id"], want.entityId) << want.topic;
        EXPECT_EQ(config.value("device_class", std::string()), want.deviceClass) << want.topic;
        EXPECT_EQ(config["state_topic"], want.stateTopic) << want.topic;
        EXPECT_EQ(config["device"]["identifiers"], Json::array({want.device})) << want.topic;
        EXPECT_EQ(config["availability_topic"], "vxs/north/2/state") << want.topic;
        EXPECT_EQ(config["payload_available"], "online") << want.topic;
        EXPECT_EQ(config["payload_not_available"], "offline") << want.topic;
        const bool controller = std::string(want.device) != "kivhost_north_2";
        EXPECT_EQ(config["device"].value("via_device", std::string()),
                  controller ? "kivhost_north_2" : "")
            << want.topic;
    }
}

TEST(HomeAssistant, OnlyTheKeysHomeAssistantDocuments) {
    for (const DiscoveryConfig& config : DiscoveryConfigs(SampleLine())) {
        const std::string component = ComponentOf(config.topic);
        ASSERT_EQ(kPlatformKeys.count(component), 1U) << config.topic;
        const Keys& own = kPlatformKeys.at(component);
        for (const auto& [key, value] : config.payload.items()) {
            EXPECT_TRUE(kEveryPlatform.count(key) + own.count(key) > 0)
                << config.topic << ": " << key << " is not documented";
        }
        for (const auto& [key, value] : config.payload["device"].items()) {
            EXPECT_EQ(kDeviceKeys.count(key), 1U) << config.topic << ": device " << key;
        }
        EXPECT_TRUE(config.payload.contains("state_topic")) << config.topic;
        if (component == "binary_sensor") {
            EXPECT_EQ(kBinarySensorClasses.count(config.payload["device_class"]), 1U)
                << config.topic;
        }
        const std::string entity = config.payload["default_entity_id"];
        EXPECT_EQ(entity.rfind(component + ".", 0), 0U) << entity;
        EXPECT_TRUE(std::regex_match(entity.substr(component.size() + 1), std::regex("[a-z0-9_]+")))
            << entity;
        EXPECT_TRUE(
            std::regex_match(config.topic, std::regex("homeassistant/[a-z_]+/[A-Za-z0-9_-]+/"
                                                      "[A-Za-z0-9_-]+/config")))
            << config.topic;
    }
}

// Every value_json.X of a template is a member of the payload it is rendered against.
TEST(HomeAssistant, TemplatesUseOnlyWhatThePayloadsCarry) {
    const Json state = Published(nullptr);
    const Json tag = TagPayload();
    const std::regex field(R"(value_json\.([A-Za-z_]+))");
    for (const DiscoveryConfig& config : DiscoveryConfigs(SampleLine())) {
        const std::string stateTopic = config.payload["state_topic"];
        const Json& payload = stateTopic.find("/tag/") != std::string::npos ? tag : EventPayload();
        const std::pair<const char*, const Json*> templates[] = {{"value_template", &payload},
                                                                 {"availability_template", &state}};
        for (const auto& [key, against] : templates) {
            const std::string text = config.payload.value(key, std::string());
            for (std::sregex_iterator it(text.begin(), text.end(), field), end; it != end; ++it) {
                EXPECT_TRUE(against->contains((*it)[1].str()))
                    << config.topic << ": " << key << " uses " << (*it)[1].str();
            }
        }
    }
    EXPECT_EQ(state["state"], "online");
}

TEST(HomeAssistant, EveryEventTypeIsListed) {
    const Json event = EventPayload();
    const std::vector<DiscoveryConfig> configs = DiscoveryConfigs(SampleLine());
    const Json& types = configs.back().payload["event_types"];
    ASSERT_TRUE(event.contains("event_type"));
    EXPECT_NE(std::find(types.begin(), types.end(), event["event_type"]), types.end())
        << event["event_type"];
    EXPECT_EQ(event["event_type"], "power 1");
}

TEST(HomeAssistant, RepublishesAndRemovesWhatAnEarlierRunLeft) {
    const HomeAssistantDiscovery discovery(SampleLine());
    const size_t all = discovery.Configs().size();
    const std::string node = "homeassistant/binary_sensor/kivhost_north_2/";
    struct Case {
        std::string topic;
        std::string payload;
        bool taken;
        size_t replies;
        bool removal;
    };
    const Case cases[] = {
        {"homeassistant/status", "online", true, all, false},
        {"homeassistant/status", "offline", true, 0, false},
        {node + "c7_PSPWR/config", "{\"name\":\"Power\"}", true, 1, true},   // an earlier run's
        {node + "c0_PSPWR/config", "{\"name\":\"Power\"}", true, 0, false},  // this run's
        {node + "c7_PSPWR/config", "", true, 0, false},                      // removed already
        {"homeassistant/binary_sensor/kivhost_north_21/c7_PSPWR/config", "{}", false, 0, false},
        {"homeassistant/binary_sensor/kivhost_south_2/c7_PSPWR/config", "{}", false, 0, false},
        {"vxs/north/2/write/L2_PBINM", "Ada", false, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<OutMessage> replies;
        EXPECT_EQ(discovery.Take(c.topic, c.payload, replies), c.taken) << c.topic;
        ASSERT_EQ(replies.size(), c.replies) << c.topic << " " << c.payload;
        for (const OutMessage& reply : replies) {
            EXPECT_TRUE(reply.retain) << reply.topic;
            EXPECT_EQ(reply.payload.empty(), c.removal) << reply.topic;
        }
        if (c.removal) {
            EXPECT_EQ(replies[0].topic, c.topic);
        }
    }
    EXPECT_EQ(discovery.Subscriptions(),
              (std::vector<std::string>{"homeassistant/status",
                                        "homeassistant/+/kivhost_north_2/+/config"}));
}

TEST(HomeAssistant, NodesAndPrefixes) {
    EXPECT_EQ(DiscoveryNode("plant-north_1", 3), "kivhost_plant-north_1_3");
    EXPECT_EQ(DiscoveryNode("a.b c", 1), "kivhost_a_2Eb_20c_1");
    const std::pair<const char*, bool> prefixes[] = {
        {"homeassistant", true}, {"ha/discovery", true}, {"", false},     {"ha/", false},
        {"/ha", false},          {"ha//x", false},       {"ha/+", false}, {"ha#", false}};
    for (const auto& [prefix, good] : prefixes) {
        std::string error;
        EXPECT_EQ(CheckDiscoveryPrefix(prefix, error), good) << prefix;
        EXPECT_EQ(error.empty(), good) << prefix;
    }
}

// The driver takes every address the table maps (a mistyped keyword would be refused).
TEST(HomeAssistant, TheDriverTakesEveryMappedAddress) {
    DriverSession session;
    ASSERT_TRUE(session.Load(kBuiltInDriver)) << session.Error();
    TagParser parser(session);
    const std::vector<std::string> addresses = MappedAddresses();
    EXPECT_EQ(addresses.size(), 16U + 4U * 8U + 1U);
    for (const std::string& address : addresses) {
        const ParsedTag parsed = parser.Parse(address, KIV_TYPE_ANALOG);
        EXPECT_EQ(parsed.result, KIV_OK) << address;
    }
}

#ifdef KIV_DOCS_DIR
// docs/mqtt.md's table has a row for each of the table's entries, with its component and class,
// and the docs list every event type.
TEST(HomeAssistant, TheDocsTableFollowsTheCode) {
    std::ifstream file(std::string(KIV_DOCS_DIR) + "/mqtt.md");
    ASSERT_TRUE(file) << KIV_DOCS_DIR;
    std::stringstream text;
    text << file.rdbuf();
    const std::string docs = text.str();
    for (const EntityRow& row : EntityRows()) {
        std::string expected = std::string("`") + row.component + "`";
        if (row.deviceClass != nullptr) {
            expected += " (`" + std::string(row.deviceClass) + "`)";
        }
        const std::regex line(
            "\\n\\|[^\\n]*`[0-9c]?" + std::string(row.keyword) + "[^`]*`[^\\n]*\\| " +
            std::regex_replace(expected, std::regex(R"([()])"), R"(\$&)") + " \\|");
        EXPECT_TRUE(std::regex_search(docs, line)) << row.keyword << ": " << expected;
    }
    for (const std::string& type : EventTypes()) {
        EXPECT_NE(docs.find('"' + type + '"'), std::string::npos) << type;
    }
}
#endif

}  // namespace
}  // namespace kivhost
