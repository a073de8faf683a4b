// The driver's side of the monitoring interface (kiv/kiv_monitor.h): each call hands one record
// to the sink that a tool set for the instance at cold start, and does nothing for a host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kiv/kiv_monitor.h"

namespace kiv {

struct DriverInstance;

// At cold start: asks the program for the instance's hook (none when it exports no function).
void AttachMonitor(DriverInstance& instance);

void MonitorFrame(const DriverInstance& instance, int32_t kind, const char* bytes, size_t count);
// An event as published: its code and unit (-1 when missing), its work text (terminated), the
// key number looked up (or null), and what its code means (see KivMonitorRecord).
struct MonitoredEvent {
    int32_t code = 0;
    int32_t unit = -1;
    const char* text = "";
    const char* key = nullptr;
    int32_t doorState = -1;
    bool badgeEvent = false;
    const char* unitTag = nullptr;
    int32_t unitTagValue = 0;
};
void MonitorEvent(const DriverInstance& instance, const MonitoredEvent& event);
void MonitorStatus(const DriverInstance& instance, int32_t controller);
// 'outcome' is the attempt's result as KivMonitorOutcome counts (the link's AttemptResult).
void MonitorAttempt(const DriverInstance& instance, const char* command, size_t length,
                    int32_t attempt, int32_t outcome);
void MonitorPollSilent(const DriverInstance& instance, int32_t controller);
// The calling thread works for the instance (a driver thread at its start, a host call).
void MonitorThread(const DriverInstance& instance);

}  // namespace kiv
