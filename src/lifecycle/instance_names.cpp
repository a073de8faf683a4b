// The client and event names of an instance.
#include "lifecycle/instance_names.h"

#include <cstdio>

namespace kiv {

InstanceName ClientName(int32_t instanceNumber) {
    InstanceName name{};
    std::snprintf(name.data(), name.size(), "RIRODI No_%.2d", static_cast<int>(instanceNumber));
    return name;
}

InstanceName AnswerEventName(int32_t instanceNumber) {
    InstanceName name{};
    std::snprintf(name.data(), name.size(), "RIRODI%02uEventSem",
                  static_cast<unsigned>(instanceNumber));
    return name;
}

}  // namespace kiv
