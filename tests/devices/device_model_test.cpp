// Hardware models: patterns, the tree walks to the control device, and the
// serial number rules, on the simulated bus and on hand-made trees.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "base/utilities.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "fake_tree_boundary.h"
#include "sim/bus.h"

namespace {

struct ModelRow {
    std::shared_ptr<DeviceModelIf> model;
    uint32_t type;
    const char* name;
    sim::Model simModel;
};

std::vector<ModelRow> allModels() {
    return {
        {std::make_shared<OrloFenroDeviceModel>(), 1, "FENRO", sim::Model::Fenro},
        {std::make_shared<OrloDaltoDeviceModel>(), 2, "DALTO", sim::Model::Dalto},
        {std::make_shared<OrloTavioDeviceModel>(), 3, "TAVIO", sim::Model::Tavio},
        {std::make_shared<OrloTavioRawProto2009DeviceModel>(), 4, "TAVIO RAW PROTO 2009",
         sim::Model::TavioRawProto2009},
        {std::make_shared<VexaQelmDeviceModel>(), 5, "QELM", sim::Model::Qelm},
        {std::make_shared<OrloTavioRawDeviceModel>(), 6, "TAVIO RAW", sim::Model::TavioRaw},
    };
}

// The control-device string and the serial number one model reads from a
// plugged controller.
struct Reading {
    bool found = false;
    bool serialRead = false;
    std::string hidId;
    std::string serial;
};

Reading readController(const DeviceModelIf& model, const sim::SimController& controller) {
    Reading r;
    char hid[DeviceModelAbs::kHidDeviceIdLength];
    char serial[DeviceModelAbs::kSerialLength];
    r.found = model.findHidDevice(controller.audioDeviceInstance(), hid, sizeof(hid));
    if (!r.found) return r;
    r.hidId = hid;
    r.serialRead = model.getSerial(hid, serial, sizeof(serial));
    if (r.serialRead) r.serial = serial;
    return r;
}

class SimBusTest : public ::testing::Test {
protected:
    sim::SimBus bus;
    sim::ScopedDeviceBoundary scope{bus};

    std::shared_ptr<sim::SimController> plug(sim::Model model, const std::string& serial) {
        sim::ControllerConfig config;
        config.model = model;
        config.serial = sim::widen(serial);
        return bus.plug(config);
    }
};

}  // namespace

TEST(DeviceModel, TypesNamesAndAudioPatternsIgnoringCase) {
    const char* paths[] = {
        "\\\\?\\usb#vid_08bb&pid_2702&mi_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
        "\\\\?\\usb#vid_2f9a&pid_0202&mi_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
        "\\\\?\\usb#vid_2f9a&pid_0300&mi_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
        "\\\\?\\usb#vid_2f9a&pid_0310&mi_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
        "\\\\?\\usb#vid_04d8&pid_0c5e&mi_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
        "\\\\?\\USB#Vid_2F9a&Pid_0310&MI_00#7&1&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
    };
    const auto models = allModels();
    for (size_t m = 0; m < models.size(); ++m) {
        SCOPED_TRACE(models[m].name);
        EXPECT_EQ(models[m].model->getType(), models[m].type);
        EXPECT_STREQ(models[m].model->getName(), models[m].name);
        for (size_t p = 0; p < 6; ++p) {
            // Paths 3 and 5 both belong to the two TAVIO RAW models (3 and 5 in the table).
            const bool tavioRaw = (m == 3 || m == 5) && (p == 3 || p == 5);
            EXPECT_EQ(models[m].model->isAudioDevice(paths[p]), p == m || tavioRaw) << paths[p];
        }
    }
    VexaQelmDeviceModel qelm;
    // Only the audio function of the composite device is an audio device of the model.
    EXPECT_FALSE(qelm.isAudioDevice("\\\\?\\usb#vid_04d8&pid_0c5e&mi_03#7&1&0&0003#{x}"));
    EXPECT_TRUE(qelm.isHidDevice("\\\\?\\hid#vid_04d8&pid_0c5e&mi_05#8&1&0&0000#{4d1e55b2}"));
    EXPECT_FALSE(qelm.isHidDevice("\\\\?\\hid#vid_2f9a&pid_0300&mi_02#8&1&0&0000#{x}"));
    OrloFenroDeviceModel fenro;
    EXPECT_TRUE(fenro.isHidDevice("\\\\?\\HID#vid_2f9a&PID_0100#8&1"));
}

TEST_F(SimBusTest, EveryModelWalksToItsControlDeviceAndReadsTheSerial) {
    for (const ModelRow& row : allModels()) {
        SCOPED_TRACE(row.name);
        auto controller = plug(row.simModel, "SN" + std::to_string(row.type) + "0042");
        ASSERT_NE(controller, nullptr);
        ASSERT_TRUE(row.model->isAudioDevice(controller->interfacePath().c_str()));
        const Reading r = readController(*row.model, *controller);
        ASSERT_TRUE(r.found);
        EXPECT_TRUE(r.serialRead);
        EXPECT_EQ(r.serial, "SN" + std::to_string(row.type) + "0042");
        if (row.simModel == sim::Model::Fenro) {
            // The control device's instance identifier below the unit's hub.
            EXPECT_EQ(r.hidId.rfind("USB\\VID_2F9A&PID_0100\\", 0), 0u) << r.hidId;
        } else {
            // An openable HID path: the same device as the simulator's, however spelled.
            EXPECT_TRUE(row.model->isHidDevice(r.hidId.c_str())) << r.hidId;
            EXPECT_EQ(findTextNoCase(r.hidId.c_str(), controller->hidPath().c_str()), r.hidId.c_str())
                << r.hidId << " vs " << controller->hidPath();
            EXPECT_EQ(r.hidId.size(), controller->hidPath().size());
        }
        bus.unplug(controller);
    }
}

TEST_F(SimBusTest, SerialCleaning) {
    VexaQelmDeviceModel qelm;
    struct Case {
        const char* reported;
        bool ok;
        const char* serial;
    } cases[] = {
        {"AB12-CD34  ", true, "AB12-CD34"},  // trailing spaces dropped
        {"AB12_CD34", false, "AB12"},        // stops at '_', too short then
        {"AB 12", true, "AB 12"},            // inner spaces stay
        {"ABCD", false, "ABCD"},
        {"ABCDE", true, "ABCDE"},
        {"ABCD ", false, "ABCD"},            // 4 once the space is gone
        {"QX-7781\x01ZZZ", true, "QX-7781"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reported);
        auto controller = plug(sim::Model::Qelm, c.reported);
        ASSERT_NE(controller, nullptr);
        char hid[256];
        ASSERT_TRUE(qelm.findHidDevice(controller->audioDeviceInstance(), hid, sizeof(hid)));
        char serial[128];
        EXPECT_EQ(qelm.getSerial(hid, serial, sizeof(serial)), c.ok);
        EXPECT_STREQ(serial, c.serial);
        bus.unplug(controller);
    }
}

TEST_F(SimBusTest, UnreadableOrUnopenableHidDeviceHasNoSerial) {
    VexaQelmDeviceModel qelm;
    sim::ControllerConfig config;
    config.serial = sim::widen("GOOD-SERIAL");
    config.faults.unreadableSerial = true;
    auto unreadable = bus.plug(config);
    EXPECT_FALSE(readController(qelm, *unreadable).serialRead);

    config.faults = sim::Faults();
    config.faults.failHidOpen = 1;
    auto unopenable = bus.plug(config);
    EXPECT_FALSE(readController(qelm, *unopenable).serialRead);
    // The fault fired once; the next pass reads the serial.
    EXPECT_EQ(readController(qelm, *unopenable).serial, "GOOD-SERIAL");
}

TEST_F(SimBusTest, DaltoKeepsNineCharactersOfItsSerial) {
    OrloDaltoDeviceModel dalto;
    auto controller = plug(sim::Model::Dalto, "DA1234567890");
    const Reading r = readController(dalto, *controller);
    ASSERT_TRUE(r.serialRead);
    EXPECT_EQ(r.serial, "DA1234567");
}

TEST_F(SimBusTest, FenroWithoutSerialInItsIdentifierIsRefused) {
    OrloFenroDeviceModel fenro;
    sim::ControllerConfig config;
    config.model = sim::Model::Fenro;
    config.serial = sim::widen("FE0001");
    config.faults.unreadableSerial = true;  // the control device's id ends in a backslash
    auto controller = bus.plug(config);
    const Reading r = readController(fenro, *controller);
    ASSERT_TRUE(r.found);
    EXPECT_FALSE(r.serialRead);
}

TEST(DeviceModel, FenroSerialFromTheInstanceIdentifier) {
    OrloFenroDeviceModel fenro;
    char serial[128];
    EXPECT_TRUE(fenro.getSerial("USB\\VID_2F9A&PID_0100\\A1B2C3_X", serial, sizeof(serial)));
    EXPECT_STREQ(serial, "A1B2C3");
    EXPECT_TRUE(fenro.getSerial("USB\\VID_2F9A&PID_0100\\A1B2C3", serial, sizeof(serial)));
    EXPECT_STREQ(serial, "A1B2C3");
    EXPECT_FALSE(fenro.getSerial("USB\\VID_2F9A&PID_0100\\", serial, sizeof(serial)));
    EXPECT_FALSE(fenro.getSerial("USB\\VID_2F9A&PID_0100\\_X", serial, sizeof(serial)));
    EXPECT_FALSE(fenro.getSerial("NO-BACKSLASH", serial, sizeof(serial)));

    // 127 characters fill a 128-character buffer; 128 do not fit.
    char guarded[128 + 8];
    std::memset(guarded, '#', sizeof(guarded));
    const std::string prefix = "USB\\VID_2F9A&PID_0100\\";
    EXPECT_TRUE(fenro.getSerial((prefix + std::string(127, 'S')).c_str(), guarded, 128));
    EXPECT_EQ(std::strlen(guarded), 127u);
    std::memset(guarded, '#', sizeof(guarded));
    EXPECT_FALSE(fenro.getSerial((prefix + std::string(128, 'S')).c_str(), guarded, 128));
    for (size_t i = 0; i < sizeof(guarded); ++i) ASSERT_EQ(guarded[i], '#') << i;
}

namespace {

// A QELM-shaped composite device: parent with audio, MIDI and HID functions.
class QelmTree : public ::testing::Test {
protected:
    FakeTreeBoundary tree;
    sim::ScopedDeviceBoundary scope{tree};
    DEVINST parent = tree.addNode(0, "USB\\VID_04D8&PID_0C5E\\6&1&0&1");
    DEVINST audio = tree.addNode(parent, "USB\\VID_04D8&PID_0C5E&MI_00\\7&1&0&0000");
    VexaQelmDeviceModel qelm;

    DEVINST addHidFunction(const std::string& functionId) { return tree.addNode(parent, functionId); }
};

}  // namespace

TEST_F(QelmTree, HidInterfaceWithoutHidDeviceYieldsNothing) {
    addHidFunction("USB\\VID_04D8&PID_0C5E&MI_05\\7&1&0&0005");
    char hid[256];
    EXPECT_FALSE(qelm.findHidDevice(audio, hid, sizeof(hid)));
    // Nor does a node without a parent.
    EXPECT_FALSE(qelm.findHidDevice(parent, hid, sizeof(hid)));
}

TEST_F(QelmTree, LaterSiblingServesWhenTheFirstMatchHasNoChild) {
    addHidFunction("usb\\vid_04d8&pid_0c5e&mi_05\\7&1&0&0005");  // childless, lower case
    const DEVINST second = addHidFunction("USB\\VID_04D8&PID_0C5E&MI_05\\7&2&0&0005");
    tree.addNode(second, "HID\\VID_04D8&PID_0C5E&MI_05\\8&2&0&0000");
    char hid[256];
    ASSERT_TRUE(qelm.findHidDevice(audio, hid, sizeof(hid)));
    EXPECT_STREQ(hid, "\\\\?\\HID#VID_04D8&PID_0C5E&MI_05#8&2&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}");
}

TEST_F(QelmTree, HidPathThatWouldNotFitIsRefusedNotCut) {
    // "\\?\" + prefix (27) + "#" + tail + "#{" + GUID (36) + "}" = 71 + tail.
    const DEVINST function = addHidFunction("USB\\VID_04D8&PID_0C5E&MI_05\\7&1&0&0005");
    const DEVINST hidNode = tree.addNode(function, "HID\\VID_04D8&PID_0C5E&MI_05\\" + std::string(184, 'T'));
    char guarded[256 + 16];
    std::memset(guarded, '#', sizeof(guarded));
    ASSERT_TRUE(qelm.findHidDevice(audio, guarded, 256));
    EXPECT_EQ(std::strlen(guarded), 255u);

    FakeTreeBoundary longer;
    sim::ScopedDeviceBoundary inner(longer);
    const DEVINST p = longer.addNode(0, "USB\\VID_04D8&PID_0C5E\\6&1&0&1");
    const DEVINST a = longer.addNode(p, "USB\\VID_04D8&PID_0C5E&MI_00\\7&1&0&0000");
    const DEVINST f = longer.addNode(p, "USB\\VID_04D8&PID_0C5E&MI_05\\7&1&0&0005");
    longer.addNode(f, "HID\\VID_04D8&PID_0C5E&MI_05\\" + std::string(185, 'T'));
    std::memset(guarded, '#', sizeof(guarded));
    EXPECT_FALSE(qelm.findHidDevice(a, guarded, 256));
    for (size_t i = 256; i < sizeof(guarded); ++i) ASSERT_EQ(guarded[i], '#') << i;
    (void)hidNode;
}

TEST_F(QelmTree, IdentifiersLongerThanTheBufferAreSkipped) {
    // Size 255 + terminator fits 256; size 256 does not.
    const std::string fnPrefix = "USB\\VID_04D8&PID_0C5E&MI_05\\";
    const DEVINST tooLong = addHidFunction(fnPrefix + std::string(256 - fnPrefix.size(), 'L'));
    tree.addNode(tooLong, "HID\\VID_04D8&PID_0C5E&MI_05\\8&1&0&0000");
    char hid[256];
    EXPECT_FALSE(qelm.findHidDevice(audio, hid, sizeof(hid)));

    const DEVINST fits = addHidFunction(fnPrefix + std::string(255 - fnPrefix.size(), 'F'));
    tree.addNode(fits, "HID\\VID_04D8&PID_0C5E&MI_05\\8&9&0&0000");
    ASSERT_TRUE(qelm.findHidDevice(audio, hid, sizeof(hid)));
    EXPECT_NE(std::strstr(hid, "#8&9&0&0000#"), nullptr) << hid;
}

TEST(DeviceModel, SerialReadStaysInsideItsBuffers) {
    FakeTreeBoundary tree;
    sim::ScopedDeviceBoundary scope(tree);
    // 128 units and no terminator: the whole reply buffer.
    tree.addHid("\\\\?\\hid#long", std::u16string(128, u'A'));
    VexaQelmDeviceModel qelm;
    char guarded[128 + 8];
    std::memset(guarded, '#', sizeof(guarded));
    ASSERT_TRUE(qelm.getSerial("\\\\?\\HID#LONG", guarded, 128));
    EXPECT_EQ(std::strlen(guarded), 127u);
    for (size_t i = 128; i < sizeof(guarded); ++i) ASSERT_EQ(guarded[i], '#');
    // A small caller buffer cuts the serial and still terminates it.
    char small[8];
    ASSERT_TRUE(qelm.getSerial("\\\\?\\hid#long", small, 6));
    EXPECT_STREQ(small, "AAAAA");
    EXPECT_EQ(tree.openHandles(), 0);
    // Characters above 0xFF keep their low 8 bits, as the descriptor rule has it.
    tree.addHid("\\\\?\\hid#wide", u"\u0141BCDE");
    ASSERT_TRUE(qelm.getSerial("\\\\?\\hid#wide", guarded, 128));
    EXPECT_STREQ(guarded, "ABCDE");
    EXPECT_FALSE(qelm.getSerial("\\\\?\\hid#absent", guarded, 128));
}
