// The settings loader over stores filled from arbitrary input (see
// settings_fuzz_input.h), for both brands. Besides the sanitizers it checks
// what loading promises: every record is a usable unit (a serial number of
// 1 to 15 characters, none twice, its index its position, every routing
// value an ASIO channel or disabled, none left unassigned), the buffer-size
// step is one of the model's, every key opened is closed again, and saving
// what was loaded and loading it again gives the same units.
#include <cstdint>
#include <cstring>
#include <memory>

#include "brands/asio_device_registry.h"
#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "brands/preferences.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "brands/settings_names.h"
#include "fuzz/settings_fuzz_input.h"

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkRecords(const AsioDeviceRegistry& registry) {
    for (size_t i = 0; i < registry.getNumberOfDevices(); ++i) {
        const AsioDeviceInfo* record = registry.getAsioDevice(i);
        require(record != nullptr && record->getIndex() == i && record->isFromSettings() && !record->isAvailable());
        const size_t length = std::strlen(record->getSerialNumber());
        require(length >= 1 && length <= DeviceInfo::kMaxSerialNumberLength);
        for (size_t j = 0; j < i; ++j)
            require(!settings_names::sameTextIgnoringCase(registry.getDevice(j)->getSerialNumber(),
                                                          record->getSerialNumber()));
        require(record->getActiveConfiguration() != nullptr);
        for (size_t c = 0; c < record->getNumberOfConfigurations(); ++c) {
            const AsioDeviceConfigurationIf* configuration = record->getConfiguration(c);
            for (size_t k = 0; k < configuration->getNumberOfOutputs(); ++k) {
                const uint8_t value = configuration->getOutputAsioChannel(k);
                require(value < kAsioRoutingChannels || value == kAsioRoutingDisabled);
            }
            for (size_t k = 0; k < configuration->getNumberOfInputs(); ++k) {
                const uint8_t value = configuration->getInputAsioChannel(k);
                require(value < kAsioRoutingChannels || value == kAsioRoutingDisabled);
            }
        }
    }
}

bool sameUnits(const AsioDeviceRegistry& a, const AsioDeviceRegistry& b) {
    if (a.getNumberOfDevices() != b.getNumberOfDevices()) return false;
    for (size_t i = 0; i < a.getNumberOfDevices(); ++i) {
        const AsioDeviceInfo* x = a.getAsioDevice(i);
        const AsioDeviceInfo* y = b.getAsioDevice(i);
        if (std::strcmp(x->getSerialNumber(), y->getSerialNumber()) != 0 || x->getModelType() != y->getModelType())
            return false;
        for (size_t c = 0; c < x->getNumberOfConfigurations(); ++c) {
            const AsioDeviceConfigurationIf* p = x->getConfiguration(c);
            const AsioDeviceConfigurationIf* q = y->getConfiguration(c);
            for (size_t k = 0; k < kAsioRoutingChannels; ++k)
                if (p->getOutputAsioChannel(k) != q->getOutputAsioChannel(k) ||
                    p->getInputAsioChannel(k) != q->getInputAsioChannel(k))
                    return false;
        }
    }
    return true;
}

size_t qelmModels(DeviceModelIf** models) {
    models[0] = new VexaQelmDeviceModel;
    return 1;
}

size_t everyModel(DeviceModelIf** models) {
    models[0] = new OrloFenroDeviceModel;
    models[1] = new OrloDaltoDeviceModel;
    models[2] = new OrloTavioDeviceModel;
    models[3] = new OrloTavioRawProto2009DeviceModel;
    models[4] = new VexaQelmDeviceModel;
    models[5] = new OrloTavioRawDeviceModel;
    return 6;
}

template <class Brand>
void run(const uint8_t* data, size_t size, size_t (*makeModels)(DeviceModelIf**)) {
    Brand brand;
    MemorySettingsStore store;
    settings_fuzz::fillStore(store, data, size);
    DeviceModelIf* models[6];
    AsioDeviceRegistry first(makeModels(models), models, store);
    first.loadSettings();
    checkRecords(first);
    Preferences preferences(store);
    require(preferences.getBufferSizeStep() < brand.getBufferSizeModel()->getNumberOfSteps());
    require(store.openHandles() == 0);

    require(first.saveSettings() && preferences.save());
    AsioDeviceRegistry second(makeModels(models), models, store);
    second.loadSettings();
    checkRecords(second);
    require(sameUnits(first, second));
    require(Preferences(store).getBufferSizeStep() == preferences.getBufferSizeStep());
    require(store.openHandles() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run<VexaAsioBrand>(data, size, qelmModels);
    run<OrloAsioBrand>(data, size, everyModel);
    return 0;
}
