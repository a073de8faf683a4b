// Placeholder until the badge database lands.
#include "receive/badge_database.h"

#include <cstring>

namespace kiv {

int32_t hexTextValue(const char* text, size_t count) {
    uint32_t value = 0;
    uint32_t weight = 1;
    for (size_t i = count; i > 0; --i) {
        const auto c = static_cast<unsigned char>(text[i - 1]);
        value += (c <= '9' ? c - 48U : c - 55U) * weight;
        weight *= 16U;
    }
    return static_cast<int32_t>(value);
}

BadgeNames FindBadgeByKey(const DriverInstance& instance, const char* keyNumber) {
    BadgeNames names{};
    for (const BadgeRecord& badge : instance.badges) {
        if (std::strcmp(badge.keyNumber, keyNumber) == 0) {
            std::memcpy(names.name, badge.name, sizeof names.name);
            std::memcpy(names.name2, badge.name2, sizeof names.name2);
            std::memcpy(names.badgeCode, badge.badgeCode, sizeof names.badgeCode);
            break;
        }
    }
    return names;
}

BadgeDetails FindBadgeByCode(const DriverInstance& /*instance*/, const char* /*badgeCode*/) {
    return BadgeDetails{};
}
bool BadgeDbUpdate(DriverInstance& /*instance*/, const char* /*frame*/) {
    return true;
}
void DownloadNextBadge(DriverInstance& /*instance*/) {}

bool BadgeTableOpen(DriverInstance& /*instance*/) {
    return true;
}
void BadgeTableClose(DriverInstance& /*instance*/) {}
void BadgeDbLoad(DriverInstance& /*instance*/) {}

}  // namespace kiv
