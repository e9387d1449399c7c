// The hardware models the build's brand looks for, as the driver and the
// settings dialog of one build both create them: VEXA the QELM model,
// ORLO its five models.
#pragma once

#include <cstddef>

#include "devices/device_model.h"

// The most models any brand's build creates.
constexpr size_t kMaxBuildDeviceModels = 5;

// Creates the build's models into `models` (room for `capacity`) in the
// order the device registry asks them, and returns how many. 0, with
// nothing left allocated, when memory runs out or `capacity` is too small.
size_t createBuildDeviceModels(DeviceModelIf** models, size_t capacity);
