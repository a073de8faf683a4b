// Tag access by address, skipping tags the host does not hold.
#include "instance/host_tags.h"

#include <cstring>

#include "instance/driver_instance.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

bool FindTag(const DriverInstance& instance, const char* address, int32_t& gateId) {
    return QorGetGateIdByAddressStr(instance.clientId,
                                    static_cast<uint8_t>(instance.instanceNumber), address,
                                    &gateId) == 0;
}

}  // namespace

void PutTagValue(const DriverInstance& instance, const char* address, double value) {
    int32_t gateId = 0;
    if (FindTag(instance, address, gateId)) {
        QorPutGateVal(instance.clientId, gateId, QOR_SOURCE_DRIVER, value, 0, 0);
    }
}

void PutTagText(const DriverInstance& instance, const char* address, const char* text) {
    int32_t gateId = 0;
    if (FindTag(instance, address, gateId)) {
        QorPutGateStr(instance.clientId, gateId, QOR_SOURCE_DRIVER, text, 0, 0);
    }
}

bool GetTagValue(const DriverInstance& instance, const char* address, double& value,
                 int32_t requestCode, uint8_t readClient) {
    int32_t gateId = 0;
    if (!FindTag(instance, address, gateId)) {
        return false;
    }
    double read = 0.0;
    int32_t out1 = 0;
    int32_t out2 = 0;
    const uint8_t client = readClient != 0 ? readClient : instance.clientId;
    if (QorGetGateVal(client, requestCode, gateId, &read, &out1, &out2) != 0) {
        return false;
    }
    value = read;
    return true;
}

bool GetTagText(const DriverInstance& instance, const char* address, char* text, size_t size) {
    int32_t gateId = 0;
    if (size == 0 || !FindTag(instance, address, gateId)) {
        return false;
    }
    // The host copies the whole text it keeps; the driver's own texts are the longest that can
    // be there. Read into an area that holds them and cut to the caller's buffer.
    char read[kLongestTagText + 1] = {};
    int32_t out1 = 0;
    int32_t out2 = 0;
    if (QorGetGateStr(instance.clientId, 11, gateId, read, &out1, &out2) != 0) {
        return false;
    }
    read[kLongestTagText] = '\0';
    const size_t n = strnlen(read, size - 1);
    std::memcpy(text, read, n);
    text[n] = '\0';
    return true;
}

}  // namespace kiv
