// What the settings tests share: a brand of their own whose registry keys no
// user's settings can have, a private store, a store that stops writing on
// demand, and readable snapshots of what the registry holds.
//
// Natively the user store is moved to a fresh temporary folder
// (XDG_CONFIG_HOME), so no run touches the user's settings. Under Wine the
// store is the Wine prefix of the build folder; the tests' brand key
// ("Software\KsAsioSettingsTest-<pid>-<time>") is deleted afterwards.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/utilities.h"
#include "brands/asio_device_registry.h"
#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "brands/preferences.h"
#include "brands/settings_store.h"
#include "devices/vexa_device_models.h"
#include "platform/errors.h"
#include "platform/os.h"

namespace settings_test {

inline std::string uniqueName(const char* prefix) {
    return std::string(prefix) + "-" + std::to_string(os::currentProcessId()) + "-" +
           std::to_string(os::nanoseconds());
}

// A brand like Profile's, but filed under names of this run.
template <class Profile, class Model, class Assigner>
class TestBrandOf final : public AsioBrandAbs<Profile, Model, Assigner> {
public:
    TestBrandOf() : brandName_(uniqueName("KsAsioSettingsTest")), driverId_("TESTASIO") {}
    // The brand of another process of the same test.
    explicit TestBrandOf(const std::string& brandName) : brandName_(brandName), driverId_("TESTASIO") {}
    const char* getBrandName() const override { return brandName_.c_str(); }
    const char* getDriverId() const override { return driverId_.c_str(); }

private:
    std::string brandName_;
    std::string driverId_;
};
using TestVexaBrand = TestBrandOf<VexaAsioBrandProfile, VexaAsioBufferSizeModel, VexaAsioChannelAssigner>;
using TestOrloBrand = TestBrandOf<OrloAsioBrandProfile, OrloAsioBufferSizeModel, OrloAsioChannelAssigner>;

// Moves the native user store into a fresh folder, once per process.
inline void isolateUserStore() {
#if !defined(_WIN32)
    static const bool done = [] {
        const auto folder = std::filesystem::temp_directory_path() / uniqueName("ksasio-settings-test");
        std::filesystem::create_directories(folder);
        os::setEnvironmentVariable("XDG_CONFIG_HOME", folder.string().c_str());
        return true;
    }();
    (void)done;
#endif
}

// Forwards to another store and, once armed, lets only so many more writes
// (key creations, value writes and deletions) through: every later one
// fails, as if the process had died there.
class CuttingStore final : public SettingsStoreIf {
public:
    static constexpr uint64_t kUnlimited = UINT64_MAX;
    explicit CuttingStore(SettingsStoreIf& inner) : inner_(inner) {}

    void allowWrites(uint64_t writes) { remaining_ = writes; }
    uint64_t writesDone() const { return done_; }

    os::RegKey rootKey() override { return inner_.rootKey(); }
    uint32_t createKey(os::RegKey parent, const char* subKey, os::RegKey* key) override {
        if (!write()) return os::kErrorAccessDenied;
        return inner_.createKey(parent, subKey, key);
    }
    uint32_t openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) override {
        return inner_.openKey(parent, subKey, writable, key);
    }
    uint32_t closeKey(os::RegKey key) override { return inner_.closeKey(key); }
    uint32_t enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) override {
        return inner_.enumKey(key, index, name, size);
    }
    uint32_t queryValue(os::RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) override {
        return inner_.queryValue(key, name, type, data, size);
    }
    uint32_t setValue(os::RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override {
        if (!write()) return os::kErrorAccessDenied;
        return inner_.setValue(key, name, type, data, size);
    }
    uint32_t deleteValue(os::RegKey key, const char* name) override {
        if (!write()) return os::kErrorAccessDenied;
        return inner_.deleteValue(key, name);
    }
    uint32_t deleteTree(os::RegKey parent, const char* subKey) override {
        if (!write()) return os::kErrorAccessDenied;
        return inner_.deleteTree(parent, subKey);
    }

private:
    bool write() {
        if (remaining_ == 0) return false;
        if (remaining_ != kUnlimited) --remaining_;
        ++done_;
        return true;
    }

    SettingsStoreIf& inner_;
    uint64_t remaining_ = kUnlimited;
    uint64_t done_ = 0;
};

// A remembered unit as the settings hold it.
struct UnitSnapshot {
    std::string serial;
    bool available = false;
    bool fromSettings = false;
    size_t activeConfiguration = 0;
    // Per configuration: the output routing, then the input routing.
    std::vector<std::vector<uint8_t>> outputs;
    std::vector<std::vector<uint8_t>> inputs;
    bool operator==(const UnitSnapshot& o) const {
        return serial == o.serial && outputs == o.outputs && inputs == o.inputs;
    }
};

inline UnitSnapshot snapshotOf(const AsioDeviceInfo& record) {
    UnitSnapshot unit;
    unit.serial = record.getSerialNumber();
    unit.available = record.isAvailable();
    unit.fromSettings = record.isFromSettings();
    for (size_t c = 0; c < record.getNumberOfConfigurations(); ++c) {
        const AsioDeviceConfigurationIf* configuration = record.getConfiguration(c);
        if (configuration == record.getActiveConfiguration()) unit.activeConfiguration = c;
        std::vector<uint8_t> out, in;
        for (size_t k = 0; k < configuration->getNumberOfOutputs(); ++k)
            out.push_back(configuration->getOutputAsioChannel(k));
        for (size_t k = 0; k < configuration->getNumberOfInputs(); ++k)
            in.push_back(configuration->getInputAsioChannel(k));
        unit.outputs.push_back(out);
        unit.inputs.push_back(in);
    }
    return unit;
}

inline std::vector<UnitSnapshot> snapshotOf(const AsioDeviceRegistry& registry) {
    std::vector<UnitSnapshot> units;
    for (size_t i = 0; i < registry.getNumberOfDevices(); ++i) units.push_back(snapshotOf(*registry.getAsioDevice(i)));
    return units;
}

// A registry over the QELM model that never polls by itself.
inline std::unique_ptr<AsioDeviceRegistry> qelmRegistry(SettingsStoreIf& store) {
    DeviceModelIf* models[] = {new VexaQelmDeviceModel};
    return std::make_unique<AsioDeviceRegistry>(1, models, store, 10 * 60 * 1000);
}

inline std::unique_ptr<AsioDeviceRegistry> loadedQelmRegistry(SettingsStoreIf& store) {
    auto registry = qelmRegistry(store);
    registry->loadSettings();
    return registry;
}

// The brand's settings key path below HKEY_CURRENT_USER.
inline std::string settingsPath() {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    return std::string("Software\\") + brand->getBrandName() + "\\" + brand->getDriverId();
}

// Writes below the settings key of a store, creating keys on the way.
class StoreWriter {
public:
    explicit StoreWriter(SettingsStoreIf& store) : store_(store) {}
    ~StoreWriter() {
        for (os::RegKey key : open_) store_.closeKey(key);
    }
    os::RegKey key(const std::string& relative) {
        os::RegKey key = nullptr;
        const std::string path = relative.empty() ? settingsPath() : settingsPath() + "\\" + relative;
        EXPECT_EQ(store_.createKey(store_.rootKey(), path.c_str(), &key), 0u) << path;
        open_.push_back(key);
        return key;
    }
    void dword(const std::string& relative, const char* name, uint32_t value) {
        EXPECT_EQ(store_.setValue(key(relative), name, os::kRegDword, &value, sizeof value), 0u);
    }
    void string(const std::string& relative, const char* name, const std::string& value) {
        EXPECT_EQ(store_.setValue(key(relative), name, os::kRegSz, value.c_str(),
                                  static_cast<uint32_t>(value.size() + 1)),
                  0u);
    }
    void raw(const std::string& relative, const char* name, uint32_t type, const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(store_.setValue(key(relative), name, type, bytes.data(), static_cast<uint32_t>(bytes.size())), 0u);
    }
    // A complete QELM unit key with every channel routed as given
    // (configuration 0: 4 outputs, 4 inputs; configuration 1: 8 outputs, 2 inputs).
    void qelmUnit(const std::string& keyName, const std::string& serial, uint32_t routing = 0) {
        string(keyName, "SerialNumber", serial);
        dword(keyName, "Type", 5);
        const int outputs[] = {4, 8}, inputs[] = {4, 2};
        for (int c = 0; c < 2; ++c) {
            const std::string configuration = keyName + "\\Configuration" + std::to_string(c);
            for (int k = 0; k < outputs[c]; ++k) dword(configuration, ("Channel" + std::to_string(k)).c_str(), routing);
            for (int k = 0; k < inputs[c]; ++k) dword(configuration, ("ChannelIn" + std::to_string(k)).c_str(), routing);
        }
    }

private:
    SettingsStoreIf& store_;
    std::vector<os::RegKey> open_;
};

// Deletes the brand's key (all settings of the test brand) from a store.
inline void deleteBrandKey(SettingsStoreIf& store) {
    const std::string path = std::string("Software\\") + AsioBrandIf::getActiveBrand()->getBrandName();
    store.deleteTree(store.rootKey(), path.c_str());
}

}  // namespace settings_test
