// The device tree, interface listing and HID serials of simulated
// controllers, walked the way the hardware models walk them.
#include <gtest/gtest.h>

#include <cctype>

#include "sim/model_catalog.h"
#include "sim_test_support.h"

using namespace simtest;

namespace {

bool containsNoCase(const std::string& text, const std::string& pattern) {
    auto lower = [](std::string s) {
        for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    return lower(text).find(lower(pattern)) != std::string::npos;
}

std::string deviceId(os::DeviceBoundaryIf& bus, DEVINST node) {
    ULONG size = 0;
    if (bus.cmGetDeviceIdSize(&size, node, 0) != CR_SUCCESS) return {};
    std::string id(size + 1, '\0');
    if (bus.cmGetDeviceId(node, &id[0], size + 1, 0) != CR_SUCCESS) return {};
    id.resize(size);
    return id;
}

struct ModelPatterns {
    sim::Model model;
    const char* audio;
    const char* sibling;
    const char* hidPrefix;  // nullptr: the serial comes from the instance id
};

const ModelPatterns kPatterns[] = {
    {sim::Model::Fenro, "USB#VID_08BB&PID_2702", "USB\\VID_2F9A&PID_0100", nullptr},
    {sim::Model::Dalto, "USB#VID_2F9A&PID_0202", "USB\\VID_2F9A&PID_0202", "HID#VID_2F9A&PID_0202&MI_02"},
    {sim::Model::Tavio, "USB#VID_2F9A&PID_0300", "USB\\VID_2F9A&PID_0300&MI_02", "HID#VID_2F9A&PID_0300&MI_02"},
    {sim::Model::TavioRawProto2009, "USB#VID_2F9A&PID_0310", "USB\\VID_2F9A&PID_0310&MI_02",
     "HID#VID_2F9A&PID_0310&MI_02"},
    {sim::Model::Qelm, "USB#VID_04D8&PID_0C5E&MI_00", "USB\\VID_04D8&PID_0C5E&MI_05", "HID#VID_04D8&PID_0C5E&MI_05"},
    {sim::Model::TavioRaw, "USB#VID_2F9A&PID_0310", "USB\\VID_2F9A&PID_0310&MI_02", "HID#VID_2F9A&PID_0310&MI_02"},
};

// The hardware models' walk: parent (grandparent behind a hub), its
// children for the sibling pattern, then that node's first child, whose id
// tail makes the HID path. Returns the HID path, or the instance id.
std::string walk(os::DeviceBoundaryIf& bus, DEVINST audioNode, const ModelPatterns& m) {
    DEVINST top = 0;
    if (bus.cmGetParent(&top, audioNode, 0) != CR_SUCCESS) return {};
    if (m.hidPrefix == nullptr && bus.cmGetParent(&top, top, 0) != CR_SUCCESS) return {};
    DEVINST child = 0;
    CONFIGRET cr = bus.cmGetChild(&child, top, 0);
    for (; cr == CR_SUCCESS; cr = bus.cmGetSibling(&child, child, 0)) {
        const std::string id = deviceId(bus, child);
        if (!containsNoCase(id, m.sibling)) continue;
        if (m.hidPrefix == nullptr) return id;
        DEVINST hid = 0;
        if (bus.cmGetChild(&hid, child, 0) != CR_SUCCESS) continue;
        const std::string hidId = deviceId(bus, hid);
        const size_t slash = hidId.rfind('\\');
        if (slash == std::string::npos) return {};
        return std::string("\\\\?\\") + m.hidPrefix + "#" + hidId.substr(slash + 1) +
               "#{4D1E55B2-F16F-11CF-88CB-001111000030}";
    }
    return {};
}

std::u16string readSerial(os::DeviceBoundaryIf& bus, const std::string& hidPath, bool* ok) {
    *ok = false;
    HANDLE hid = bus.openDevice(hidPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL);
    if (hid == INVALID_HANDLE_VALUE) return {};
    char16_t buffer[128] = {};
    *ok = bus.hidGetSerialNumberString(hid, buffer, 256);
    bus.closeDevice(hid);
    return buffer;
}

TEST(DeviceTree, EveryModelIsFoundByItsOwnWalk) {
    sim::SimBus bus;
    for (const ModelPatterns& m : kPatterns) {
        sim::ControllerConfig config;
        config.model = m.model;
        config.serial = m.model == sim::Model::Fenro ? sim::widen("A1B2C3_X") : sim::widen("SN-0000") +
                                                                                 sim::widen(std::to_string(
                                                                                     static_cast<int>(m.model)));
        ASSERT_TRUE(bus.plug(config)) << sim::modelInfo(m.model).name;
    }
    std::vector<os::AudioInterfaceInfo> interfaces;
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    ASSERT_EQ(interfaces.size(), 6u);

    for (size_t i = 0; i < 6; ++i) {
        const ModelPatterns& m = kPatterns[i];
        const os::AudioInterfaceInfo& info = interfaces[i];
        SCOPED_TRACE(sim::modelInfo(m.model).name);
        EXPECT_TRUE(containsNoCase(info.path, m.audio)) << info.path;
        EXPECT_EQ(info.renderAliasFlags, SPINT_ACTIVE);
        EXPECT_EQ(info.captureAliasFlags, m.model == sim::Model::Qelm ? SPINT_ACTIVE : 0u);
        const std::string found = walk(bus, info.deviceInstance, m);
        ASSERT_FALSE(found.empty());
        if (m.hidPrefix == nullptr) {
            EXPECT_EQ(found.substr(found.rfind('\\') + 1), "A1B2C3_X");
            continue;
        }
        bool ok = false;
        const std::u16string serial = readSerial(bus, found, &ok);
        ASSERT_TRUE(ok) << found;
        EXPECT_EQ(serial, sim::widen("SN-0000" + std::to_string(static_cast<int>(m.model))));
    }
}

TEST(DeviceTree, HidSerialsAreDeliveredAsStored) {
    sim::SimBus bus;
    auto unit = bus.plug(qelm("AB12-CD34  "));
    ASSERT_TRUE(unit);
    HANDLE hid = bus.openDevice(unit->hidPath().c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL);
    ASSERT_NE(hid, INVALID_HANDLE_VALUE);
    uint8_t buffer[256];
    std::memset(buffer, 0xCC, sizeof(buffer));
    ASSERT_TRUE(bus.hidGetSerialNumberString(hid, buffer, sizeof(buffer)));
    // UTF-16 little-endian with the trailing spaces, then the terminator.
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(buffer[1], 0);
    EXPECT_EQ(buffer[16], '4');
    EXPECT_EQ(buffer[18], ' ');
    EXPECT_EQ(buffer[20], ' ');
    EXPECT_EQ(buffer[22], 0);
    EXPECT_EQ(buffer[23], 0);
    EXPECT_EQ(buffer[24], 0xCC);
    EXPECT_FALSE(bus.hidGetSerialNumberString(hid, buffer, 10));

    sim::Faults faults;
    faults.unreadableSerial = true;
    unit->setFaults(faults);
    EXPECT_FALSE(bus.hidGetSerialNumberString(hid, buffer, sizeof(buffer)));
    bus.closeDevice(hid);

    faults = sim::Faults();
    faults.failHidOpen = 1;
    unit->setFaults(faults);
    bool ok = true;
    readSerial(bus, unit->hidPath(), &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(readSerial(bus, unit->hidPath(), &ok), sim::widen("AB12-CD34  "));
    EXPECT_TRUE(ok);
}

TEST(DeviceTree, IdsAndNavigationFollowTheConfigurationManager) {
    sim::SimBus bus;
    auto unit = bus.plug(qelm("QELM20001"));
    ASSERT_TRUE(unit);
    const DEVINST audio = unit->audioDeviceInstance();
    ULONG size = 0;
    ASSERT_EQ(bus.cmGetDeviceIdSize(&size, audio, 0), CR_SUCCESS);
    std::string id(size, 'x');
    id.push_back('#');
    EXPECT_EQ(bus.cmGetDeviceId(audio, &id[0], size - 1, 0), CR_BUFFER_SMALL);
    // Exactly the id's length: copied without a terminator.
    EXPECT_EQ(bus.cmGetDeviceId(audio, &id[0], size, 0), CR_SUCCESS);
    EXPECT_EQ(id.back(), '#');
    EXPECT_EQ(id.compare(0, 28, "USB\\VID_04D8&PID_0C5E&MI_00\\"), 0);

    DEVINST node = 0;
    EXPECT_EQ(bus.cmGetChild(&node, audio, 0), CR_NO_SUCH_DEVNODE);  // an audio function has no child
    EXPECT_EQ(bus.cmGetParent(&node, audio, 1), CR_INVALID_FLAG);
    EXPECT_EQ(bus.cmGetParent(nullptr, audio, 0), CR_INVALID_POINTER);

    // A move to another port: new nodes and paths, old nodes gone, serial kept.
    const std::string oldPath = unit->interfacePath();
    const std::string oldHid = unit->hidPath();
    ASSERT_TRUE(bus.move(unit, 7));
    EXPECT_NE(unit->interfacePath(), oldPath);
    EXPECT_NE(unit->hidPath(), oldHid);
    EXPECT_NE(unit->audioDeviceInstance(), audio);
    EXPECT_EQ(bus.cmGetParent(&node, audio, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(unit->port(), 7u);
    bool ok = false;
    EXPECT_EQ(readSerial(bus, oldHid, &ok), std::u16string());
    EXPECT_FALSE(ok);
    EXPECT_EQ(readSerial(bus, unit->hidPath(), &ok), sim::widen("QELM20001"));

    // The same port again gives the same paths, as the system derives them from the port.
    ASSERT_TRUE(bus.move(unit, 1));
    EXPECT_EQ(unit->interfacePath(), oldPath);
    EXPECT_FALSE(bus.move(unit, 0));
    auto second = bus.plug(qelm("QELM20002", sim::QelmLayout::FourFour, 1));
    EXPECT_FALSE(second);  // port taken
}

TEST(DeviceTree, AliasStatesAppearInTheListing) {
    sim::SimBus bus;
    auto unit = bus.plug(qelm("QELM20003"));
    ASSERT_TRUE(unit);
    unit->setAliases(sim::AliasState::Removed, sim::AliasState::Missing);
    std::vector<os::AudioInterfaceInfo> interfaces;
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].renderAliasFlags, SPINT_REMOVED);
    EXPECT_EQ(interfaces[0].captureAliasFlags, 0u);
    EXPECT_EQ(interfaces[0].path, unit->interfacePath());

    ASSERT_TRUE(bus.unplug(unit));
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    EXPECT_TRUE(interfaces.empty());
    ASSERT_TRUE(bus.replug(unit));
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    EXPECT_EQ(interfaces.size(), 1u);
}

// A real audio function lists its topology and MIDI filters as KS audio
// interfaces too, without render or capture aliases and in no promised order.
TEST(DeviceTree, InterfacesWithoutAliasesMayComeFirst) {
    sim::SimBus bus;
    sim::ControllerConfig config = qelm("QELM20004");
    config.faults.aliasLessFirst = true;
    auto unit = bus.plug(config);
    ASSERT_TRUE(unit);
    std::vector<os::AudioInterfaceInfo> interfaces;
    ASSERT_TRUE(bus.listAudioInterfaces(interfaces));
    ASSERT_EQ(interfaces.size(), 3u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(interfaces[i].renderAliasFlags, 0u);
        EXPECT_EQ(interfaces[i].captureAliasFlags, 0u);
        EXPECT_NE(interfaces[i].path, unit->interfacePath());
    }
    EXPECT_TRUE(containsNoCase(interfaces[0].path, "USB#VID_04D8&PID_0C5E&MI_00")) << "the topology filter";
    EXPECT_EQ(interfaces[2].path, unit->interfacePath());
    EXPECT_EQ(interfaces[2].renderAliasFlags, SPINT_ACTIVE);
    // All of them are the audio function's interfaces in the system's list.
    std::vector<std::string> paths;
    ASSERT_EQ(bus.cmGetDeviceInterfaceList(KSCATEGORY_AUDIO, deviceId(bus, unit->audioDeviceInstance()).c_str(), paths),
              CR_SUCCESS);
    EXPECT_EQ(paths.size(), 2u);
}

TEST(DeviceTree, HidDevicesWithSeveralCollectionsListOnePathEach) {
    sim::SimBus bus;
    sim::ControllerConfig config = qelm("QELM20005");
    config.hidCollections = 2;
    auto unit = bus.plug(config);
    ASSERT_TRUE(unit);
    const std::vector<std::string> hidPaths = unit->hidPaths();
    ASSERT_EQ(hidPaths.size(), 2u);
    EXPECT_TRUE(containsNoCase(hidPaths[0], "HID#VID_04D8&PID_0C5E&MI_05&Col01#"));
    // The path built from the prefix alone names nothing.
    const std::string built = walk(bus, unit->audioDeviceInstance(), kPatterns[4]);
    bool ok = true;
    readSerial(bus, built, &ok);
    EXPECT_FALSE(ok);
    // The system's list for the first collection's node has the real path.
    DEVINST parent = 0, child = 0, hid = 0;
    ASSERT_EQ(bus.cmGetParent(&parent, unit->audioDeviceInstance(), 0), CR_SUCCESS);
    ASSERT_EQ(bus.cmGetChild(&child, parent, 0), CR_SUCCESS);
    while (!containsNoCase(deviceId(bus, child), "MI_05")) ASSERT_EQ(bus.cmGetSibling(&child, child, 0), CR_SUCCESS);
    ASSERT_EQ(bus.cmGetChild(&hid, child, 0), CR_SUCCESS);
    std::vector<std::string> paths;
    ASSERT_EQ(bus.cmGetDeviceInterfaceList(ksabi::kHidInterfaceClass, deviceId(bus, hid).c_str(), paths), CR_SUCCESS);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], hidPaths[0]);
    EXPECT_EQ(readSerial(bus, paths[0], &ok), u"QELM20005");
    EXPECT_TRUE(ok);
    EXPECT_EQ(bus.cmGetDeviceInterfaceList(ksabi::kHidInterfaceClass, "HID\\NOTHING\\0", paths),
              CR_NO_SUCH_DEVNODE);
}

// Notices as RegisterDeviceNotification gives them.
class Notices : public ::testing::Test, public os::DeviceNoticeSinkIf {
protected:
    void deviceNotice(uint64_t cookie, os::DeviceNotice notice) override {
        heard.push_back({cookie, notice});
        if (notice == os::DeviceNotice::QueryRemove && closeOnQuery && filter != INVALID_HANDLE_VALUE) {
            bus.closeDevice(filter);
            filter = INVALID_HANDLE_VALUE;
        }
    }
    std::vector<std::pair<uint64_t, os::DeviceNotice>> heard;
    bool closeOnQuery = true;
    sim::SimBus bus;
    HANDLE filter = INVALID_HANDLE_VALUE;
};

TEST_F(Notices, ArrivalsRemovalsAndQueryRemove) {
    const os::DeviceWatch arrivals = bus.watchInterfaceClass(KSCATEGORY_AUDIO, this, 7);
    ASSERT_NE(arrivals, 0u);
    auto unit = bus.plug(qelm("QELM20006"));
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(uint64_t{7}, os::DeviceNotice::Arrival));

    filter = openFilter(bus, unit->interfacePath());
    const os::DeviceWatch device = bus.watchDevice(filter, this, 9);
    ASSERT_NE(device, 0u);
    // A handle kept open refuses the removal.
    closeOnQuery = false;
    heard.clear();
    EXPECT_FALSE(bus.requestRemoval(unit));
    EXPECT_TRUE(unit->isPlugged());
    EXPECT_EQ(unit->removalVetoes(), 1u);
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[0].second, os::DeviceNotice::QueryRemove);
    EXPECT_EQ(heard[1].second, os::DeviceNotice::QueryRemoveFailed);
    // Closed on the query, it goes; the watch outlives the handle.
    closeOnQuery = true;
    heard.clear();
    EXPECT_TRUE(bus.requestRemoval(unit));
    EXPECT_FALSE(unit->isPlugged());
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[1], std::make_pair(uint64_t{9}, os::DeviceNotice::RemoveComplete));
    EXPECT_EQ(heard[2], std::make_pair(uint64_t{7}, os::DeviceNotice::RemoveComplete));

    // No notice once unwatched.
    bus.unwatch(device);
    bus.unwatch(arrivals);
    heard.clear();
    ASSERT_TRUE(bus.replug(unit));
    ASSERT_TRUE(bus.unplug(unit));
    EXPECT_TRUE(heard.empty());
    bus.flushNotices();
}

}  // namespace
