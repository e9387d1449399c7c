// The soak's side of the device bus and the engine: the driver's backend
// over the simulated bus, what each unit lost as the engine counted it and
// as the simulated hardware did, and the bus file. Kept apart from the
// driver object (soak_driver.h): on Windows the engine's headers bring the
// system's, which the driver's own COM declarations must not meet.
#pragma once

#include <cstdint>
#include <string>

#include "engine/gap_meter.h"

class DriverBackendIf;

namespace soak {

class SoakBackend;

// The registry of this build over a settings store of its own, looking for
// controllers every pollingIntervalMs; *backend is the same object, for
// backendUnitGaps. Null when memory runs out.
DriverBackendIf* createBackend(uint32_t pollingIntervalMs, SoakBackend** backend);
// The engine's count of what the controller's unit of that direction lost
// while it streamed (zero when it has none).
UnitGaps backendUnitGaps(SoakBackend* backend, const std::string& serial, bool input);

// What the simulated hardware of one controller direction lost (its own
// counters, the ground truth the driver's counts are compared against).
struct HardwareLoss {
    uint64_t gaps = 0;
    uint64_t frames = 0;
};

// From the process's simulated bus (the one the bus file drives); zero
// when the controller is not on it.
HardwareLoss hardwareLoss(const std::string& serial, bool input);
// Keeps what every simulated controller records of what it played short
// (the soak never reads it), so that resident memory shows the driver's
// own: each controller would keep megabytes.
void limitRecordings();
// Names the bus file for this process, before the first device call.
void useBusFile(const std::string& path);

}  // namespace soak
