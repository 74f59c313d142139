#include "Apphost/ApplicationType.h"

#include <atomic>

namespace Apphost {

namespace {
std::atomic<ApplicationType> gApplicationType{ApplicationType::kEditor};
}  // namespace

ApplicationType GetApplicationType() {
    return gApplicationType.load(std::memory_order_acquire);
}

void SetApplicationType(ApplicationType type) {
    gApplicationType.store(type, std::memory_order_release);
}

}  // namespace Apphost
