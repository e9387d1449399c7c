#include "brands/settings_location.h"

#include "brands/brand_asio.h"
#include "platform/errors.h"
#include "platform/trace.h"

namespace {

constexpr const char* kSoftware = "Software";

}  // namespace

bool openSettingsKey(SettingsKey& key, bool writable) {
    key.close();
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    if (brand == nullptr) return false;
    // Level by level, as saving goes: a store path is never joined from texts.
    const bool opened = key.open(key.store().rootKey(), kSoftware, false) == os::kErrorSuccess &&
                        key.open(key.get(), brand->getBrandName(), false) == os::kErrorSuccess &&
                        key.open(key.get(), brand->getDriverId(), writable) == os::kErrorSuccess;
    if (!opened) {
        key.close();
        TRACE("Failed to open registry key HKEY_CURRENT_USER\\Software\\%s\\%s", brand->getBrandName(),
              brand->getDriverId());
    }
    return opened;
}

bool createSettingsKey(SettingsKey& key, bool* existed) {
    key.close();
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    if (brand == nullptr) return false;
    if (key.create(key.store().rootKey(), kSoftware) != os::kErrorSuccess) {
        TRACE("Failed to open registry key HKEY_CURRENT_USER\\Software");
        return false;
    }
    if (key.create(key.get(), brand->getBrandName()) != os::kErrorSuccess) {
        key.close();
        TRACE("Failed to create and open registry key HKEY_CURRENT_USER\\Software\\%s", brand->getBrandName());
        return false;
    }
    if (existed != nullptr) {
        SettingsKey probe(key.store());
        *existed = probe.open(key.get(), brand->getDriverId(), false) == os::kErrorSuccess;
    }
    if (key.create(key.get(), brand->getDriverId()) != os::kErrorSuccess) {
        key.close();
        TRACE("Failed to create and open registry key HKEY_CURRENT_USER\\Software\\%s\\%s", brand->getBrandName(),
              brand->getDriverId());
        return false;
    }
    return true;
}
