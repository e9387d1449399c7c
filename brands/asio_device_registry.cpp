#include "brands/asio_device_registry.h"

#include <cstring>
#include <new>

#include "brands/brand_asio.h"
#include "brands/orlo_asio_device_info.h"
#include "brands/settings_location.h"
#include "brands/settings_names.h"
#include "brands/vexa_qelm_asio_device_info.h"
#include "devices/device_model.h"
#include "platform/errors.h"
#include "platform/trace.h"

using namespace settings_names;

namespace {

// The model type numbers persisted as "Type".
enum ModelType : uint32_t {
    kFenro = 1,
    kDalto = 2,
    kTavio = 3,
    kTavioRawProto2009 = 4,
    kQelm = 5,
    kTavioRaw = 6,
};

const AsioChannelAssignerIf* activeAssigner() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getChannelAssigner() : nullptr;
}

#if defined(KSASIO_TRACE)
const char* brandName() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getBrandName() : "";
}
const char* driverId() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return brand != nullptr ? brand->getDriverId() : "";
}
#endif

// A stored routing value: 0 to 15 as it is, anything larger disabled.
uint8_t routingFromStored(uint32_t stored) {
    return stored < kAsioRoutingChannels ? static_cast<uint8_t>(stored) : kAsioRoutingDisabled;
}

}  // namespace

AsioDeviceRegistry::AsioDeviceRegistry(size_t numberOfModels, DeviceModelIf* const* models,
                                       SettingsStoreIf& store, uint32_t pollingIntervalMs)
    : DeviceRegistry(numberOfModels, models, pollingIntervalMs), store_(store) {}

AsioDeviceRegistry::~AsioDeviceRegistry() { stopPolledEnumeration(); }

DeviceInfo* AsioDeviceRegistry::createDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                                                 const char* hidDeviceId, const char* audioDeviceId,
                                                 uint64_t index, const char* serialNumber, DeviceModelIf* model) {
    TRACE_ENTER("AsioDeviceRegistry::createDeviceInfo");
    AsioDeviceInfo* record = nullptr;
    switch (model != nullptr ? model->getType() : 0) {
        case kQelm:
            record = new (std::nothrow) VexaQelmAsioDeviceInfo(renderFilter, captureFilter, hidDeviceId,
                                                               audioDeviceId, index, serialNumber, model);
            break;
        case kFenro:
            record = new (std::nothrow) OrloFenroAsioDeviceInfo(renderFilter, captureFilter, hidDeviceId,
                                                                audioDeviceId, index, serialNumber, model);
            break;
        case kDalto:
            record = new (std::nothrow) OrloDaltoAsioDeviceInfo(renderFilter, captureFilter, hidDeviceId,
                                                                audioDeviceId, index, serialNumber, model);
            break;
        case kTavio:
        case kTavioRawProto2009:
        case kTavioRaw:
            record = new (std::nothrow) OrloTavioAsioDeviceInfo(renderFilter, captureFilter, hidDeviceId,
                                                                audioDeviceId, index, serialNumber, model);
            break;
        default:
            break;
    }
    if (record != nullptr) {
        uint8_t usedInputs[kAsioRoutingChannels];
        uint8_t usedOutputs[kAsioRoutingChannels];
        collectUsedChannels(usedInputs, usedOutputs);
        if (const AsioChannelAssignerIf* assigner = activeAssigner())
            assigner->assignChannels(record, usedInputs, usedOutputs, true);
    }
    TRACE_LEAVE("AsioDeviceRegistry::createDeviceInfo");
    return record;
}

AsioDeviceInfo* AsioDeviceRegistry::getAsioDevice(size_t index) const {
    return dynamic_cast<AsioDeviceInfo*>(getDevice(index));
}

void AsioDeviceRegistry::collectUsedChannels(uint8_t* usedInputs, uint8_t* usedOutputs) const {
    if (usedInputs == nullptr || usedOutputs == nullptr) return;
    std::memset(usedInputs, 0, kAsioRoutingChannels);
    std::memset(usedOutputs, 0, kAsioRoutingChannels);
    Guard hold(*this);
    const size_t count = getNumberOfDevices();
    for (size_t r = 0; r < count; ++r) {
        const AsioDeviceInfo* record = getAsioDevice(r);
        for (size_t c = 0; record != nullptr && c < record->getNumberOfConfigurations(); ++c) {
            const AsioDeviceConfigurationIf* configuration = record->getConfiguration(c);
            for (size_t j = 0; j < configuration->getNumberOfOutputs() && j < kAsioRoutingChannels; ++j) {
                const uint8_t value = configuration->getOutputAsioChannel(j);
                if (value < kAsioRoutingChannels) usedOutputs[value] = 1;
            }
            for (size_t j = 0; j < configuration->getNumberOfInputs() && j < kAsioRoutingChannels; ++j) {
                const uint8_t value = configuration->getInputAsioChannel(j);
                if (value < kAsioRoutingChannels) usedInputs[value] = 1;
            }
        }
    }
}

DeviceModelIf* AsioDeviceRegistry::modelOfType(uint32_t type) const {
    for (size_t i = 0; i < getNumberOfModels(); ++i)
        if (getModel(i)->getType() == type) return getModel(i);
    return nullptr;
}

void AsioDeviceRegistry::loadSettings() {
    TRACE_ENTER("AsioDeviceRegistry::loadSettings");
    Guard hold(*this);
    RecordList& list = records();
    const size_t firstLoaded = list.size();
    SettingsKey settings(store_);
    if (openSettingsKey(settings, false)) {
        forEachUnitKey(settings, [&](const char* name, uint64_t number) {
            AsioDeviceInfo* record = loadUnit(settings, name, number);
            if (record == nullptr) return true;
            if (!list.push_back(record)) {
                TRACE("Out of memory");
                delete record;
                return false;
            }
            return true;
        });
        settings.close();
    }
    arrangeLoadedRecords(firstLoaded);
    assignLoadedRouting();
    TRACE_LEAVE("AsioDeviceRegistry::loadSettings");
}

AsioDeviceInfo* AsioDeviceRegistry::loadUnit(SettingsKey& settings, const char* keyName, uint64_t number) {
    SettingsKey unit(store_);
    if (unit.open(settings.get(), keyName, false) != os::kErrorSuccess) {
        TRACE("Failed to open registry key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(), keyName);
        return nullptr;
    }
    char serial[DeviceInfo::kSerialNumberSize];
    // An empty serial number names no unit discovery could ever match.
    if (unit.getString(kSerialNumber, serial, sizeof serial) != os::kErrorSuccess || serial[0] == '\0') {
        TRACE("Failed to get value SerialNumber from registry key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s",
              brandName(), driverId(), keyName);
        return nullptr;
    }
    uint32_t type = 0;
    if (unit.getDword(kType, &type) != os::kErrorSuccess) {
        TRACE("Failed to get value Type from registry key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(),
              driverId(), keyName);
        return nullptr;
    }
    DeviceModelIf* model = modelOfType(type);
    if (model == nullptr) {
        TRACE("Encountered unidentified device model '%u'", type);
        return nullptr;
    }
    DeviceInfo* created = createDeviceInfo(nullptr, nullptr, nullptr, nullptr, number, serial, model);
    auto* record = dynamic_cast<AsioDeviceInfo*>(created);
    if (record == nullptr) {
        delete created;
        return nullptr;
    }
    record->setFromSettings(true);
    loadRouting(unit, keyName, *record);
    return record;
}

void AsioDeviceRegistry::loadRouting(SettingsKey& unit, const char* keyName, AsioDeviceInfo& record) {
    (void)keyName;
    for (size_t c = 0; c < record.getNumberOfConfigurations(); ++c) {
        AsioDeviceConfigurationIf* configuration = record.getConfiguration(c);
        char configurationName[kNameSize];
        formatConfigurationKeyName(c, configurationName, sizeof configurationName);
        SettingsKey key(store_);
        if (key.open(unit.get(), configurationName, false) != os::kErrorSuccess) {
            TRACE("Failed to open key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s", brandName(), driverId(), keyName);
            continue;
        }
        for (int direction = 0; direction < 2; ++direction) {
            const bool isInput = direction == 1;
            const size_t channels = isInput ? configuration->getNumberOfInputs() : configuration->getNumberOfOutputs();
            for (size_t k = 0; k < channels && k < kAsioRoutingChannels; ++k) {
                char valueName[kNameSize];
                formatChannelValueName(k, isInput, valueName, sizeof valueName);
                uint32_t stored = 0;
                uint8_t routing = kAsioRoutingUnassigned;
                if (key.getDword(valueName, &stored) == os::kErrorSuccess) {
                    routing = routingFromStored(stored);
                } else {
                    TRACE("Failed to get value %s from registry key HKEY_CURRENT_USER\\Software\\%s\\%s\\%s\\%s",
                          valueName, brandName(), driverId(), keyName, configurationName);
                }
                if (isInput)
                    configuration->setInputAsioChannel(k, routing);
                else
                    configuration->setOutputAsioChannel(k, routing);
            }
        }
    }
}

void AsioDeviceRegistry::arrangeLoadedRecords(size_t firstLoaded) {
    RecordList& list = records();
    // By stored number, ties in the order the store listed them.
    for (size_t i = firstLoaded + 1; i < list.size(); ++i) {
        DeviceInfo* moving = list[i];
        size_t j = i;
        for (; j > firstLoaded && list[j - 1]->getIndex() > moving->getIndex(); --j) list[j] = list[j - 1];
        list[j] = moving;
    }
    // One record per unit: a serial number stored twice keeps its first
    // (lowest-numbered) key, which is the one a save writes first.
    for (size_t i = firstLoaded; i < list.size();) {
        bool duplicate = false;
        for (size_t j = 0; j < i && !duplicate; ++j)
            duplicate = sameTextIgnoringCase(list[j]->getSerialNumber(), list[i]->getSerialNumber());
        if (duplicate) {
            TRACE("Skipping a second unit key for serial number %s", list[i]->getSerialNumber());
            delete list[i];
            list.remove(i);
        } else {
            ++i;
        }
    }
    for (size_t i = firstLoaded; i < list.size(); ++i) list[i]->setIndex(i);
}

void AsioDeviceRegistry::assignLoadedRouting() {
    const AsioChannelAssignerIf* assigner = activeAssigner();
    if (assigner == nullptr) return;
    RecordList& list = records();
    // Serial-number order, so that first free channels go to the same units
    // whatever order the store lists them in.
    Vector<AsioDeviceInfo*> bySerial;
    if (!bySerial.reserve(list.size())) TRACE("Out of memory");
    for (size_t i = 0; i < list.size(); ++i) {
        auto* record = dynamic_cast<AsioDeviceInfo*>(list[i]);
        if (record == nullptr) continue;
        size_t at = bySerial.size();
        while (at > 0 && std::strcmp(bySerial[at - 1]->getSerialNumber(), record->getSerialNumber()) > 0) --at;
        if (!bySerial.insert(at, record)) {
            // Without memory for the order, list order still assigns every channel.
            assigner->assignChannels(record, nullptr, nullptr, false);
        }
    }
    uint8_t usedInputs[kAsioRoutingChannels];
    uint8_t usedOutputs[kAsioRoutingChannels];
    collectUsedChannels(usedInputs, usedOutputs);
    for (size_t i = 0; i < bySerial.size(); ++i) assigner->assignChannels(bySerial[i], usedInputs, usedOutputs, false);
}
