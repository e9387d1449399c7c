// Saving the remembered units. The order of the writes is what keeps the
// stored settings whole when a save stops part way (a failing write, or the
// process killed between two writes):
//
// - A unit key that holds another unit loses its "SerialNumber" first and
//   gets it back last, so until it is complete the loader skips it rather
//   than pairing one unit's serial number with another unit's routing.
// - A unit key that holds the same unit is overwritten in place: every
//   routing value is then either the old or the new one.
// - Keys are written in ascending order. A record's position is never above
//   the number of the key it was loaded from (positions only close gaps),
//   so a key being overwritten holds a unit that is already written at its
//   new place or that is no longer remembered.
// - Keys no record was written to are removed only after every unit is
//   written.
#include <new>
#include <string>
#include <vector>

#include "brands/asio_device_registry.h"
#include "brands/brand_asio.h"
#include "brands/settings_location.h"
#include "brands/settings_names.h"
#include "platform/errors.h"
#include "platform/trace.h"

using namespace settings_names;

namespace {

#if defined(KSASIO_TRACE)
const char* brandName() { return AsioBrandIf::getActiveBrand()->getBrandName(); }
const char* driverId() { return AsioBrandIf::getActiveBrand()->getDriverId(); }
#endif

// Whether the unit key already describes this unit.
bool holdsUnit(SettingsKey& unit, const AsioDeviceInfo& record, uint32_t type) {
    char serial[DeviceInfo::kSerialNumberSize];
    uint32_t storedType = 0;
    return unit.getString(kSerialNumber, serial, sizeof serial) == os::kErrorSuccess &&
           sameTextIgnoringCase(serial, record.getSerialNumber()) &&
           unit.getDword(kType, &storedType) == os::kErrorSuccess && storedType == type;
}

}  // namespace

bool AsioDeviceRegistry::saveSettings() {
    TRACE_ENTER("AsioDeviceRegistry::saveSettings");
    Guard hold(*this);
    SettingsKey settings(store_);
    bool saved = createSettingsKey(settings);
    const size_t count = getNumberOfDevices();
    for (size_t i = 0; saved && i < count; ++i) {
        const AsioDeviceInfo* record = getAsioDevice(i);
        saved = record != nullptr && saveUnit(settings, i, *record);
    }
    if (saved) saved = removeStaleUnitKeys(settings);
    TRACE_LEAVE_INT("AsioDeviceRegistry::saveSettings", saved);
    return saved;
}

bool AsioDeviceRegistry::saveUnit(SettingsKey& settings, size_t position, const AsioDeviceInfo& record) {
    char unitName[kNameSize];
    formatDeviceKeyName(position, unitName, sizeof unitName);
    SettingsKey unit(store_);
    if (unit.create(settings.get(), unitName) != os::kErrorSuccess) {
        TRACE("Failed to create or open key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(),
              unitName);
        return false;
    }
    const uint32_t type = record.getModelType();
    if (!holdsUnit(unit, record, type)) {
        const uint32_t error = unit.deleteValue(kSerialNumber);
        if (error != os::kErrorSuccess && error != os::kErrorFileNotFound) {
            TRACE("Failed to set value SerialNumber for key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(),
                  driverId(), unitName);
            return false;
        }
    }
    if (unit.setDword(kType, type) != os::kErrorSuccess) {
        TRACE("Failed to set value Type for key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(),
              unitName);
        return false;
    }
    for (size_t c = 0; c < record.getNumberOfConfigurations(); ++c) {
        const AsioDeviceConfigurationIf* configuration = record.getConfiguration(c);
        char configurationName[kNameSize];
        formatConfigurationKeyName(c, configurationName, sizeof configurationName);
        SettingsKey key(store_);
        if (key.create(unit.get(), configurationName) != os::kErrorSuccess) {
            TRACE("Failed to create or open key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(),
                  configurationName);
            return false;
        }
        for (int direction = 0; direction < 2; ++direction) {
            const bool isInput = direction == 1;
            const size_t channels = isInput ? configuration->getNumberOfInputs() : configuration->getNumberOfOutputs();
            for (size_t k = 0; k < channels && k < kAsioRoutingChannels; ++k) {
                char valueName[kNameSize];
                formatChannelValueName(k, isInput, valueName, sizeof valueName);
                const uint8_t routing =
                    isInput ? configuration->getInputAsioChannel(k) : configuration->getOutputAsioChannel(k);
                if (key.setDword(valueName, routing) != os::kErrorSuccess) {
                    TRACE("Failed to set value %s for key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s\\%s", valueName,
                          brandName(), driverId(), unitName, configurationName);
                    return false;
                }
            }
        }
    }
    if (unit.setString(kSerialNumber, record.getSerialNumber()) != os::kErrorSuccess) {
        TRACE("Failed to set value SerialNumber for key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(),
              driverId(), unitName);
        return false;
    }
    return true;
}

bool AsioDeviceRegistry::removeStaleUnitKeys(SettingsKey& settings) {
    const size_t count = getNumberOfDevices();
    // Names first, deletions after: deleting while enumerating by index
    // would skip keys.
    std::vector<std::string> stale;
    try {
        forEachUnitKey(settings, [&](const char* name, uint64_t number) {
            // Spelt otherwise than this system writes it ("Device 01",
            // "Device1"), a key was read as a unit and written again under
            // its proper name, or skipped as one the loader cannot use.
            if (number >= count || !isCanonicalDeviceKeyName(name, number)) stale.emplace_back(name);
            return true;
        });
    } catch (const std::bad_alloc&) {
        TRACE("Out of memory");
        return false;
    }
    for (const std::string& name : stale) {
        if (settings.deleteTree(name.c_str()) != os::kErrorSuccess)
            TRACE("Failed to delete key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(), name.c_str());
    }
    return true;
}
