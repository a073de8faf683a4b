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

// What each event code means: the door state it sets, whether it is a badge event, and the tag
// it sets for its unit: the unit number before the keyword ("%dPSRCC") or after it in two
// digits ("PSRDR%02d"). Codes not listed set none of them.
struct UnitTag {
    const char* keyword;
    bool unitFirst;
    int32_t value;
};
struct EventMeaning {
    int32_t code;
    int32_t doorState;  // -1: none
    bool badge;
    UnitTag tag;  // keyword null: none
};
constexpr EventMeaning kEventMeanings[] = {
    {0, 0, true, {}},
    {7, 3, false, {}},
    {8, 2, false, {}},
    {9, 0, false, {}},
    {10, 1, false, {}},
    {13, -1, false, {"PSRCC", true, 0}},
    {14, -1, false, {"PSRCC", true, 1}},
    {15, -1, false, {"PSRDR", false, 0}},
    {16, -1, false, {"PSRDR", false, 1}},
    {17, -1, true, {}},
    {18, -1, true, {}},
    {19, -1, false, {"PSPWR", true, 0}},
    {20, -1, false, {"PSPWR", true, 1}},
    {21, -1, false, {"PSBTR", true, 0}},
    {22, -1, false, {"PSBTR", true, 1}},
    {25, -1, true, {}},
    {26, -1, false, {"PCTRL", true, 1}},
    {29, -1, true, {}},
    {30, -1, true, {}},
};
constexpr EventMeaning kNoMeaning = {-1, -1, false, {}};

const EventMeaning& MeaningOf(int32_t code) {
    for (const EventMeaning& meaning : kEventMeanings) {
        if (meaning.code == code) {
            return meaning;
        }
    }
    return kNoMeaning;
}

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

void PublishDoorState(const DriverInstance& instance, int32_t state, int32_t unit) {
    char address[24];
    std::snprintf(address, sizeof address, "PSDOR%02d", static_cast<int>(unit));
    PutTagValue(instance, address, state);
    PutTagValue(instance, "PCDOR", unit);
}

void PublishUnitTag(const DriverInstance& instance, const UnitTag& tag, int32_t unit) {
    char address[24];
    if (tag.unitFirst) {
        std::snprintf(address, sizeof address, "%d%s", static_cast<int>(unit), tag.keyword);
    } else {
        std::snprintf(address, sizeof address, "%s%02d", tag.keyword, static_cast<int>(unit));
    }
    PutTagValue(instance, address, tag.value);
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
    const EventMeaning& meaning = MeaningOf(code);
    if (meaning.doorState >= 0 && unit) {
        PublishDoorState(instance, meaning.doorState, *unit);
    }
    if (meaning.badge) {
        if (unit) {
            PutTagValue(instance, "PCDOR", *unit);
        }
        PublishBadge(instance, event);
    } else {
        PutTagText(instance, "PBNAM", kNotKnown);
        PutTagText(instance, "PBNA2", kNotKnown);
        PutTagText(instance, "PBCOD", kNotKnown);
    }
    if (meaning.tag.keyword != nullptr && unit) {
        PublishUnitTag(instance, meaning.tag, *unit);
    }
    PutTagValue(instance, "PENUM", code);
    MonitorEvent(instance,
                 {code, unit.value_or(-1), workText,
                  meaning.badge && event.hasBadge ? event.keyNumber : nullptr, meaning.doorState,
                  meaning.badge, meaning.tag.keyword, meaning.tag.value});
}

}  // namespace kiv
