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

namespace soak {

class SoakBackend;

// What the simulated hardware of one controller direction lost (its own
// counters, the ground truth the driver's counts are compared against).
struct HardwareLoss {
    uint64_t gaps = 0;
    uint64_t frames = 0;
};

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

// From the process's simulated bus (the one the bus file drives); zero
// when the controller is not on it.
HardwareLoss hardwareLoss(const std::string& serial, bool input);
// Keeps what every simulated controller records of what it played short
// (the soak never reads it), so that resident memory shows the driver's
// own: each controller would keep megabytes.
void limitRecordings();

}  // namespace soak
