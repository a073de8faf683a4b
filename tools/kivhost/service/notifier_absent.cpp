// The notifier where libsystemd is not built in (Windows, or a Linux build without it).
#include "service/service_notifier.h"

namespace kivhost {

std::unique_ptr<ServiceNotifier> MakeServiceNotifier() {
    return std::make_unique<SilentNotifier>();
}

}  // namespace kivhost
