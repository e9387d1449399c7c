// The process's device boundary (declared in platform/device.h): chosen once,
// replaceable by tests. It lives here rather than in platform/ because the
// choice needs the simulator and platform/ must not depend on sim/.
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>

#include "platform/device.h"
#include "platform/trace.h"
#include "sim/bus.h"

namespace os {
namespace {

std::atomic<DeviceBoundaryIf*> installedBoundary{nullptr};
// The simulated bus of this process, made at first use; a library that is
// unloaded lets go of it first (releaseDeviceBoundary), so no clock thread
// of it outlives the library.
std::atomic<sim::SimBus*> chosenBus{nullptr};

std::mutex& choiceLock() {
    static std::mutex lock;  // trivially destructible: safe at exit
    return lock;
}

DeviceBoundaryIf& chosenBoundary() {
    if (sim::SimBus* bus = chosenBus.load(std::memory_order_acquire)) return *bus;
    const char* busFile = std::getenv(kSimulatedBusVariable);
    const bool named = busFile != nullptr && busFile[0] != '\0';
#if defined(_WIN32)
    if (!named) return win32DeviceBoundary();
#endif
    std::lock_guard<std::mutex> hold(choiceLock());
    if (sim::SimBus* bus = chosenBus.load(std::memory_order_acquire)) return *bus;
    // Without memory there is nothing to fall back on: the process cannot
    // reach any device either way.
    auto* bus = new sim::SimBus(sim::ClockMode::RealTime);
    if (named) {
        TRACE("Device boundary: simulated bus from %s", busFile);
        bus->setBusFile(busFile);
    }
    chosenBus.store(bus, std::memory_order_release);
    return *bus;
}

}  // namespace

DeviceBoundaryIf& deviceBoundary() {
    DeviceBoundaryIf* installed = installedBoundary.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : chosenBoundary();
}

void installDeviceBoundary(DeviceBoundaryIf* boundary) { installedBoundary.store(boundary, std::memory_order_release); }

void releaseDeviceBoundary() {
    std::lock_guard<std::mutex> hold(choiceLock());
    delete chosenBus.exchange(nullptr, std::memory_order_acq_rel);
}

}  // namespace os
