// Monitoring records to a tool's sink.
#include "instance/monitor.h"

#include <cstring>

#include "instance/driver_instance.h"
#include "platform/dynamic_library.h"

namespace kiv {

namespace {

KivMonitorRecord Record(const DriverInstance& instance, int32_t kind) {
    KivMonitorRecord record{};
    record.kind = kind;
    record.instanceNumber = instance.instanceNumber;
    record.controller = -1;
    record.unit = -1;
    record.doorState = -1;
    return record;
}

void Hand(const DriverInstance& instance, const KivMonitorRecord& record) {
    if (instance.monitor.sink != nullptr) {
        instance.monitor.sink(&record, instance.monitor.context);
    }
}

}  // namespace

void AttachMonitor(DriverInstance& instance) {
    instance.monitor = KivMonitorHook{};
    auto* const find =
        reinterpret_cast<KivToolMonitorFunction>(platform::ProgramSymbol(KIV_TOOL_MONITOR_NAME));
    if (find != nullptr) {
        find(instance.instanceNumber, &instance.monitor);
    }
}

void MonitorFrame(const DriverInstance& instance, int32_t kind, const char* bytes, size_t count) {
    KivMonitorRecord record = Record(instance, kind);
    record.bytes = bytes;
    record.count = static_cast<uint32_t>(count);
    Hand(instance, record);
}

void MonitorEvent(const DriverInstance& instance, const MonitoredEvent& event) {
    KivMonitorRecord record = Record(instance, KIV_MON_EVENT);
    record.code = event.code;
    record.unit = event.unit;
    record.bytes = event.text;
    record.count = static_cast<uint32_t>(std::strlen(event.text));
    record.key = event.key;
    record.doorState = event.doorState;
    record.badgeEvent = event.badgeEvent ? 1 : 0;
    record.unitTag = event.unitTag;
    record.unitTagValue = event.unitTagValue;
    Hand(instance, record);
}

void MonitorStatus(const DriverInstance& instance, int32_t controller) {
    KivMonitorRecord record = Record(instance, KIV_MON_STATUS);
    record.controller = controller;
    Hand(instance, record);
}

void MonitorAttempt(const DriverInstance& instance, const char* command, size_t length,
                    int32_t attempt, int32_t outcome) {
    KivMonitorRecord record = Record(instance, KIV_MON_ATTEMPT);
    record.bytes = command;
    record.count = static_cast<uint32_t>(length);
    record.attempt = attempt;
    record.code = outcome;
    Hand(instance, record);
}

void MonitorPollSilent(const DriverInstance& instance, int32_t controller) {
    KivMonitorRecord record = Record(instance, KIV_MON_POLL_SILENT);
    record.controller = controller;
    Hand(instance, record);
}

void MonitorThread(const DriverInstance& instance) {
    Hand(instance, Record(instance, KIV_MON_THREAD));
}

}  // namespace kiv
