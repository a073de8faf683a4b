// A driver instance for the simulated-line tests: zeroed as the host hands it over, with the locks
// and events a started instance has, and the line settings of a cold start.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "instance/driver_instance.h"
#include "instance/instance_sync.h"
#include "platform/serial_port.h"
#include "platform/sync.h"

namespace kivtest {

class LinkInstance {
public:
    // 'started' false gives an instance that is not started (never started, or closed).
    explicit LinkInstance(bool started = true) : instance_(new kiv::DriverInstance{}) {
        if (started) {
            EXPECT_EQ(kiv::CreateInstanceSync(*instance_), kiv::SyncCreation::kCreated);
            instance_->startedMarker = kiv::kStartedMarker;
            instance_->hasLine = true;
        }
        instance_->instanceNumber = 1;
        instance_->answerTimeoutUnit = 100;
        instance_->readTimeout = 20;
        instance_->portSettings.lineSettings = LineSettings{9600, 8, 0, 0};
        instance_->portSettings.controlFlags = 0x0303;
    }
    ~LinkInstance() {
        if (instance_->port != nullptr) {
            kiv::platform::ClosePort(instance_->port);
        }
        kiv::DestroyInstanceSync(*instance_);
    }
    LinkInstance(const LinkInstance&) = delete;
    LinkInstance& operator=(const LinkInstance&) = delete;

    kiv::DriverInstance& operator*() { return *instance_; }
    kiv::DriverInstance* operator->() { return instance_.get(); }
    kiv::DriverInstance* get() { return instance_.get(); }

    // Stores the name in the settings, as cold start does.
    void SetPortName(const std::string& name) {
        std::memset(instance_->portSettings.portName, 0, sizeof instance_->portSettings.portName);
        std::memcpy(instance_->portSettings.portName, name.data(),
                    name.size() < sizeof instance_->portSettings.portName
                        ? name.size()
                        : sizeof instance_->portSettings.portName);
    }

    // Opens the named port with the stored settings and sets the read time-out, as cold start
    // does; false when it did not open.
    bool Open(const std::string& name) {
        SetPortName(name);
        kiv::platform::PortHandle port = nullptr;
        const kiv::PortSettings& settings = instance_->portSettings;
        if (kiv::platform::OpenPort(name.c_str(), settings.lineSettings, settings.controlFlags,
                                    port) != kiv::platform::kPortOk) {
            return false;
        }
        instance_->port = port;
        kiv::platform::SetReadTimeout(port, instance_->readTimeout);
        return true;
    }

private:
    std::unique_ptr<kiv::DriverInstance> instance_;
};

}  // namespace kivtest
