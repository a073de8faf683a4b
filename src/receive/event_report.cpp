// Reading an event and publishing it.
#include "receive/event_report.h"
#include "instance/monitor.h"

#include <cstdio>
#include <cstring>

#include "instance/host_tags.h"
#include "receive/badge_database.h"
#include "receive/report_text.h"

namespace kiv {

namespace {

constexpr char kNotKnown[] = "NOT KNOW!";
constexpr size_t kCodeOffset = 4;  // from the last ":"
constexpr size_t kCodeWidth = 2;

// The door state an event code sets.
struct DoorEvent {
    int32_t code;
    double state;
};
constexpr DoorEvent kDoorEvents[] = {{0, 0.0}, {7, 3.0}, {8, 2.0}, {9, 0.0}, {10, 1.0}};

constexpr int32_t kBadgeEvents[] = {0, 17, 18, 25, 29, 30};

// The tag an event code sets: the unit number before the keyword ("%dPSRCC") or after it in two
// digits ("PSRDR%02d").
struct UnitEvent {
    int32_t code;
    const char* keyword;
    bool unitFirst;
    double value;
};
constexpr UnitEvent kUnitEvents[] = {
    {13, "PSRCC", true, 0.0},  {14, "PSRCC", true, 1.0}, {15, "PSRDR", false, 0.0},
    {16, "PSRDR", false, 1.0}, {19, "PSPWR", true, 0.0}, {20, "PSPWR", true, 1.0},
    {21, "PSBTR", true, 0.0},  {22, "PSBTR", true, 1.0}, {26, "PCTRL", true, 1.0},
};

const char* OrNotKnown(const char* text) {
    return text[0] != '\0' ? text : kNotKnown;
}

void PublishBadge(const DriverInstance& instance, const EventReport& event) {
    BadgeNames names{};
    if (event.hasBadge) {
        names = FindBadgeByKey(instance, event.keyNumber);
    }
    PutTagText(instance, "PBNAM", OrNotKnown(names.name));
    PutTagText(instance, "PBNA2", OrNotKnown(names.name2));
    PutTagText(instance, "PBCOD", OrNotKnown(names.badgeCode));
}

}  // namespace

EventReport ParseEvent(const char* workText) {
    EventReport event;
    const char* colon = std::strrchr(workText, ':');
    if (colon == nullptr) {
        return event;
    }
    if (std::strlen(colon) > kCodeOffset) {
        event.eventCode = LeadingDigits(colon + kCodeOffset, kCodeWidth);
    }
    const char* comma = std::strchr(colon, ',');
    comma = comma != nullptr ? std::strchr(comma + 1, ',') : nullptr;
    if (comma != nullptr) {
        if (const auto unit = LeadingDigits(comma + 1, 2)) {
            event.unitNumber = *unit - 1;
        }
    }
    const char* lastComma = std::strrchr(workText, ',');
    const char* end = lastComma != nullptr ? std::strchr(lastComma, ';') : nullptr;
    if (end != nullptr && static_cast<size_t>(end - lastComma - 1) <= kMaxBadgeNumberLength) {
        BadgeKeyNumberText(lastComma + 1, static_cast<size_t>(end - lastComma - 1),
                           event.keyNumber);
        event.hasBadge = true;
    }
    return event;
}

void PublishEvent(const DriverInstance& instance, const EventReport& event, const char* workText) {
    if (!event.eventCode) {
        return;
    }
    const int32_t code = *event.eventCode;
    const std::optional<int32_t>& unit = event.unitNumber;
    char address[24];

    for (const DoorEvent& door : kDoorEvents) {
        if (door.code == code && unit) {
            std::snprintf(address, sizeof address, "PSDOR%02d", static_cast<int>(*unit));
            PutTagValue(instance, address, door.state);
            PutTagValue(instance, "PCDOR", *unit);
        }
    }
    bool badgeEvent = false;
    for (const int32_t badgeCode : kBadgeEvents) {
        badgeEvent = badgeEvent || badgeCode == code;
    }
    if (badgeEvent) {
        if (unit) {
            PutTagValue(instance, "PCDOR", *unit);
        }
        PublishBadge(instance, event);
    } else {
        PutTagText(instance, "PBNAM", kNotKnown);
        PutTagText(instance, "PBNA2", kNotKnown);
        PutTagText(instance, "PBCOD", kNotKnown);
    }
    for (const UnitEvent& tag : kUnitEvents) {
        if (tag.code == code && unit) {
            if (tag.unitFirst) {
                std::snprintf(address, sizeof address, "%d%s", static_cast<int>(*unit),
                              tag.keyword);
            } else {
                std::snprintf(address, sizeof address, "%s%02d", tag.keyword,
                              static_cast<int>(*unit));
            }
            PutTagValue(instance, address, tag.value);
        }
    }
    PutTagValue(instance, "PENUM", code);
    MonitorEvent(instance, code, unit.value_or(-1), workText,
                 badgeEvent && event.hasBadge ? event.keyNumber : nullptr);
}

}  // namespace kiv
