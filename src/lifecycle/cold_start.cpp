// Function 1: cold start.
#include <cstring>
#include <new>

#include "lifecycle/instance_names.h"
#include "lifecycle/lifecycle_functions.h"
#include "lifecycle/shutdown_thread.h"
#include "lifecycle/startup_threads.h"
#include "link/instance_port.h"
#include "platform/serial_port.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qorpro/qorpro.h"
#include "receive/badge_database.h"
#include "receive/unsolicited_receiver.h"
#include "write/setup_staging.h"

namespace kiv {

namespace {

// DTR on and RTS on, no handshake.
constexpr uint16_t kColdStartControlFlags = 0x0303;
constexpr int32_t kReadTimeoutUnits = 20;
constexpr size_t kShortThreadStack = 4096;

// Brings the host's memory to the start values: every member constructed afresh, the staged
// values at their defaults.
DriverInstance& ResetInstance(void* memory, int32_t instanceNumber) {
    auto* instance = new (memory) DriverInstance{};
    ResetSetupStage(instance->stage);
    instance->instanceNumber = instanceNumber;
    instance->timings = timingDefaults;
    instance->readTimeout = kReadTimeoutUnits;
    return *instance;
}

struct WorkerThread {
    platform::Thread InstanceThreads::*slot;
    platform::ThreadBody body;
    size_t stackSize;
    const char* name;  // for the failure line; nullptr: the receiver's own line
};

// The order in which cold start starts them.
const WorkerThread kWorkers[] = {
    {&InstanceThreads::receiver, UnsolThread, 0, nullptr},
    {&InstanceThreads::poll, Initialize, 0, "Initialize"},
    {&InstanceThreads::eventFormat, EventV_Format, kShortThreadStack, "EventV_Format"},
    {&InstanceThreads::shutdown, ThreadShutDown, kShortThreadStack, "ThreadShutDown"},
};

bool StartWorkers(DriverInstance& instance) {
    for (const WorkerThread& worker : kWorkers) {
        uint32_t error = 0;
        if (!platform::ThreadStart(instance.threads.*worker.slot, worker.body, &instance,
                                   worker.stackSize, &error)) {
            if (worker.name == nullptr) {
                err(32, "RIRODI : Cann't open Unsolicited thread !!!");
            } else {
                err(32, "RIRODI: ColdStart() error, starting %s, err %u", worker.name, error);
            }
            return false;
        }
    }
    return true;
}

}  // namespace

int32_t ColdStart(KivRequest* request) {
    err(32, "RIRODI: START");
    if (request->instance == nullptr || request->argument == nullptr) {
        return KIV_FAILED;
    }
    auto* memory = static_cast<DriverInstance*>(request->instance);
    if (memory->startedMarker == kStartedMarker) {
        err(32, "RIRODI: ColdStart() refused, the instance is already started; close it first");
        return KIV_FAILED;
    }
    const auto& params = *static_cast<const CommParams*>(request->argument);
    const auto instanceNumber = static_cast<int32_t>(request->instanceNumber);
    DriverInstance& instance = ResetInstance(memory, instanceNumber);

    if (QorMkClient(ClientName(instanceNumber).data(), 1, 0, &instance.clientId) != 0) {
        return KIV_REJECTED;
    }
    // From here on the instance holds something that close must release.
    instance.clientRegistered = 1;
    instance.startedMarker = kStartedMarker;
    processClientId = instance.clientId;
    if (params.openPort == 0) {
        return KIV_OK;
    }

    PortSettings& settings = instance.portSettings;
    std::memcpy(settings.portName, params.portName, sizeof settings.portName);
    settings.lineSettings = params.lineSettings;
    settings.controlFlags = kColdStartControlFlags;
    instance.port = OpenConfiguredPort(settings);
    if (instance.port == nullptr) {
        char name[KIV_PORT_NAME_SIZE + 1] = {};
        std::memcpy(name, settings.portName, strnlen(settings.portName, KIV_PORT_NAME_SIZE));
        err(32, "RIRODI: Fail to open COMM port %s", name);
        return KIV_FAILED;
    }
    instance.answerTimeoutUnit = params.answerTimeout < kMinAnswerTimeoutUnits
                                     ? kMinAnswerTimeoutUnits
                                     : params.answerTimeout;
    platform::SetReadTimeout(instance.port, instance.readTimeout);

    const InstanceName eventName = AnswerEventName(instanceNumber);
    if (!platform::EventCreate(instance.answerEvent, eventName.data())) {
        err(32, "RIRODI: ColdStart() error, creating synchronisation event semaphore '%s', err %u",
            eventName.data(), platform::LastErrorCode());
        return KIV_FAILED;
    }
    if (!platform::LockInit(instance.portLock) || !platform::LockInit(instance.transactionLock) ||
        !platform::EventCreate(instance.shutdownEvent, nullptr) ||
        !platform::EventCreate(instance.receiverReady, nullptr) || !BadgeTableOpen(instance)) {
        err(32, "RIRODI: ColdStart() error, creating the locks of the instance");
        return KIV_FAILED;
    }
    if (!StartWorkers(instance)) {
        return KIV_FAILED;
    }
    BadgeDbLoad(instance);
    err(32, "RIRODI: Driver loaded successfully");
    return KIV_OK;
}

}  // namespace kiv
