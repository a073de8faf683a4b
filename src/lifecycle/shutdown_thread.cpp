// The host client of an instance and the thread that waits for the host's messages.
#include "lifecycle/shutdown_thread.h"

#include <algorithm>
#include <atomic>
#include <new>

#include "instance/thread_waits.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qorpro/qorpro.h"

namespace kiv {

struct MessageWaiter {
    platform::Lock lock;       // guards the three members below
    DriverInstance* instance;  // nullptr once close has let the thread go
    uint8_t clientId;
    bool clientRemoved;
    platform::Event wake;         // ends the thread's pause after a failed QorGetMsg
    platform::Event ended;        // set by the thread as its last step
    std::atomic<int32_t> owners;  // the instance and, once started, the thread
};

namespace {

constexpr uint32_t kFirstRetryMs = 10;
constexpr uint32_t kLastRetryMs = 1000;
constexpr int kClientTries = 4;

// Per client number: how many waiter records of this process hold it. A record holds its number
// from registration until the last of the instance and its thread lets go of it, so the number
// stays reserved for as long as any thread may still use it (also between the retries of a
// failed QorGetMsg). Cold start does not take a reserved number.
std::atomic<uint16_t> clientHolders[256];

MessageWaiter* CreateWaiter(DriverInstance& instance, uint8_t clientId) {
    auto* waiter = new (std::nothrow) MessageWaiter{};
    if (waiter == nullptr) {
        return nullptr;
    }
    if (!platform::LockInit(waiter->lock) || !platform::EventCreate(waiter->wake, nullptr) ||
        !platform::EventCreate(waiter->ended, nullptr)) {
        platform::LockDestroy(waiter->lock);
        platform::EventClose(waiter->wake);
        delete waiter;
        return nullptr;
    }
    waiter->instance = &instance;
    waiter->clientId = clientId;
    waiter->owners = 1;
    clientHolders[clientId].fetch_add(1);
    return waiter;
}

void Release(MessageWaiter* waiter) {
    if (waiter->owners.fetch_sub(1) != 1) {
        return;
    }
    clientHolders[waiter->clientId].fetch_sub(1);
    platform::LockDestroy(waiter->lock);
    platform::EventClose(waiter->wake);
    platform::EventClose(waiter->ended);
    delete waiter;
}

std::optional<uint16_t> RemoveWaiterClient(MessageWaiter& waiter) {
    uint16_t status = 0;
    {
        const platform::LockGuard guard(waiter.lock);
        if (waiter.clientRemoved) {
            return std::nullopt;
        }
        status = QorRmClient(waiter.clientId);
        waiter.clientRemoved = status == 0;
    }
    if (status == 0) {
        platform::EventSet(waiter.wake);
    }
    return status;
}

// The client number to wait on next; nothing when the thread is to end.
std::optional<uint8_t> BeginWait(MessageWaiter& waiter) {
    const platform::LockGuard guard(waiter.lock);
    if (waiter.clientRemoved || waiter.instance == nullptr) {
        return std::nullopt;
    }
    return waiter.clientId;
}

// The host's shut-down signal: every thread of the instance is asked to end, the client removed.
// True when the client is gone (the thread then ends).
bool OnShutdownSignal(MessageWaiter& waiter) {
    err(64, "RIRODI: message QOR_SIGNAL_SHUT");
    {
        const platform::LockGuard guard(waiter.lock);
        if (waiter.instance != nullptr) {
            RequestShutdown(*waiter.instance);
        }
    }
    const std::optional<uint16_t> status = RemoveWaiterClient(waiter);
    if (!status.has_value()) {
        return true;  // close removed it meanwhile
    }
    if (*status == 0) {
        err(64, "RIRODI: QorRmClient() succeeded!!!");
        return true;
    }
    err(64, "RIRODI: QorRmClient() didn't succeed!!!");
    return false;
}

struct WaiterState {
    bool letGo;          // close has let the thread go
    bool clientRemoved;  // the client is gone: nothing more to wait for
};

WaiterState StateOf(MessageWaiter& waiter) {
    const platform::LockGuard guard(waiter.lock);
    return {waiter.instance == nullptr, waiter.clientRemoved};
}

void WaitForMessages(MessageWaiter& waiter) {
    uint32_t retryMs = 0;  // 0 while QorGetMsg works
    for (;;) {
        const std::optional<uint8_t> clientId = BeginWait(waiter);
        if (!clientId) {
            return;
        }
        QorMessage message{};
        const uint16_t status = QorGetMsg(*clientId, &message);
        const WaiterState state = StateOf(waiter);
        if (state.letGo) {
            // Close has let this thread go: the client is cleaned up if the host allows, and
            // nothing of the instance is touched.
            RemoveWaiterClient(waiter);
            return;
        }
        if (state.clientRemoved) {
            return;  // the wait ended because the client is gone
        }
        if (status != 0) {
            if (retryMs == 0) {
                err(32,
                    "RIRODI: ThreadShutDown() error, QorGetMsg() failed with status %u, "
                    "waiting for host messages again",
                    static_cast<unsigned>(status));
            }
            retryMs = std::clamp(retryMs * 2, kFirstRetryMs, kLastRetryMs);
            platform::EventWait(waiter.wake, retryMs);
            continue;
        }
        if (retryMs != 0) {
            err(32, "RIRODI: ThreadShutDown() QorGetMsg() works again");
            retryMs = 0;
        }
        if (message.code == kSignalShut && OnShutdownSignal(waiter)) {
            return;
        }
    }
}

}  // namespace

uint16_t RegisterClient(DriverInstance& instance, const char* name) {
    uint8_t kept[kClientTries] = {};
    int keptCount = 0;
    uint8_t clientId = 0;
    uint16_t status = QorMkClient(name, 1, 0, &clientId);
    // A number that a thread of an earlier instance may still wait on would hand it this client's
    // messages: ask for another one, and give the reserved ones back afterwards.
    while (status == 0 && clientHolders[clientId].load() != 0 && keptCount < kClientTries) {
        kept[keptCount++] = clientId;
        status = QorMkClient(name, 1, 0, &clientId);
    }
    for (int i = 0; i < keptCount; ++i) {
        QorRmClient(kept[i]);
    }
    if (status == 0 && clientHolders[clientId].load() != 0) {
        QorRmClient(clientId);
        status = 1;  // every number the host offered is still waited on
    }
    if (status != 0) {
        err(32, "RIRODI: ColdStart() error, QorMkClient() refused the client '%s', status %u", name,
            static_cast<unsigned>(status));
        return status;
    }
    instance.clientId = clientId;
    instance.messageWaiter = CreateWaiter(instance, clientId);
    if (instance.messageWaiter == nullptr) {
        QorRmClient(clientId);
        err(32, "RIRODI: ColdStart() error, not enough memory for the client '%s'", name);
        return 1;
    }
    return 0;
}

bool StartMessageWaiter(DriverInstance& instance, size_t stackSize, uint32_t& error) {
    MessageWaiter* waiter = instance.messageWaiter;
    waiter->owners.fetch_add(1);
    if (!platform::ThreadStart(instance.threads.shutdown, WaitForHostMessages, waiter, stackSize,
                               &error)) {
        waiter->owners.fetch_sub(1);
        return false;
    }
    return true;
}

void WaitForHostMessages(void* argument) {
    auto* waiter = static_cast<MessageWaiter*>(argument);
    err(32, "RIRODI: Start of ThreadShutDown");
    WaitForMessages(*waiter);
    platform::EventSet(waiter->ended);
    Release(waiter);
}

std::optional<uint16_t> RemoveClient(DriverInstance& instance) {
    if (instance.messageWaiter == nullptr) {
        return std::nullopt;
    }
    return RemoveWaiterClient(*instance.messageWaiter);
}

void ReleaseClient(DriverInstance& instance) {
    MessageWaiter* waiter = instance.messageWaiter;
    if (waiter == nullptr) {
        return;
    }
    const std::optional<uint16_t> status = RemoveWaiterClient(*waiter);
    if (status.has_value() && *status != 0) {
        err(32,
            "RIRODI: close: QorRmClient() didn't succeed, status %u; the host keeps the "
            "client",
            static_cast<unsigned>(*status));
    }
    platform::Thread& thread = instance.threads.shutdown;
    if (platform::ThreadStarted(thread)) {
        bool removed = false;
        {
            const platform::LockGuard guard(waiter->lock);
            removed = waiter->clientRemoved;
        }
        // Once the client is gone the host ends the thread's wait; otherwise nothing will.
        if (removed && platform::EventWait(waiter->ended, kMessageWaiterEndMs) ==
                           platform::WaitResult::Signalled) {
            platform::ThreadJoin(thread);
        } else {
            {
                const platform::LockGuard guard(waiter->lock);
                waiter->instance = nullptr;
            }
            platform::EventSet(waiter->wake);
            platform::ThreadDetach(thread);
            err(32,
                "RIRODI: close: the thread that waits for host messages did not end; it is "
                "let go and ends when the host ends its wait");
        }
    }
    instance.messageWaiter = nullptr;
    Release(waiter);
}

}  // namespace kiv
