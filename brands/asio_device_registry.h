// The device registry of the ASIO driver and its settings dialog: it makes
// ASIO device records (with their channel configurations) for the units
// discovery finds, remembers units across runs in the settings store
// (below the settings key: "Device %u" keys with "SerialNumber", "Type" and
// per configuration "Configuration%u" with "Channel%u" and "ChannelIn%u"),
// fills unassigned routing through the brand's channel assigner, and makes
// the composite audio device over its records.
//
// Settings are read by initialize() (loadSettings, before the first
// enumeration, so remembered units exist as records when discovery matches
// units to them by serial number). Only the dialog saves.
//
// docs/settings.md describes the layout and how bad stored data is read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "brands/asio_device_info.h"
#include "brands/settings_store.h"
#include "devices/device_registry.h"

class AudioDeviceIf;
class SettingsKey;

class AsioDeviceRegistry : public DeviceRegistry {
public:
    // Takes ownership of the models, like DeviceRegistry. The store is the
    // user's unless a test gives another; it must outlive the registry.
    AsioDeviceRegistry(size_t numberOfModels, DeviceModelIf* const* models,
                       SettingsStoreIf& store = userSettingsStore(),
                       uint32_t pollingIntervalMs = kPollingIntervalMs);
    // Stops polling before the hooks of this class are gone.
    ~AsioDeviceRegistry() override;

    // Appends the remembered units (unavailable, marked from-settings) after
    // any records already known, in stored order, numbered by position.
    // Never fails as a whole: what cannot be read is skipped or replaced.
    void loadSettings() override;
    // Writes every record as "Device <its position>", then removes unit keys
    // no record was written to. False at the first write that fails; what
    // was written stays, and every unit key still holds a complete unit.
    bool saveSettings() override;
    // An ASIO record for the model's type (null for a type without one),
    // with its routing assigned afresh (force) around the channels the
    // records already known use.
    DeviceInfo* createDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                                 const char* hidDeviceId, const char* audioDeviceId, uint64_t index,
                                 const char* serialNumber, DeviceModelIf* model) override;

    // The record at the index as the ASIO record it is; null past the end.
    AsioDeviceInfo* getAsioDevice(size_t index) const;

    // Clears both 16-entry tables, then marks every ASIO channel that some
    // configuration of some record routes a hardware channel to.
    void collectUsedChannels(uint8_t* usedInputs, uint8_t* usedOutputs) const;

    // The composite audio device over this registry, or null when it cannot
    // be made or fails to start. Defined by the audio engine (engine/), so a
    // program that calls it links ksasio_engine; this library only declares
    // it, because the engine is built on top of it.
    AudioDeviceIf* createAudioDevice();
    // Deletes a device createAudioDevice made (null is ignored). Defined by
    // the audio engine, like createAudioDevice.
    void releaseAudioDevice(AudioDeviceIf* device);

private:
    AsioDeviceInfo* loadUnit(SettingsKey& settings, const char* keyName, uint64_t number);
    void loadRouting(SettingsKey& unit, const char* keyName, AsioDeviceInfo& record);
    void arrangeLoadedRecords(size_t firstLoaded);
    void assignLoadedRouting();
    bool saveUnit(SettingsKey& settings, size_t position, const AsioDeviceInfo& record);
    bool removeStaleUnitKeys(SettingsKey& settings);
    DeviceModelIf* modelOfType(uint32_t type) const;

    SettingsStoreIf& store_;
};
