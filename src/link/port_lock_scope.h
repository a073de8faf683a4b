// Holds the instance's port lock for one scope, when the instance has one.
#pragma once

#include "instance/driver_instance.h"
#include "platform/sync.h"

namespace kiv {

class PortLockScope {
public:
    explicit PortLockScope(DriverInstance& instance)
        : lock_(platform::LockIsInitialised(instance.portLock) ? &instance.portLock : nullptr) {
        if (lock_ != nullptr) {
            platform::LockEnter(*lock_);
        }
    }
    ~PortLockScope() {
        if (lock_ != nullptr) {
            platform::LockLeave(*lock_);
        }
    }
    PortLockScope(const PortLockScope&) = delete;
    PortLockScope& operator=(const PortLockScope&) = delete;

private:
    platform::Lock* lock_;
};

}  // namespace kiv
