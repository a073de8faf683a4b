// Placeholder until the badge database lands.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instance/driver_instance.h"

namespace kiv {

struct BadgeNames {
    char name[51];
    char name2[21];
    char badgeCode[11];
};

struct BadgeDetails {
    char name[51];
    char name2[21];
    char date[9];
    char doorMaskHex[5];
    char timeZones[3];
};

BadgeDetails FindBadgeByCode(const DriverInstance& instance, const char* badgeCode);
bool BadgeDbUpdate(DriverInstance& instance, const char* frame);
void DownloadNextBadge(DriverInstance& instance);

int32_t hexTextValue(const char* text, size_t count);
BadgeNames FindBadgeByKey(const DriverInstance& instance, const char* keyNumber);
bool BadgeTableOpen(DriverInstance& instance);
void BadgeTableClose(DriverInstance& instance);
void BadgeDbLoad(DriverInstance& instance);

}  // namespace kiv
