// Tag access by address, skipping tags the host does not hold and logging failed host calls.
#include "instance/host_tags.h"

#include <cstring>

#include "instance/driver_instance.h"
#include "platform/sync.h"
#include "qorpro/qorpro.h"

namespace kiv {

namespace {

// The host calls whose failures are remembered, by their names in the log.
enum HostCall : int32_t { kLookUp, kPutValue, kPutText, kGetValue, kGetText };
constexpr const char* kHostCallNames[] = {"QorGetGateIdByAddressStr", "QorPutGateVal",
                                          "QorPutGateStr", "QorGetGateVal", "QorGetGateStr"};

bool SameEntry(const HostFailure& entry, const char* address, HostCall call) {
    return entry.call == call &&
           std::strncmp(entry.address, address, kHostFailureAddressSize - 1) == 0;
}

// The failure log is state of its own (mutable) that even a const instance keeps.
HostFailures& FailuresOf(const DriverInstance& instance) {
    return instance.hostFailures;
}

void NoteFailure(const DriverInstance& instance, const char* address, HostCall call,
                 uint16_t status) {
    HostFailures& failures = FailuresOf(instance);
    const platform::LockGuard guard(failures.lock);
    const int32_t count = failures.count.load();
    for (int32_t i = 0; i < count; ++i) {
        if (SameEntry(failures.entries[i], address, call)) {
            return;  // logged already
        }
    }
    if (count == static_cast<int32_t>(kHostFailureSlots)) {
        if (!failures.overflowLogged) {
            failures.overflowLogged = true;
            err(32,
                "RIRODI: host calls fail for more than %d tags; further failures are not "
                "logged",
                static_cast<int>(kHostFailureSlots));
        }
        return;
    }
    HostFailure& entry = failures.entries[count];
    std::memset(entry.address, 0, sizeof entry.address);
    std::memcpy(entry.address, address, strnlen(address, sizeof entry.address - 1));
    entry.call = call;
    failures.count.store(count + 1);
    err(32, "RIRODI: %s() failed for the tag %s, status %u; not logged again until it works",
        kHostCallNames[call], address, static_cast<unsigned>(status));
}

void NoteSuccess(const DriverInstance& instance, const char* address, HostCall call) {
    HostFailures& failures = FailuresOf(instance);
    if (failures.count.load() == 0) {
        return;  // the usual case: nothing failed, no lock taken
    }
    const platform::LockGuard guard(failures.lock);
    const int32_t count = failures.count.load();
    for (int32_t i = 0; i < count; ++i) {
        if (SameEntry(failures.entries[i], address, call)) {
            failures.entries[i] = failures.entries[count - 1];
            failures.count.store(count - 1);
            return;
        }
    }
}

// The result of one host call, noted for the log.
bool Succeeded(const DriverInstance& instance, const char* address, HostCall call,
               uint16_t status) {
    if (status == 0) {
        NoteSuccess(instance, address, call);
        return true;
    }
    NoteFailure(instance, address, call, status);
    return false;
}

TagRead FindTag(const DriverInstance& instance, const char* address, int32_t& gateId) {
    const uint16_t status = QorGetGateIdByAddressStr(
        instance.clientId, static_cast<uint8_t>(instance.instanceNumber), address, &gateId);
    if (status == kHostNoSuchTag) {
        return TagRead::kMissing;
    }
    // The host's other statuses are its own: whatever it says, the tag is not there for the
    // driver (logged once, as any failed call).
    return Succeeded(instance, address, kLookUp, status) ? TagRead::kRead : TagRead::kMissing;
}

}  // namespace

void PutTagValue(const DriverInstance& instance, const char* address, double value) {
    int32_t gateId = 0;
    if (FindTag(instance, address, gateId) == TagRead::kRead) {
        Succeeded(instance, address, kPutValue,
                  QorPutGateVal(instance.clientId, gateId, QOR_SOURCE_DRIVER, value, 0, 0));
    }
}

void PutTagText(const DriverInstance& instance, const char* address, const char* text) {
    int32_t gateId = 0;
    if (FindTag(instance, address, gateId) == TagRead::kRead) {
        Succeeded(instance, address, kPutText,
                  QorPutGateStr(instance.clientId, gateId, QOR_SOURCE_DRIVER, text, 0, 0));
    }
}

TagRead ReadTagValue(const DriverInstance& instance, const char* address, double& value,
                     int32_t requestCode, uint8_t readClient) {
    int32_t gateId = 0;
    const TagRead found = FindTag(instance, address, gateId);
    if (found != TagRead::kRead) {
        return found;
    }
    double read = 0.0;
    int32_t out1 = 0;
    int32_t out2 = 0;
    const uint8_t client = readClient != 0 ? readClient : instance.clientId;
    if (!Succeeded(instance, address, kGetValue,
                   QorGetGateVal(client, requestCode, gateId, &read, &out1, &out2))) {
        return TagRead::kFailed;
    }
    value = read;
    return TagRead::kRead;
}

TagRead ReadTagText(const DriverInstance& instance, const char* address, char* text, size_t size) {
    int32_t gateId = 0;
    if (size == 0) {
        return TagRead::kFailed;
    }
    const TagRead found = FindTag(instance, address, gateId);
    if (found != TagRead::kRead) {
        return found;
    }
    // The host copies the whole text it keeps; the driver's own texts are the longest that can
    // be there. Read into an area that holds them and cut to the caller's buffer.
    char read[kLongestTagText + 1] = {};
    int32_t out1 = 0;
    int32_t out2 = 0;
    if (!Succeeded(instance, address, kGetText,
                   QorGetGateStr(instance.clientId, 11, gateId, read, &out1, &out2))) {
        return TagRead::kFailed;
    }
    read[kLongestTagText] = '\0';
    const size_t n = strnlen(read, size - 1);
    std::memcpy(text, read, n);
    text[n] = '\0';
    return TagRead::kRead;
}

}  // namespace kiv
