// The function the driver looks for in the program at a cold start (kiv/kiv_monitor.h),
// exported from kivhost.exe.
#include "host/monitor.h"
#include "kiv/kiv_monitor.h"

extern "C" __declspec(dllexport) void KIV_CDECL
    kivToolMonitor(int32_t instanceNumber, KivMonitorHook* hook) {
    kivhost::Monitor::FillHook(instanceNumber, hook);
}

namespace kivhost {

// Referred to by the monitor, so that this file is linked into every program that has one.
void* MonitorExport() {
    return reinterpret_cast<void*>(&kivToolMonitor);
}

}  // namespace kivhost
