// Function 1: cold start.
#include <cstring>
#include <new>

#include "instance/instance_sync.h"
#include "instance/monitor.h"
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
#include "write/download_thread.h"
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

// The order in which cold start starts them; the thread that waits for host messages follows.
const WorkerThread kWorkers[] = {
    {&InstanceThreads::receiver, RunReceiver, 0, nullptr},
    {&InstanceThreads::poll, PollControllers, 0, "Initialize"},
    {&InstanceThreads::eventFormat, SendEventFormat, kShortThreadStack, "EventV_Format"},
};

bool StartWorkers(DriverInstance& instance) {
    uint32_t error = 0;
    for (const WorkerThread& worker : kWorkers) {
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
    if (!StartMessageWaiter(instance, kShortThreadStack, error)) {
        err(32, "RIRODI: ColdStart() error, starting ThreadShutDown, err %u", error);
        return false;
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
    if (IsStarted(*memory)) {
        err(32, "RIRODI: ColdStart() refused, the instance is already started; close it first");
        return KIV_FAILED;
    }
    const auto& params = *static_cast<const CommParams*>(request->argument);
    const auto instanceNumber = static_cast<int32_t>(request->instanceNumber);
    DriverInstance& instance = ResetInstance(memory, instanceNumber);
    AttachMonitor(instance);
    MonitorThread(instance);

    if (RegisterClient(instance, ClientName(instanceNumber).data()) != 0) {
        return KIV_REJECTED;
    }
    // Every lock and event exists from here until close.
    switch (CreateInstanceSync(instance)) {
    case SyncCreation::kCreated: break;
    case SyncCreation::kAnswerEventFailed: {
        const InstanceName eventName = AnswerEventName(instanceNumber);
        err(32, "RIRODI: ColdStart() error, creating synchronisation event semaphore '%s', err %u",
            eventName.data(), platform::LastErrorCode());
        ReleaseClient(instance);
        return KIV_FAILED;
    }
    case SyncCreation::kOtherFailed:
        err(32, "RIRODI: ColdStart() error, creating the locks of the instance");
        ReleaseClient(instance);
        return KIV_FAILED;
    }
    // From here on the instance holds something that close must release.
    instance.startedMarker = kStartedMarker;
    processClientId = instance.clientId;
    if (params.openPort == 0) {
        return KIV_OK;
    }

    PortSettings& settings = instance.portSettings;
    std::memcpy(settings.portName, params.portName, sizeof settings.portName);
    settings.lineSettings = params.lineSettings;
    settings.controlFlags = kColdStartControlFlags;
    SetInstancePort(instance, OpenConfiguredPort(settings));
    if (instance.port == nullptr) {
        return KIV_FAILED;  // logged by the open
    }
    instance.answerTimeoutUnit = params.answerTimeout < kMinAnswerTimeoutUnits
                                     ? kMinAnswerTimeoutUnits
                                     : params.answerTimeout;
    platform::SetReadTimeout(instance.port, instance.readTimeout);
    instance.inputSettler = SettleArrivedInput;
    instance.hasLine = true;
    if (!StartWorkers(instance)) {
        return KIV_FAILED;
    }
    BadgeDbLoad(instance);
    err(32, "RIRODI: Driver loaded successfully");
    return KIV_OK;
}

}  // namespace kiv
