// The process's device boundary (declared in platform/device.h): chosen once,
// replaceable by tests. It lives here rather than in platform/ because the
// choice needs the simulator and platform/ must not depend on sim/.
#include <atomic>
#include <cstdlib>

#include "platform/device.h"
#include "platform/trace.h"
#include "sim/bus.h"

namespace os {
namespace {

std::atomic<DeviceBoundaryIf*> installedBoundary{nullptr};

DeviceBoundaryIf& chosenBoundary() {
    static DeviceBoundaryIf* const chosen = [] () -> DeviceBoundaryIf* {
        const char* busFile = std::getenv(kSimulatedBusVariable);
        const bool named = busFile != nullptr && busFile[0] != '\0';
#if defined(_WIN32)
        if (!named) return &win32DeviceBoundary();
#endif
        // Destroyed at exit, which ends its clock thread.
        static sim::SimBus bus(sim::ClockMode::RealTime);
        if (named) {
            TRACE("Device boundary: simulated bus from %s", busFile);
            bus.setBusFile(busFile);
        }
        return &bus;
    }();
    return *chosen;
}

}  // namespace

DeviceBoundaryIf& deviceBoundary() {
    DeviceBoundaryIf* installed = installedBoundary.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : chosenBoundary();
}

void installDeviceBoundary(DeviceBoundaryIf* boundary) { installedBoundary.store(boundary, std::memory_order_release); }

}  // namespace os
