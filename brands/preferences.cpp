#include "brands/preferences.h"

#include "brands/brand_asio.h"
#include "brands/settings_location.h"
#include "platform/errors.h"
#include "platform/trace.h"

namespace {

constexpr const char* kBufferSize = "Buffer Size";

const AsioBufferSizeModelIf* activeModel() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getBufferSizeModel() : nullptr;
}

}  // namespace

Preferences::Preferences(SettingsStoreIf& store) : store_(store) {
    TRACE_ENTER("Preferences::Preferences");
    const AsioBufferSizeModelIf* model = activeModel();
    currentStep_ = model != nullptr ? model->getDefaultStep() : 0;
    savedStep_ = currentStep_;
    load();
    TRACE_LEAVE("Preferences::Preferences");
}

void Preferences::load() {
    TRACE_ENTER("Preferences::load");
    const AsioBufferSizeModelIf* model = activeModel();
    SettingsKey key(store_);
    uint32_t stored = 0;
    if (model == nullptr || !openSettingsKey(key, false)) {
        TRACE_LEAVE("Preferences::load");
        return;
    }
    if (key.getDword(kBufferSize, &stored) != os::kErrorSuccess) {
        const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
        TRACE("Failed to read registry value HKEY_CURRENT_USER\\Software\\%s\\%s\\Buffer Size",
              brand->getBrandName(), brand->getDriverId());
        (void)brand;
        TRACE_LEAVE("Preferences::load");
        return;
    }
    currentStep_ = stored < model->getNumberOfSteps() ? stored : model->getDefaultStep();
    savedStep_ = currentStep_;
    TRACE_LEAVE("Preferences::load");
}

bool Preferences::save() {
    TRACE_ENTER("Preferences::save");
    SettingsKey key(store_);
    bool saved = createSettingsKey(key);
    if (saved && key.setDword(kBufferSize, static_cast<uint32_t>(currentStep_)) != os::kErrorSuccess) {
        const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
        TRACE("Failed to write registry value HKEY_CURRENT_USER\\Software\\%s\\%s\\Buffer Size",
              brand->getBrandName(), brand->getDriverId());
        (void)brand;
        saved = false;
    }
    TRACE_LEAVE_INT("Preferences::save", saved);
    return saved;
}
