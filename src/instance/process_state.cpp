// Values shared by every instance in the process.
#include "instance/driver_instance.h"

namespace kiv {

std::atomic<int32_t> sendAckSetting{0};
std::atomic<uint8_t> processClientId{0};
DriverTimings timingDefaults = kDriverTimings;

}  // namespace kiv
