// Saving the settings: exactly the stored layout (read back through the raw
// registry functions: the real registry under Wine, the file store
// natively), round trips, removal of stale unit keys, and saves that stop
// part way at every possible write.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>

#include "brands/memory_settings_store.h"
#include "settings_test_support.h"

using namespace settings_test;

namespace {

enum class StoreKind { Memory, User };

class SettingsSaveTest : public ::testing::TestWithParam<StoreKind> {
protected:
    static void SetUpTestSuite() { isolateUserStore(); }
    void TearDown() override { deleteBrandKey(store()); }

    SettingsStoreIf& store() {
        if (GetParam() == StoreKind::User) return userSettingsStore();
        return memory_;
    }
    bool isUserStore() const { return GetParam() == StoreKind::User; }

    // Three remembered units with routing of their own, saved.
    void storeThreeUnits() {
        StoreWriter write(store());
        write.qelmUnit("Device 0", "QX-A", 1);
        write.qelmUnit("Device 1", "QX-B", 2);
        write.qelmUnit("Device 2", "QX-C", 3);
        write.dword("", "Buffer Size", 7);
    }

    TestVexaBrand brand;

private:
    MemorySettingsStore memory_;
};

// The raw value below the settings key, straight from the registry functions.
struct RawValue {
    uint32_t error = 0;
    uint32_t type = 0;
    std::vector<uint8_t> bytes;
};

RawValue readRaw(const std::string& relative, const char* name) {
    RawValue value;
    os::RegKey key = nullptr;
    const std::string path = settingsPath() + (relative.empty() ? "" : "\\" + relative);
    value.error = os::regOpenKey(os::regRootKey(os::RegRoot::CurrentUser), path.c_str(), false, &key);
    if (value.error != 0) return value;
    uint32_t size = 0;
    value.error = os::regQueryValue(key, name, &value.type, nullptr, &size);
    if (value.error == 0) {
        value.bytes.resize(size);
        value.error = os::regQueryValue(key, name, &value.type, value.bytes.data(), &size);
    }
    os::regCloseKey(key);
    return value;
}

RawValue dword(uint32_t v) {
    return RawValue{0, os::kRegDword,
                    {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                     static_cast<uint8_t>(v >> 24)}};
}
RawValue text(const std::string& s) {
    RawValue value{0, os::kRegSz, std::vector<uint8_t>(s.begin(), s.end())};
    value.bytes.push_back(0);
    return value;
}
bool operator==(const RawValue& a, const RawValue& b) {
    return a.error == b.error && a.type == b.type && a.bytes == b.bytes;
}
std::ostream& operator<<(std::ostream& out, const RawValue& v) {
    out << "error " << v.error << " type " << v.type << " bytes";
    for (uint8_t b : v.bytes) out << " " << static_cast<int>(b);
    return out;
}

std::vector<std::string> subkeysOf(SettingsStoreIf& store, const std::string& relative) {
    SettingsKey key(store);
    std::vector<std::string> names;
    const std::string path = settingsPath() + (relative.empty() ? "" : "\\" + relative);
    if (key.open(store.rootKey(), path.c_str(), false) != 0) return names;
    char name[300];
    for (uint32_t i = 0; key.enumKey(i, name, sizeof name) == 0; ++i) names.emplace_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Stores, SettingsSaveTest, ::testing::Values(StoreKind::Memory, StoreKind::User),
                         [](const auto& info) { return info.param == StoreKind::User ? "User" : "Memory"; });

// Natively the file store, under Wine the real registry.
class SettingsLayoutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { isolateUserStore(); }
    void TearDown() override { deleteBrandKey(store()); }
    static SettingsStoreIf& store() { return userSettingsStore(); }
    TestVexaBrand brand;
};

TEST_F(SettingsLayoutTest, SavedLayoutHasExactlyTheNamesTypesAndValuesOfTheSettings) {
    auto registry = qelmRegistry(store());
    DeviceModelIf* model = registry->getModel(0);
    ASSERT_TRUE(registry->addDevice(nullptr, nullptr, nullptr, nullptr, "QX-1001", model));
    ASSERT_TRUE(registry->addDevice(nullptr, nullptr, nullptr, nullptr, "QX-1002", model));
    AsioDeviceInfo* second = registry->getAsioDevice(1);
    second->getConfiguration(0)->setOutputAsioChannel(2, kAsioRoutingDisabled);
    second->getConfiguration(1)->setInputAsioChannel(1, 14);
    ASSERT_TRUE(registry->saveSettings());
    Preferences preferences(store());
    preferences.setBufferSizeStep(12);
    ASSERT_TRUE(preferences.save());

    EXPECT_EQ(readRaw("", "Buffer Size"), dword(12));
    EXPECT_EQ(subkeysOf(store(), ""), (std::vector<std::string>{"Device 0", "Device 1"}));
    EXPECT_EQ(readRaw("Device 0", "SerialNumber"), text("QX-1001"));
    EXPECT_EQ(readRaw("Device 1", "SerialNumber"), text("QX-1002"));
    EXPECT_EQ(readRaw("Device 1", "Type"), dword(5));
    EXPECT_EQ(subkeysOf(store(), "Device 1"), (std::vector<std::string>{"Configuration0", "Configuration1"}));
    const std::string c0 = "Device 1\\Configuration0", c1 = "Device 1\\Configuration1";
    for (uint32_t k = 0; k < 4; ++k) {
        EXPECT_EQ(readRaw(c0, ("Channel" + std::to_string(k)).c_str()), dword(k == 2 ? 255 : k)) << k;
        EXPECT_EQ(readRaw(c0, ("ChannelIn" + std::to_string(k)).c_str()), dword(k)) << k;
    }
    EXPECT_NE(readRaw(c0, "Channel4").error, 0u);
    for (uint32_t k = 0; k < 8; ++k) EXPECT_EQ(readRaw(c1, ("Channel" + std::to_string(k)).c_str()), dword(k));
    EXPECT_EQ(readRaw(c1, "ChannelIn0"), dword(0));
    EXPECT_EQ(readRaw(c1, "ChannelIn1"), dword(14));
    EXPECT_NE(readRaw(c1, "ChannelIn2").error, 0u);
}

TEST_P(SettingsSaveTest, ReloadedUnitsHaveTheSavedRoutingIncludingDisabledChannels) {
    storeThreeUnits();
    auto first = loadedQelmRegistry(store());
    AsioDeviceInfo* b = first->getAsioDevice(1);
    b->getConfiguration(0)->setOutputAsioChannel(0, kAsioRoutingDisabled);
    b->getConfiguration(0)->setInputAsioChannel(3, 15);
    b->getConfiguration(1)->setOutputAsioChannel(7, kAsioRoutingDisabled);
    ASSERT_TRUE(first->saveSettings());
    const auto saved = snapshotOf(*first);

    auto second = loadedQelmRegistry(store());
    EXPECT_EQ(snapshotOf(*second), saved);
    EXPECT_EQ(second->getAsioDevice(1)->getConfiguration(0)->getOutputAsioChannel(0), kAsioRoutingDisabled);
    Preferences preferences(store());
    EXPECT_EQ(preferences.getBufferSizeStep(), 7u);
    // Saving what was loaded changes nothing.
    ASSERT_TRUE(second->saveSettings());
    EXPECT_EQ(snapshotOf(*loadedQelmRegistry(store())), saved);
}

TEST_P(SettingsSaveTest, SavingFewerUnitsRemovesTheKeysNoUnitWasWrittenTo) {
    StoreWriter write(store());
    for (int i = 0; i < 4; ++i) write.qelmUnit("Device " + std::to_string(i), "QX-" + std::to_string(i), 4);
    write.qelmUnit("Device 01", "QX-ODD", 4);
    write.qelmUnit("Devices", "QX-S", 4);
    write.dword("Other", "Keep", 1);
    auto registry = loadedQelmRegistry(store());
    ASSERT_EQ(registry->getNumberOfDevices(), 5u);
    // The dialog removes the units it shows as disconnected.
    while (registry->getNumberOfDevices() > 2) ASSERT_TRUE(registry->removeDevice(registry->getDevice(2)));
    ASSERT_TRUE(registry->saveSettings());
    EXPECT_EQ(subkeysOf(store(), ""), (std::vector<std::string>{"Device 0", "Device 1", "Devices", "Other"}));
    EXPECT_EQ(subkeysOf(store(), "Device 1"), (std::vector<std::string>{"Configuration0", "Configuration1"}));
    auto reloaded = loadedQelmRegistry(store());
    EXPECT_EQ(snapshotOf(*reloaded), snapshotOf(*registry));
}

using Edit = void (*)(AsioDeviceRegistry&);

// Every value of every unit loaded is the one before or the one after the
// edit, no unit appears twice, and the units remembered both before and
// after are all there.
void expectOldOrNew(const std::vector<UnitSnapshot>& loaded, const std::vector<UnitSnapshot>& before,
                    const std::vector<UnitSnapshot>& after, uint64_t cut) {
    auto find = [](const std::vector<UnitSnapshot>& units, const std::string& serial) -> const UnitSnapshot* {
        for (const UnitSnapshot& unit : units)
            if (unit.serial == serial) return &unit;
        return nullptr;
    };
    for (const UnitSnapshot& unit : before)
        if (find(after, unit.serial) != nullptr) {
            EXPECT_NE(find(loaded, unit.serial), nullptr) << unit.serial << " lost at write " << cut;
        }
    for (size_t i = 0; i < loaded.size(); ++i) {
        const UnitSnapshot& unit = loaded[i];
        for (size_t j = 0; j < i; ++j) EXPECT_NE(loaded[j].serial, unit.serial) << "at write " << cut;
        const UnitSnapshot* old = find(before, unit.serial);
        const UnitSnapshot* now = find(after, unit.serial);
        ASSERT_TRUE(old != nullptr || now != nullptr) << unit.serial << " at write " << cut;
        for (size_t c = 0; c < unit.outputs.size(); ++c) {
            for (size_t k = 0; k < unit.outputs[c].size(); ++k) {
                const uint8_t value = unit.outputs[c][k];
                EXPECT_TRUE((old && old->outputs[c][k] == value) || (now && now->outputs[c][k] == value))
                    << unit.serial << " output " << c << "/" << k << " at write " << cut;
            }
            for (size_t k = 0; k < unit.inputs[c].size(); ++k) {
                const uint8_t value = unit.inputs[c][k];
                EXPECT_TRUE((old && old->inputs[c][k] == value) || (now && now->inputs[c][k] == value))
                    << unit.serial << " input " << c << "/" << k << " at write " << cut;
            }
        }
    }
}

void removeRerouteAndAdd(AsioDeviceRegistry& registry) {
    // The user removes A, reroutes B, and a new unit D appears.
    ASSERT_TRUE(registry.removeDevice(registry.getDevice(0)));
    registry.getAsioDevice(0)->getConfiguration(1)->setOutputAsioChannel(5, 9);
    registry.getAsioDevice(0)->getConfiguration(0)->setInputAsioChannel(0, kAsioRoutingDisabled);
    ASSERT_TRUE(registry.addDevice(nullptr, nullptr, nullptr, nullptr, "QX-D", registry.getModel(0)));
}

void rerouteInPlace(AsioDeviceRegistry& registry) {
    for (size_t i = 0; i < registry.getNumberOfDevices(); ++i) {
        AsioDeviceConfigurationIf* configuration = registry.getAsioDevice(i)->getConfiguration(0);
        for (size_t k = 0; k < 4; ++k) configuration->setOutputAsioChannel(k, static_cast<uint8_t>(12 - k));
    }
}

class SettingsCutTest : public SettingsSaveTest {
protected:
    void runEveryCut(Edit edit) {
        storeThreeUnits();
        const auto before = snapshotOf(*loadedQelmRegistry(store()));
        std::vector<UnitSnapshot> after;
        uint64_t total = 0;
        {
            CuttingStore cutting(store());
            auto registry = loadedQelmRegistry(cutting);
            edit(*registry);
            after = snapshotOf(*registry);
            const uint64_t start = cutting.writesDone();
            ASSERT_TRUE(registry->saveSettings());
            total = cutting.writesDone() - start;
        }
        ASSERT_GT(total, 20u);
#if defined(_WIN32)
        const uint64_t stride = 1;
#else
        // The file store syncs every write to disk: there a sample of the cuts.
        const uint64_t stride = isUserStore() ? total / 6 + 1 : 1;
#endif
        for (uint64_t cut = 0; cut < total; cut += stride) {
            deleteBrandKey(store());
            storeThreeUnits();
            CuttingStore cutting(store());
            auto registry = loadedQelmRegistry(cutting);
            edit(*registry);
            cutting.allowWrites(cut);
            EXPECT_FALSE(registry->saveSettings()) << "at write " << cut;
            expectOldOrNew(snapshotOf(*loadedQelmRegistry(store())), before, after, cut);
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, SettingsCutTest, ::testing::Values(StoreKind::Memory, StoreKind::User),
                         [](const auto& info) { return info.param == StoreKind::User ? "User" : "Memory"; });

TEST_P(SettingsCutTest, RemovingReroutingAndAddingStoppedAtAnyWrite) { runEveryCut(removeRerouteAndAdd); }

TEST_P(SettingsCutTest, ReroutingInPlaceStoppedAtAnyWrite) { runEveryCut(rerouteInPlace); }
