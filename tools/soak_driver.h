// The soak's driver: the shipped driver object over the device registry of
// this build, created in this process rather than loaded from its library,
// so that the soak can read what each unit lost (the engine's gap counts)
// and what the simulated hardware lost (its own counters) side by side.
// Settings live in memory: a soak reads and changes nobody's settings.
#pragma once

#include <cstdint>
#include <string>

#include "driver/iasio.h"
#include "engine/gap_meter.h"
#include "tools/soak_bus.h"

namespace soak {

class SoakDriver {
public:
    SoakDriver() = default;
    ~SoakDriver();
    SoakDriver(const SoakDriver&) = delete;
    SoakDriver& operator=(const SoakDriver&) = delete;

    // A new driver object (not yet initialised) whose registry looks for
    // controllers every pollingIntervalMs (the simulated bus is read then:
    // it stands for the system's device notices); false when it cannot be
    // made.
    bool create(uint32_t pollingIntervalMs);
    IASIO* driver() const { return driver_; }
    // The driver's count of what the controller's unit of that direction
    // lost while it streamed (zero when it has none).
    UnitGaps unitGaps(const std::string& serial, bool input) const;
    // Releases the driver object.
    void release();

private:
    IASIO* driver_ = nullptr;
    SoakBackend* backend_ = nullptr;  // owned by the driver object
};

}  // namespace soak
