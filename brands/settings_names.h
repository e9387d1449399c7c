// The names of the keys and values below the settings key.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brands/settings_store.h"
#include "platform/errors.h"

namespace settings_names {

constexpr const char* kSerialNumber = "SerialNumber";
constexpr const char* kType = "Type";

// Key names the store enumerates, terminator included; a longer one is
// none of ours.
constexpr size_t kMaxKeyNameSize = 257;
// Enough for every name formatted here, terminator included.
constexpr size_t kNameSize = 40;

// "Device <number>": the name begins with "Device" in any case, then
// optional white space and at least one decimal digit; what follows the
// digits is ignored. A number beyond 64 bits reads as the largest one.
bool parseDeviceKeyName(const char* name, uint64_t* number);
// "Device %u".
void formatDeviceKeyName(uint64_t index, char* name, size_t size);
// True when the name is exactly what formatDeviceKeyName writes for its
// number, ignoring case (the store compares key names that way).
bool isCanonicalDeviceKeyName(const char* name, uint64_t number);
// "Configuration%u", "Channel%u" (hardware outputs) and "ChannelIn%u"
// (hardware inputs).
void formatConfigurationKeyName(size_t index, char* name, size_t size);
void formatChannelValueName(size_t channel, bool isInput, char* name, size_t size);

// Case-insensitive, as serial numbers are compared.
bool sameTextIgnoringCase(const char* a, const char* b);

// Calls visit(name, number) for every subkey of the settings key that names
// a unit, in the store's order, until visit returns false. A name too long
// to be ours is passed over, not taken for the end of the list.
template <class Visit>
void forEachUnitKey(SettingsKey& settings, Visit visit) {
    char name[kMaxKeyNameSize];
    for (uint32_t i = 0; i != UINT32_MAX; ++i) {
        const uint32_t error = settings.enumKey(i, name, sizeof name);
        if (error == os::kErrorMoreData) continue;
        if (error != os::kErrorSuccess) return;
        uint64_t number = 0;
        if (parseDeviceKeyName(name, &number) && !visit(static_cast<const char*>(name), number)) return;
    }
}

}  // namespace settings_names
