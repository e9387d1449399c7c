// Loading the settings: the stored layout, and stored data that is wrong in
// every way a hand edit, another program or a damaged store can make it.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "brands/memory_settings_store.h"
#include "devices/orlo_device_models.h"
#include "settings_test_support.h"

using namespace settings_test;

namespace {

class SettingsLoadTest : public ::testing::Test {
protected:
    TestVexaBrand brand;
    MemorySettingsStore store;
    StoreWriter write{store};

    // Also checks that loading closes every key it opens.
    std::vector<std::string> loadedSerials() {
        const size_t handles = store.openHandles();
        auto registry = loadedQelmRegistry(store);
        EXPECT_EQ(store.openHandles(), handles);
        std::vector<std::string> serials;
        for (size_t i = 0; i < registry->getNumberOfDevices(); ++i) {
            EXPECT_EQ(registry->getDevice(i)->getIndex(), i);
            serials.push_back(registry->getDevice(i)->getSerialNumber());
        }
        return serials;
    }
    using Serials = std::vector<std::string>;
};

}  // namespace

TEST_F(SettingsLoadTest, WithoutAnySettingsTheRegistryIsEmptyAndTheStepIsTheDefault) {
    auto registry = loadedQelmRegistry(store);
    EXPECT_EQ(registry->getNumberOfDevices(), 0u);
    Preferences preferences(store);
    EXPECT_EQ(preferences.getBufferSizeStep(), 4u);
    EXPECT_EQ(store.openHandles(), 0u);
}

TEST_F(SettingsLoadTest, BufferSizeOutsideTheModelGivesTheDefaultAndAnUnreadableOneIsIgnored) {
    struct Case {
        uint32_t type;
        std::vector<uint8_t> bytes;
        size_t expected;
    };
    const Case cases[] = {
        {os::kRegDword, {38, 0, 0, 0}, 38},
        {os::kRegDword, {39, 0, 0, 0}, 4},
        {os::kRegDword, {0xff, 0xff, 0xff, 0xff}, 4},
        {os::kRegSz, {'1', '0', 0}, 4},
        {os::kRegDword, {10, 0, 0, 0, 0, 0, 0, 0}, 4},  // eight bytes
        {os::kRegDword, {10, 0}, 4},
        {os::kRegBinary, {10, 0, 0, 0}, 4},
    };
    for (const Case& c : cases) {
        write.raw("", "Buffer Size", c.type, c.bytes);
        Preferences preferences(store);
        EXPECT_EQ(preferences.getBufferSizeStep(), c.expected) << c.type << " " << c.bytes.size();
        preferences.setBufferSizeStep(20);
        preferences.rollbackChanges();
        EXPECT_EQ(preferences.getBufferSizeStep(), c.expected);
    }
}

TEST_F(SettingsLoadTest, UnitKeysAreSortedByNumberThenRenumberedAndOddNamesAreSkipped) {
    write.qelmUnit("Device 7", "QX-SEVEN");
    write.qelmUnit("Device 2", "QX-TWO");
    write.qelmUnit("device 3", "QX-THREE");
    write.qelmUnit("Device\t 5", "QX-FIVE");
    write.qelmUnit("Device 99999999999999999999", "QX-HUGE");
    write.qelmUnit("Device 18446744073709551615", "QX-MAX");
    write.qelmUnit("Device4x", "QX-FOURX");
    write.qelmUnit("Devices", "QX-NO-1");
    write.qelmUnit("Device", "QX-NO-2");
    write.qelmUnit("Device x", "QX-NO-3");
    write.qelmUnit("Device -1", "QX-NO-4");
    write.qelmUnit("My Device 1", "QX-NO-5");
    const Serials serials = loadedSerials();
    // 99999999999999999999 does not fit 64 bits and reads as the largest
    // number, so it ties with the largest and keeps the store's order.
    EXPECT_EQ(serials, (Serials{"QX-TWO", "QX-THREE", "QX-FOURX", "QX-FIVE", "QX-SEVEN", "QX-MAX", "QX-HUGE"}));
}

TEST_F(SettingsLoadTest, UnitKeysWithoutAUsableSerialNumberOrTypeAreSkipped) {
    write.qelmUnit("Device 0", "ABCDEFGHIJKLMNO");      // 15 characters: the most a record holds
    write.qelmUnit("Device 1", "ABCDEFGHIJKLMNOP");     // 16
    write.qelmUnit("Device 2", std::string(5000, 'Q'));  // far too long
    write.qelmUnit("Device 3", "");
    write.qelmUnit("Device 4", "QX-UNKNOWN-TYPE");
    write.dword("Device 4", "Type", 77);
    write.qelmUnit("Device 5", "QX-TYPE-TEXT");
    write.string("Device 5", "Type", "5");
    write.qelmUnit("Device 6", "QX-SERIAL-DWORD");
    write.dword("Device 6", "SerialNumber", 1234);
    write.qelmUnit("Device 7", "QX-NO-TYPE");
    store.deleteValue(write.key("Device 7"), "Type");
    write.qelmUnit("Device 8", "x");
    // Without a terminator: 16 bytes would be cut, so they do not fit; 6 do.
    write.raw("Device 8", "SerialNumber", os::kRegSz, std::vector<uint8_t>(16, 'Z'));
    write.qelmUnit("Device 9", "x");
    write.raw("Device 9", "SerialNumber", os::kRegSz, {'Q', 'X', '-', 'N', 'T', '9'});
    write.key("Device 10");  // empty
    write.qelmUnit("Device 11", "x");
    write.raw("Device 11", "Type", os::kRegDword, {5, 0, 0, 0, 0});

    EXPECT_EQ(loadedSerials(), (Serials{"ABCDEFGHIJKLMNO", "QX-NT9"}));
}

TEST_F(SettingsLoadTest, MissingAndWrongRoutingValuesAreReassignedOrDisabled) {
    write.qelmUnit("Device 0", "QX-0001", 9);
    const std::string four = "Device 0\\Configuration0";
    store.deleteValue(write.key(four), "ChannelIn1");
    write.dword(four, "Channel3", 99);
    write.dword(four, "Channel2", 0xFFFFFFFFu);
    write.dword(four, "Channel1", 254);
    write.string(four, "ChannelIn2", "7");
    write.raw(four, "ChannelIn3", os::kRegDword, {1, 0, 0, 0, 0, 0, 0, 0});
    write.dword(four, "ChannelIn0", 15);
    store.deleteTree(write.key("Device 0"), "Configuration1");

    auto registry = loadedQelmRegistry(store);
    ASSERT_EQ(registry->getNumberOfDevices(), 1u);
    const AsioDeviceInfo* record = registry->getAsioDevice(0);
    EXPECT_TRUE(record->isFromSettings());
    EXPECT_FALSE(record->isAvailable());
    const AsioDeviceConfigurationIf* c0 = record->getConfiguration(0);
    EXPECT_EQ(c0->getOutputAsioChannel(0), 9);
    EXPECT_EQ(c0->getOutputAsioChannel(1), kAsioRoutingDisabled);
    EXPECT_EQ(c0->getOutputAsioChannel(2), kAsioRoutingDisabled);
    EXPECT_EQ(c0->getOutputAsioChannel(3), kAsioRoutingDisabled);
    EXPECT_EQ(c0->getInputAsioChannel(0), 15);
    // Missing or unreadable: unassigned, then the assigner's choice.
    EXPECT_EQ(c0->getInputAsioChannel(1), 1);
    EXPECT_EQ(c0->getInputAsioChannel(2), 2);
    EXPECT_EQ(c0->getInputAsioChannel(3), 3);
    // A missing configuration key keeps the routing of a fresh unit.
    const AsioDeviceConfigurationIf* c1 = record->getConfiguration(1);
    for (uint8_t k = 0; k < 8; ++k) EXPECT_EQ(c1->getOutputAsioChannel(k), k);
    EXPECT_EQ(c1->getInputAsioChannel(0), 0);
    EXPECT_EQ(c1->getInputAsioChannel(1), 1);
}

TEST_F(SettingsLoadTest, ASerialNumberStoredTwiceGivesOneRecordFromItsLowestKey) {
    write.qelmUnit("Device 4", "QX-0001", 4);
    write.qelmUnit("Device 1", "qx-0001", 1);
    write.qelmUnit("Device 01", "QX-0002", 2);
    write.qelmUnit("Device 0", "QX-0003", 3);
    auto registry = loadedQelmRegistry(store);
    ASSERT_EQ(snapshotOf(*registry).size(), 3u);
    EXPECT_STREQ(registry->getDevice(0)->getSerialNumber(), "QX-0003");
    // "Device 01" and "Device 1" tie; the store lists "Device 01" first.
    EXPECT_STREQ(registry->getDevice(1)->getSerialNumber(), "QX-0002");
    EXPECT_STREQ(registry->getDevice(2)->getSerialNumber(), "qx-0001");
    EXPECT_EQ(registry->getAsioDevice(2)->getConfiguration(0)->getOutputAsioChannel(0), 1);
}

TEST_F(SettingsLoadTest, HundredsOfGarbageKeysAndValuesLeaveTheRealUnits) {
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (int i = 0; i < 400; ++i) {
        std::string name;
        const int length = 1 + static_cast<int>(next() % 40);
        for (int k = 0; k < length; ++k) name += static_cast<char>(' ' + next() % 94);
        if (name.find('\\') != std::string::npos) continue;
        if (i % 3 == 0) name = "Device " + name;
        const std::string key = name;
        write.key(key);
        std::vector<uint8_t> bytes(next() % 24);
        for (uint8_t& b : bytes) b = static_cast<uint8_t>(next());
        write.raw(key, (i % 2) ? "SerialNumber" : "Type", next() % 12, bytes);
        write.raw(key + "\\Configuration0", "Channel0", next() % 12, bytes);
    }
    write.qelmUnit("Device 200", "QX-REAL-1");
    write.qelmUnit("Device 300", "QX-REAL-2");
    const Serials serials = loadedSerials();
    ASSERT_GE(serials.size(), 2u);
    EXPECT_NE(std::find(serials.begin(), serials.end(), "QX-REAL-1"), serials.end());
    EXPECT_NE(std::find(serials.begin(), serials.end(), "QX-REAL-2"), serials.end());
    for (const std::string& serial : serials) {
        EXPECT_FALSE(serial.empty());
        EXPECT_LE(serial.size(), 15u);
        EXPECT_EQ(std::count(serials.begin(), serials.end(), serial), 1);
    }
}

TEST_F(SettingsLoadTest, RemembereredUnitsAreAppendedAfterRecordsAlreadyKnown) {
    write.qelmUnit("Device 0", "QX-0001", 6);
    write.qelmUnit("Device 1", "QX-0002", 7);
    auto registry = qelmRegistry(store);
    ASSERT_TRUE(registry->addDevice(nullptr, nullptr, nullptr, nullptr, "QX-0002", registry->getModel(0)));
    registry->loadSettings();
    ASSERT_EQ(registry->getNumberOfDevices(), 2u);
    EXPECT_STREQ(registry->getDevice(0)->getSerialNumber(), "QX-0002");
    EXPECT_FALSE(registry->getAsioDevice(0)->isFromSettings());
    EXPECT_STREQ(registry->getDevice(1)->getSerialNumber(), "QX-0001");
    EXPECT_EQ(registry->getDevice(1)->getIndex(), 1u);
}

TEST(OrloSettingsLoadTest, UnassignedChannelsGetFirstFreeChannelsInSerialNumberOrder) {
    TestOrloBrand brand;
    MemorySettingsStore store;
    {
        StoreWriter write(store);
        write.string("Device 0", "SerialNumber", "DB-2");
        write.dword("Device 0", "Type", 2);
        write.key("Device 0\\Configuration0");
        write.string("Device 1", "SerialNumber", "DA-1");
        write.dword("Device 1", "Type", 2);
        write.dword("Device 1\\Configuration0", "Channel0", 0);
        write.string("Device 2", "SerialNumber", "QX-NOT-ORLO");
        write.dword("Device 2", "Type", 5);  // no such model in this registry
    }
    DeviceModelIf* models[] = {new OrloDaltoDeviceModel, new OrloTavioDeviceModel};
    AsioDeviceRegistry registry(2, models, store, 10 * 60 * 1000);
    registry.loadSettings();
    ASSERT_EQ(registry.getNumberOfDevices(), 2u);
    const AsioDeviceConfigurationIf* b = registry.getAsioDevice(0)->getConfiguration(0);
    const AsioDeviceConfigurationIf* a = registry.getAsioDevice(1)->getConfiguration(0);
    EXPECT_STREQ(registry.getDevice(1)->getSerialNumber(), "DA-1");
    EXPECT_EQ(a->getOutputAsioChannel(0), 0);
    EXPECT_EQ(a->getOutputAsioChannel(1), 1);
    EXPECT_EQ(b->getOutputAsioChannel(0), 3);
    EXPECT_EQ(b->getOutputAsioChannel(1), 4);
    uint8_t usedIn[16], usedOut[16];
    registry.collectUsedChannels(usedIn, usedOut);
    EXPECT_EQ(std::vector<uint8_t>(usedOut, usedOut + 6), (std::vector<uint8_t>{1, 1, 0, 1, 1, 0}));
    EXPECT_EQ(std::count(usedIn, usedIn + 16, 1), 0);
}
