// The stand-in host library: an in-memory tag database, clients with message queues, the log
// and failure injection, behind the host calls the driver makes.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "qorpro/qorpro_embed.h"

namespace {

struct Tag {
    std::string name;
    std::string address;
    int32_t instanceNumber = 0;
    int32_t dataType = 0;
    double value = 0.0;
    std::string text;
    uint32_t writes = 0;
};

struct Client {
    std::string name;
    std::deque<uint16_t> messages;
};

struct LogLine {
    int level;
    std::string text;
};

// Addresses looked up without a copy of the looked-for text.
struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using AddressIndex = std::unordered_map<std::string, int32_t, TextHash, std::equal_to<>>;

struct Failure {
    uint16_t status = 0;
    int32_t times = 0;  // < 0: until cleared
};

class HostLibrary {
public:
    std::mutex mutex;
    std::condition_variable changed;  // tags, clients, messages or log lines changed
    // A message posted, a client removed, the library reset: what a blocked QorGetMsg waits
    // for. Apart from 'changed', so that a tag's change does not wake every line's waiter.
    std::condition_variable messages;
    std::vector<Tag> tags;  // gate id = index + 1
    // The first tag of each instance number and address: the driver looks a tag up by address
    // for every store, among the tags of every line. It has a lock of its own, so that the
    // lines' look-ups do not wait for each other nor for stores.
    std::shared_mutex indexLock;
    std::unordered_map<int32_t, AddressIndex> byAddress;
    std::atomic<uint64_t> indexGeneration{1};  // counts the index's changes, under indexLock
    std::map<uint8_t, Client> clients;
    uint8_t nextClient = 1;
    bool lowestFreeClient = false;  // hand out the lowest free number, as some hosts do
    std::vector<LogLine> log;
    std::array<Failure, QOR_CALL_COUNT> failures{};
    std::atomic<bool> anyFailure{false};  // a failure is armed: calls look at 'failures'
    std::array<std::atomic<uint32_t>, QOR_CALL_COUNT> calls{};
    uint64_t changeCount = 0;
    QorLogCallback logCallback = nullptr;
    void* logContext = nullptr;
    QorChangeCallback changeCallback = nullptr;
    void* changeContext = nullptr;

    Tag* TagById(int32_t gateId) {
        if (gateId < 1 || static_cast<size_t>(gateId) > tags.size()) {
            return nullptr;
        }
        return &tags[static_cast<size_t>(gateId) - 1];
    }

    // Counts the call and answers whether an injected failure applies (its status, or 0).
    uint16_t Enter(QorCall call) {
        ++calls[call];
        return anyFailure.load() ? InjectedLocked(call) : 0;
    }

    // As Enter, for a call that does not hold 'mutex'.
    uint16_t EnterUnlocked(QorCall call) {
        ++calls[call];
        if (!anyFailure.load()) {
            return 0;
        }
        std::lock_guard<std::mutex> guard(mutex);
        return InjectedLocked(call);
    }

    uint16_t InjectedLocked(QorCall call) {
        Failure& failure = failures[call];
        if (failure.status == 0 || failure.times == 0) {
            return 0;
        }
        if (failure.times > 0) {
            --failure.times;
        }
        return failure.status;
    }

    // Under 'mutex': whether a failure is armed, after 'failures' changed.
    void FailuresChangedLocked() {
        anyFailure = std::any_of(failures.begin(), failures.end(),
                                 [](const Failure& f) { return f.status != 0 && f.times != 0; });
    }

    void ClearCallsLocked() {
        for (std::atomic<uint32_t>& count : calls) {
            count = 0;
        }
    }
};

HostLibrary& Host() {
    static HostLibrary host;
    return host;
}

void CopyText(const std::string& text, char* out, size_t size) {
    if (out == nullptr || size == 0) {
        return;
    }
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

std::string Bounded(const char* text) {
    if (text == nullptr) {
        return {};
    }
    const size_t n = strnlen(text, QOR_TEXT_SIZE - 1);
    return {text, n};
}

// A change's callback, taken with the count under the lock of the store itself, so that a
// store locks the library once; called after the lock is given up.
struct ChangeCall {
    QorChangeCallback callback = nullptr;
    void* context = nullptr;
    void operator()(int32_t gateId) const {
        if (callback != nullptr) {
            callback(gateId, context);
        }
    }
};

ChangeCall CountChangeLocked(HostLibrary& host) {
    ++host.changeCount;
    host.changed.notify_all();
    return {host.changeCallback, host.changeContext};
}

// Into the text a tag keeps, in the room it has (no new text for every store).
void StoreText(std::string& kept, const char* text) {
    if (text == nullptr) {
        kept.clear();
        return;
    }
    kept.assign(text, strnlen(text, QOR_TEXT_SIZE - 1));
}

int32_t FindInIndex(HostLibrary& host, int32_t instanceNumber, std::string_view address) {
    const std::shared_lock<std::shared_mutex> index(host.indexLock);
    const auto line = host.byAddress.find(instanceNumber);
    if (line == host.byAddress.end()) {
        return -1;
    }
    const auto found = line->second.find(address);
    return found == line->second.end() ? -1 : found->second;
}

// A driver thread looks up the same few addresses for every frame it takes. Its recent answers
// stay with the thread while the index is unchanged: a repeated look-up then takes no shared
// lock (whose line every thread writes) and reads one slot, not the index's cold nodes.
class RecentAddresses {
public:
    int32_t Find(HostLibrary& host, int32_t instanceNumber, std::string_view address) {
        const uint64_t generation = host.indexGeneration.load(std::memory_order_acquire);
        if (generation_ != generation) {
            slots_ = {};
            generation_ = generation;
        }
        if (address.size() > kLongest) {
            return FindInIndex(host, instanceNumber, address);
        }
        Slot& slot =
            slots_[(std::hash<std::string_view>{}(address) + static_cast<size_t>(instanceNumber)) %
                   kSlots];
        if (slot.used && slot.instanceNumber == instanceNumber && slot.Address() == address) {
            return slot.id;
        }
        slot.id = FindInIndex(host, instanceNumber, address);
        slot.instanceNumber = instanceNumber;
        slot.length = static_cast<uint8_t>(address.size());
        std::memcpy(slot.address.data(), address.data(), address.size());
        slot.used = true;
        return slot.id;
    }

private:
    static constexpr size_t kSlots = 64;
    static constexpr size_t kLongest = 22;
    struct Slot {
        int32_t instanceNumber = 0;
        int32_t id = -1;
        bool used = false;
        uint8_t length = 0;
        std::array<char, kLongest> address{};
        std::string_view Address() const { return {address.data(), length}; }
    };
    uint64_t generation_ = 0;
    std::array<Slot, kSlots> slots_{};
};

thread_local RecentAddresses tRecentAddresses;

int32_t FindByAddress(HostLibrary& host, int32_t instanceNumber, const char* address) {
    return tRecentAddresses.Find(host, instanceNumber, std::string_view(address));
}

}  // namespace

extern "C" {

// ---- The host calls ----

int KIV_CDECL err(int level, const char* format, ...) {
    char line[1024];
    va_list args;
    va_start(args, format);
    // The format is the driver's own; received text only ever arrives as an argument.
    const int n = format != nullptr ? std::vsnprintf(line, sizeof line, format, args) : 0;
    va_end(args);
    if (n < 0) {
        line[0] = '\0';
    }
    HostLibrary& host = Host();
    QorLogCallback callback = nullptr;
    void* context = nullptr;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        host.log.push_back(LogLine{level, line});
        callback = host.logCallback;
        context = host.logContext;
        host.changed.notify_all();
    }
    if (callback != nullptr) {
        callback(level, line, context);
    }
    return 0;
}

uint16_t KIV_STDCALL QorMkClient(const char* name, int32_t /*kind*/, int32_t /*flags*/,
                                 uint8_t* clientId) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_MK_CLIENT); status != 0) {
        return status;
    }
    if (clientId == nullptr || name == nullptr) {
        return QOR_STATUS_BAD_ARGUMENT;
    }
    // Handles 1 to 255, reused once free.
    if (host.lowestFreeClient) {
        host.nextClient = 1;
    }
    for (int tries = 0; tries < 255; ++tries) {
        const uint8_t id = host.nextClient;
        host.nextClient = static_cast<uint8_t>(host.nextClient == 255 ? 1 : host.nextClient + 1);
        if (host.clients.find(id) == host.clients.end()) {
            host.clients[id] = Client{Bounded(name), {}};
            *clientId = id;
            return 0;
        }
    }
    return QOR_STATUS_BAD_ARGUMENT;
}

uint16_t KIV_STDCALL QorRmClient(uint8_t clientId) {
    HostLibrary& host = Host();
    uint16_t result = 0;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        if (const uint16_t status = host.Enter(QOR_CALL_RM_CLIENT); status != 0) {
            return status;
        }
        result = host.clients.erase(clientId) == 1 ? 0 : QOR_STATUS_NO_CLIENT;
        // A blocked QorGetMsg of this client fails now. Notified under the lock, like every
        // change here: whoever takes the lock afterwards (the process's exit too) comes after it.
        host.changed.notify_all();
        host.messages.notify_all();
    }
    return result;
}

uint16_t KIV_STDCALL QorGetMsg(uint8_t clientId, QorMessage* message) {
    HostLibrary& host = Host();
    std::unique_lock<std::mutex> lock(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_GET_MSG); status != 0) {
        return status;
    }
    for (;;) {
        auto it = host.clients.find(clientId);
        if (it == host.clients.end()) {
            return QOR_STATUS_NO_CLIENT;
        }
        if (!it->second.messages.empty()) {
            const uint16_t code = it->second.messages.front();
            it->second.messages.pop_front();
            if (message != nullptr) {
                *message = QorMessage{};
                message->code = code;
            }
            return 0;
        }
        host.messages.wait(lock);
    }
}

uint16_t KIV_STDCALL QorGetGateIdByAddressStr(uint8_t /*clientId*/, uint8_t instanceNumber,
                                              const char* address, int32_t* gateId) {
    HostLibrary& host = Host();
    if (const uint16_t status = host.EnterUnlocked(QOR_CALL_GET_GATE_ID_BY_ADDRESS); status != 0) {
        return status;
    }
    if (address == nullptr || gateId == nullptr) {
        return QOR_STATUS_BAD_ARGUMENT;
    }
    const int32_t id = FindByAddress(host, instanceNumber, address);
    if (id < 0) {
        return QOR_STATUS_NOT_FOUND;
    }
    *gateId = id;
    return 0;
}

uint16_t KIV_STDCALL QorGetGateId(uint8_t /*clientId*/, const char* name, int32_t* gateId) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_GET_GATE_ID); status != 0) {
        return status;
    }
    if (name == nullptr || gateId == nullptr) {
        return QOR_STATUS_BAD_ARGUMENT;
    }
    for (size_t i = 0; i < host.tags.size(); ++i) {
        if (host.tags[i].name == name) {
            *gateId = static_cast<int32_t>(i + 1);
            return 0;
        }
    }
    return QOR_STATUS_NOT_FOUND;
}

uint16_t KIV_STDCALL QorGetGateFormat(uint8_t /*clientId*/, int32_t gateId, int32_t* dataType) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_GET_GATE_FORMAT); status != 0) {
        return status;
    }
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr || dataType == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    *dataType = tag->dataType;
    return 0;
}

uint16_t KIV_STDCALL QorPutGateVal(uint8_t /*clientId*/, int32_t gateId, int32_t /*source*/,
                                   double value, int32_t /*reserved1*/, int32_t /*reserved2*/) {
    HostLibrary& host = Host();
    ChangeCall change;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        if (const uint16_t status = host.Enter(QOR_CALL_PUT_GATE_VAL); status != 0) {
            return status;
        }
        Tag* tag = host.TagById(gateId);
        if (tag == nullptr) {
            return QOR_STATUS_NOT_FOUND;
        }
        tag->value = value;
        ++tag->writes;
        change = CountChangeLocked(host);
    }
    change(gateId);
    return 0;
}

uint16_t KIV_STDCALL QorPutGateStr(uint8_t /*clientId*/, int32_t gateId, int32_t /*source*/,
                                   const char* text, int32_t /*reserved1*/, int32_t /*reserved2*/) {
    HostLibrary& host = Host();
    ChangeCall change;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        if (const uint16_t status = host.Enter(QOR_CALL_PUT_GATE_STR); status != 0) {
            return status;
        }
        Tag* tag = host.TagById(gateId);
        if (tag == nullptr) {
            return QOR_STATUS_NOT_FOUND;
        }
        StoreText(tag->text, text);
        ++tag->writes;
        change = CountChangeLocked(host);
    }
    change(gateId);
    return 0;
}

uint16_t KIV_STDCALL QorGetGateVal(uint8_t /*clientId*/, int32_t /*request*/, int32_t gateId,
                                   double* value, int32_t* out1, int32_t* out2) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_GET_GATE_VAL); status != 0) {
        return status;
    }
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr || value == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    *value = tag->value;
    if (out1 != nullptr) {
        *out1 = 0;
    }
    if (out2 != nullptr) {
        *out2 = 0;
    }
    return 0;
}

uint16_t KIV_STDCALL QorGetGateStr(uint8_t /*clientId*/, int32_t /*request*/, int32_t gateId,
                                   char* text, int32_t* out1, int32_t* out2) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (const uint16_t status = host.Enter(QOR_CALL_GET_GATE_STR); status != 0) {
        return status;
    }
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr || text == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    // Texts are kept below QOR_TEXT_SIZE bytes, so they fit the host's text buffers.
    CopyText(tag->text, text, QOR_TEXT_SIZE);
    if (out1 != nullptr) {
        *out1 = 0;
    }
    if (out2 != nullptr) {
        *out2 = 0;
    }
    return 0;
}

// ---- The embedding program's API ----

void qorReset(void) {
    HostLibrary& host = Host();
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        host.tags.clear();
        {
            const std::unique_lock<std::shared_mutex> index(host.indexLock);
            host.byAddress.clear();
            ++host.indexGeneration;
        }
        host.clients.clear();
        host.nextClient = 1;
        host.lowestFreeClient = false;
        host.log.clear();
        host.failures = {};
        host.FailuresChangedLocked();
        host.ClearCallsLocked();
        host.changeCount = 0;
        host.logCallback = nullptr;
        host.logContext = nullptr;
        host.changeCallback = nullptr;
        host.changeContext = nullptr;
        host.changed.notify_all();
        host.messages.notify_all();
    }
}

int32_t qorDefineTag(const char* name, const char* address, int32_t instanceNumber,
                     int32_t dataType) {
    if (name == nullptr || address == nullptr) {
        return -1;
    }
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    for (const Tag& tag : host.tags) {
        if (tag.name == name) {
            return -1;
        }
    }
    Tag tag;
    tag.name = name;
    tag.address = address;
    tag.instanceNumber = instanceNumber;
    tag.dataType = dataType;
    host.tags.push_back(tag);
    const auto id = static_cast<int32_t>(host.tags.size());
    const std::unique_lock<std::shared_mutex> index(host.indexLock);
    host.byAddress[instanceNumber].emplace(address, id);
    ++host.indexGeneration;
    return id;
}

int32_t qorFindTag(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    for (size_t i = 0; i < host.tags.size(); ++i) {
        if (host.tags[i].name == name) {
            return static_cast<int32_t>(i + 1);
        }
    }
    return -1;
}

int32_t qorFindTagByAddress(int32_t instanceNumber, const char* address) {
    if (address == nullptr) {
        return -1;
    }
    return FindByAddress(Host(), instanceNumber, address);
}

int32_t qorTagCount(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    return static_cast<int32_t>(host.tags.size());
}

int qorSetValue(int32_t gateId, double value) {
    HostLibrary& host = Host();
    ChangeCall change;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        Tag* tag = host.TagById(gateId);
        if (tag == nullptr) {
            return QOR_STATUS_NOT_FOUND;
        }
        tag->value = value;
        change = CountChangeLocked(host);
    }
    change(gateId);
    return 0;
}

int qorSetText(int32_t gateId, const char* text) {
    HostLibrary& host = Host();
    ChangeCall change;
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        Tag* tag = host.TagById(gateId);
        if (tag == nullptr) {
            return QOR_STATUS_NOT_FOUND;
        }
        StoreText(tag->text, text);
        change = CountChangeLocked(host);
    }
    change(gateId);
    return 0;
}

int qorGetValue(int32_t gateId, double* value) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr || value == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    *value = tag->value;
    return 0;
}

int qorGetText(int32_t gateId, char* text, size_t size) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    CopyText(tag->text, text, size);
    return 0;
}

int qorGetTagInfo(int32_t gateId, char* name, size_t nameSize, char* address, size_t addressSize,
                  int32_t* instanceNumber, int32_t* dataType) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    const Tag* tag = host.TagById(gateId);
    if (tag == nullptr) {
        return QOR_STATUS_NOT_FOUND;
    }
    CopyText(tag->name, name, nameSize);
    CopyText(tag->address, address, addressSize);
    if (instanceNumber != nullptr) {
        *instanceNumber = tag->instanceNumber;
    }
    if (dataType != nullptr) {
        *dataType = tag->dataType;
    }
    return 0;
}

uint32_t qorWriteCount(int32_t gateId) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    const Tag* tag = host.TagById(gateId);
    return tag == nullptr ? 0 : tag->writes;
}

uint64_t qorChangeCount(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    return host.changeCount;
}

uint64_t qorWaitForChange(uint64_t seen, int32_t timeoutMs) {
    HostLibrary& host = Host();
    std::unique_lock<std::mutex> lock(host.mutex);
    host.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                          [&] { return host.changeCount > seen; });
    return host.changeCount;
}

void qorSetChangeCallback(QorChangeCallback callback, void* context) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.changeCallback = callback;
    host.changeContext = context;
}

int qorPostMessage(uint8_t clientId, uint16_t code) {
    HostLibrary& host = Host();
    {
        std::lock_guard<std::mutex> guard(host.mutex);
        auto it = host.clients.find(clientId);
        if (it == host.clients.end()) {
            return QOR_STATUS_NO_CLIENT;
        }
        it->second.messages.push_back(code);
        host.changed.notify_all();
        host.messages.notify_all();
    }
    return 0;
}

int qorClientExists(uint8_t clientId) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    return host.clients.count(clientId) == 1 ? 1 : 0;
}

int32_t qorClientCount(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    return static_cast<int32_t>(host.clients.size());
}

int qorClientName(uint8_t clientId, char* name, size_t size) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    auto it = host.clients.find(clientId);
    if (it == host.clients.end()) {
        CopyText(std::string(), name, size);
        return QOR_STATUS_NO_CLIENT;
    }
    CopyText(it->second.name, name, size);
    return 0;
}

size_t qorLogCount(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    return host.log.size();
}

int qorLogLine(size_t index, int* level, char* text, size_t size) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    if (index >= host.log.size()) {
        return QOR_STATUS_NOT_FOUND;
    }
    if (level != nullptr) {
        *level = host.log[index].level;
    }
    CopyText(host.log[index].text, text, size);
    return 0;
}

void qorClearLog(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.log.clear();
}

size_t qorWaitForLog(size_t count, int32_t timeoutMs) {
    HostLibrary& host = Host();
    std::unique_lock<std::mutex> lock(host.mutex);
    host.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                          [&] { return host.log.size() >= count; });
    return host.log.size();
}

void qorSetLogCallback(QorLogCallback callback, void* context) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.logCallback = callback;
    host.logContext = context;
}

void qorFailCall(QorCall call, uint16_t status, int32_t times) {
    if (call < 0 || call >= QOR_CALL_COUNT) {
        return;
    }
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.failures[call] = Failure{status, status == 0 ? 0 : times};
    host.FailuresChangedLocked();
}

void qorClearFailures(void) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.failures = {};
    host.FailuresChangedLocked();
}

uint32_t qorCallCount(QorCall call) {
    if (call < 0 || call >= QOR_CALL_COUNT) {
        return 0;
    }
    return Host().calls[call].load();
}

void qorReuseClientNumbers(int lowestFree) {
    HostLibrary& host = Host();
    std::lock_guard<std::mutex> guard(host.mutex);
    host.lowestFreeClient = lowestFree != 0;
}

}  // extern "C"
