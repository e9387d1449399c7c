// The bus description file: its grammar, its refusal of bad lines, and
// plugging and unplugging by editing it while the bus runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "sim/bus_file.h"
#include "sim_test_support.h"

using namespace simtest;

namespace {

TEST(BusFileParser, ReadsControllersKeysAndFaults) {
    const sim::BusFileContents c = sim::parseBusFile(
        "# two units\r\n"
        "QELM serial=AB12-CD34 port=3 layout=8+2\n"
        "  qelm serial=\"EF56-GH78  \" crc-writes=2 drift=-40 fail-open=always render=removed\n"
        "\"TAVIO RAW\" serial=\"TR\\u0041\" # a comment\n"
        "\n"
        "5 serial=\"q\\\"uote\" malformed=range-past-end pend-properties size-error=insufficient-buffer\n");
    ASSERT_TRUE(c.problems.empty()) << c.problems[0].reason;
    ASSERT_EQ(c.controllers.size(), 4u);

    const sim::ControllerConfig& first = c.controllers[0].config;
    EXPECT_EQ(first.model, sim::Model::Qelm);
    EXPECT_EQ(first.serial, sim::widen("AB12-CD34"));
    EXPECT_EQ(first.port, 3u);
    EXPECT_EQ(first.layout, sim::QelmLayout::EightTwo);

    const sim::ControllerConfig& second = c.controllers[1].config;
    EXPECT_EQ(second.serial, sim::widen("EF56-GH78  "));
    EXPECT_EQ(second.port, 1u);  // lowest port no line names
    EXPECT_EQ(second.faults.crcWrites, 2u);
    EXPECT_EQ(second.faults.driftPpm, -40);
    EXPECT_EQ(second.faults.failOpen, sim::Faults::kAlways);
    EXPECT_EQ(second.renderAlias, sim::AliasState::Removed);

    const sim::ControllerConfig& third = c.controllers[2].config;
    EXPECT_EQ(third.model, sim::Model::TavioRaw);
    EXPECT_EQ(third.serial, sim::widen("TRA"));
    EXPECT_EQ(third.port, 2u);

    const sim::ControllerConfig& fourth = c.controllers[3].config;
    EXPECT_EQ(fourth.serial, sim::widen("q\"uote"));
    EXPECT_EQ(fourth.port, 4u);
    EXPECT_EQ(fourth.faults.malformed, sim::Malformation::RangePastEnd);
    EXPECT_TRUE(fourth.faults.pendPropertyRequests);
    EXPECT_TRUE(fourth.faults.sizeQueryInsufficientBuffer);
    EXPECT_EQ(c.controllers[3].line, 6u);
}

TEST(BusFileParser, ReadsWhatRealDevicesDo) {
    const sim::BusFileContents c = sim::parseBusFile(
        "QELM serial=RD000001 fail-packets=always empty-reads=3 stall=2 late-cancel in-use extensible-only "
        "channel-mask=0x0 framing=3528 alias-less-first hid-collections=2 disabled "
        "render-ranges=2x24in32@44100-48000,3x16@44100 capture-ranges=1x16@48000\n");
    ASSERT_TRUE(c.problems.empty()) << c.problems[0].reason;
    ASSERT_EQ(c.controllers.size(), 1u);
    const sim::ControllerConfig& unit = c.controllers[0].config;
    EXPECT_EQ(unit.faults.failPackets, sim::Faults::kAlways);
    EXPECT_EQ(unit.faults.emptyReads, 3u);
    EXPECT_EQ(unit.faults.stallPackets, 2u);
    EXPECT_TRUE(unit.faults.lateCancel);
    EXPECT_TRUE(unit.faults.inUse);
    EXPECT_TRUE(unit.faults.extensibleOnly);
    EXPECT_EQ(unit.faults.channelMask, 0u);
    EXPECT_EQ(unit.faults.framingBytes, 3528u);
    EXPECT_TRUE(unit.faults.aliasLessFirst);
    EXPECT_EQ(unit.hidCollections, 2u);
    EXPECT_TRUE(unit.disabled);
    const std::vector<sim::FormatRange> render = {{2, 24, 44100, 48000, 32}, {3, 16, 44100, 44100, 0}};
    EXPECT_EQ(unit.renderRanges, render);
    ASSERT_EQ(unit.captureRanges.size(), 1u);
    EXPECT_EQ(unit.captureRanges[0].container(), 16u);
    EXPECT_EQ(sim::parseBusFile("QELM serial=RD000002").controllers[0].config.faults.channelMask,
              sim::Faults::kAnyChannelMask);
}

TEST(BusFileParser, LoopbackTakesADelayAFlagOrNo) {
    const sim::BusFileContents c = sim::parseBusFile(
        "QELM serial=L1 loopback=480\n"
        "QELM serial=L2 loopback\n"
        "QELM serial=L3 loopback=no\n"
        "QELM serial=L4\n"
        "QELM serial=L5 loopback=96001\n"
        "QELM serial=L6 loopback=-3\n");
    ASSERT_EQ(c.controllers.size(), 4u);
    EXPECT_TRUE(c.controllers[0].config.loopback);
    EXPECT_EQ(c.controllers[0].config.loopbackDelayFrames, 480u);
    EXPECT_TRUE(c.controllers[1].config.loopback);
    EXPECT_EQ(c.controllers[1].config.loopbackDelayFrames, 0u);
    EXPECT_FALSE(c.controllers[2].config.loopback);
    EXPECT_FALSE(c.controllers[3].config.loopback) << "the counter signal stays the default";
    ASSERT_EQ(c.problems.size(), 2u);
    EXPECT_EQ(c.problems[0].reason, "bad value for 'loopback'");
    EXPECT_EQ(c.problems[1].line, 6u);
}

TEST(BusFileParser, ReadsHowTheClockBehaves) {
    const sim::BusFileContents c = sim::parseBusFile(
        "QELM serial=CK000001 drift=-120 wander=2.5 ramp=-0.75 ramp-time=45 jitter=100 usb-frames\n"
        "QELM serial=CK000002 wander=3 ramp=+1 usb-frames=no\n");
    ASSERT_TRUE(c.problems.empty()) << c.problems[0].reason;
    ASSERT_EQ(c.controllers.size(), 2u);
    const sim::Faults& first = c.controllers[0].config.faults;
    EXPECT_EQ(first.driftPpm, -120);
    EXPECT_DOUBLE_EQ(first.wanderPpm, 2.5);
    EXPECT_DOUBLE_EQ(first.rampPpmPerSecond, -0.75);
    EXPECT_EQ(first.rampSeconds, 45u);
    EXPECT_EQ(first.jitterUs, 100u);
    EXPECT_TRUE(first.usbFrames);
    const sim::Faults& second = c.controllers[1].config.faults;
    EXPECT_DOUBLE_EQ(second.wanderPpm, 3.0);
    EXPECT_DOUBLE_EQ(second.rampPpmPerSecond, 1.0);
    EXPECT_EQ(second.rampSeconds, 30u);
    EXPECT_FALSE(second.usbFrames);
}

TEST(BusFileParser, BadLinesAreSkippedWithAReason) {
    const char* bad[] = {
        "ZORK serial=X1234",                       // unknown model
        "QELM port=2",                             // no serial
        "QELM serial=A1 colour=red",               // unknown key
        "QELM serial=A2 port=65",                  // port out of range
        "QELM serial=A3 port=0",                   //
        "QELM serial=A4 drift=200000",             // drift out of range
        "QELM serial=A5 crc-writes=-1",            //
        "DALTO serial=A6 layout=8+2",              // layouts are QELM's
        "QELM serial=A7 layout=2+8",               //
        "QELM serial=\"A8",                        // unterminated quote
        "QELM serial=\"A9\\x\"",                   // unknown escape
        "QELM serial=A\x01",                       // control character
        "QELM serial=",                            // empty serial
        "QELM serial=A10 render=gone",             //
        "QELM serial=A11 malformed=sometimes",     //
        "QELM serial=A12 port=99999999999999",     //
        "QELM serial=A13 channel-mask=0xZ",        //
        "QELM serial=A14 render-ranges=2x24in16@44100",  // container narrower than the samples
        "QELM serial=A15 render-ranges=2x20@44100",      // 20 bits need a container
        "QELM serial=A16 capture-ranges=2x16@48000-44100",
        "QELM serial=A17 hid-collections=0",       //
        "QELM serial=A18 wander=-1",               // a wander is a size
        "QELM serial=A19 wander=1.",               //
        "QELM serial=A20 ramp=0.0001",             // three decimals at most
        "QELM serial=A21 ramp=2000",               //
        "QELM serial=A22 jitter=200000",           //
        "QELM serial=A23 ramp-time=-4",            //
        "QELM serial=A24 usb-frames=maybe",        //
    };
    for (const char* line : bad) {
        const sim::BusFileContents c = sim::parseBusFile(line);
        EXPECT_TRUE(c.controllers.empty()) << line;
        ASSERT_EQ(c.problems.size(), 1u) << line;
        EXPECT_FALSE(c.problems[0].reason.empty());
    }
    std::string longLine = "QELM serial=" + std::string(2000, 'A');
    EXPECT_EQ(sim::parseBusFile(longLine).problems.size(), 1u);
    EXPECT_EQ(sim::parseBusFile("QELM serial=" + std::string(127, 'A')).problems.size(), 1u);

    // Duplicates keep the first line.
    const sim::BusFileContents dup = sim::parseBusFile(
        "QELM serial=S1 port=1\nQELM serial=S1 port=2\nDALTO serial=S1 port=1\nDALTO serial=S1 port=3\n");
    ASSERT_EQ(dup.controllers.size(), 2u);
    EXPECT_EQ(dup.controllers[1].config.port, 3u);
    EXPECT_EQ(dup.problems.size(), 2u);
}

TEST(BusFileParser, ArbitraryBytesNeverBreakIt) {
    std::mt19937 random(1234);
    const std::string seed = "QELM serial=\"AB \\u0041\" port=2 layout=8+2 drift=-5 crc-writes=always\n";
    for (int round = 0; round < 2000; ++round) {
        std::string text;
        const int lines = 1 + static_cast<int>(random() % 6);
        for (int l = 0; l < lines; ++l) {
            std::string line = seed;
            const int edits = static_cast<int>(random() % 8);
            for (int e = 0; e < edits; ++e) {
                const size_t at = random() % line.size();
                switch (random() % 3) {
                    case 0: line[at] = static_cast<char>(random() % 256); break;
                    case 1: line.erase(at, 1 + random() % 4); break;
                    default: line.insert(at, 1, "\"\\=# u+-"[random() % 8]); break;
                }
            }
            text += line;
        }
        const sim::BusFileContents c = sim::parseBusFile(text);
        EXPECT_LE(c.controllers.size(), static_cast<size_t>(lines) + 1);
        for (const sim::BusFileEntry& e : c.controllers) {
            EXPECT_FALSE(e.config.serial.empty());
            EXPECT_LE(e.config.serial.size(), sim::kMaxSerialUnits);
            EXPECT_GE(e.config.port, 1u);
            EXPECT_LE(e.config.port, sim::kMaxPort);
        }
    }
    // Far more controllers than ports and lines than the limit: bounded.
    std::string many;
    for (int i = 0; i < 100; ++i) many += "QELM serial=UNIT" + std::to_string(i) + "\n";
    const sim::BusFileContents c = sim::parseBusFile(many);
    EXPECT_EQ(c.controllers.size(), sim::kMaxBusFileControllers);
    EXPECT_EQ(c.problems.size(), 100 - sim::kMaxBusFileControllers);
}

class BusFile : public ::testing::Test {
protected:
    void write(const std::string& text) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    std::vector<os::AudioInterfaceInfo> list() {
        std::vector<os::AudioInterfaceInfo> interfaces;
        EXPECT_TRUE(bus.listAudioInterfaces(interfaces));
        return interfaces;
    }
    void TearDown() override { std::remove(path.c_str()); }

    const std::string path = "sim_bus_file_test.txt";
    sim::SimBus bus;
};

TEST_F(BusFile, EditingTheFilePlugsAndUnplugs) {
    write("QELM serial=FILE0001 port=1\n");
    bus.setBusFile(path);
    ASSERT_EQ(list().size(), 1u);
    const std::string firstPath = list()[0].path;

    write("QELM serial=FILE0001 port=1\nDALTO serial=FILE0002 port=2\nnonsense here\n");
    std::vector<os::AudioInterfaceInfo> interfaces = list();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].path, firstPath);  // the unchanged unit stays as it was
    EXPECT_EQ(bus.busFileWarnings(), 1u);
    list();
    EXPECT_EQ(bus.busFileWarnings(), 1u);  // reported once, not at every pass

    // Moving a unit to another port changes its path.
    write("QELM serial=FILE0001 port=5\nDALTO serial=FILE0002 port=2\nnonsense here\n");
    interfaces = list();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_NE(interfaces[1].path, firstPath);
    EXPECT_EQ(bus.busFileWarnings(), 1u);

    write("DALTO serial=FILE0002 port=2\n");
    interfaces = list();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_NE(interfaces[0].path.find("pid_0202"), std::string::npos);

    std::remove(path.c_str());
    EXPECT_TRUE(list().empty());
}

TEST_F(BusFile, DisablingAUnitAsksItToGo) {
    write("QELM serial=FILE0006\n");
    bus.setBusFile(path);
    ASSERT_EQ(list().size(), 1u);
    auto unit = bus.controllers()[0];
    HANDLE filter = openFilter(bus, list()[0].path);
    write("QELM serial=FILE0006 disabled\n");
    EXPECT_EQ(list().size(), 1u) << "an open handle, nobody watching it: the removal is refused";
    EXPECT_EQ(unit->removalVetoes(), 1u);
    bus.closeDevice(filter);
    write("QELM serial=FILE0006 disabled=yes\n");
    EXPECT_TRUE(list().empty());
    write("QELM serial=FILE0006\n");
    EXPECT_EQ(list().size(), 1u);
}

TEST_F(BusFile, RereadingKeepsFaultCountersAndOpenHandles) {
    write("QELM serial=FILE0003 fail-open=1\n");
    bus.setBusFile(path);
    std::vector<os::AudioInterfaceInfo> interfaces = list();
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(openFilter(bus, interfaces[0].path), INVALID_HANDLE_VALUE);
    HANDLE filter = openFilter(bus, interfaces[0].path);
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);

    // A touched but identical file neither resets the fault nor replugs.
    write("QELM serial=FILE0003 fail-open=1\n");
    list();
    HANDLE second = openFilter(bus, interfaces[0].path);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    KSPROPERTY count = propertyRequest(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES);
    ULONG pins = 0;
    EXPECT_TRUE(ioctl(bus, filter, &count, sizeof(count), &pins, 4).ok);

    // An edited fault line arms the fault again, still without a replug.
    write("QELM serial=FILE0003 fail-open=2\n");
    list();
    EXPECT_EQ(openFilter(bus, interfaces[0].path), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(ioctl(bus, filter, &count, sizeof(count), &pins, 4).ok);
    bus.closeDevice(second);
    bus.closeDevice(filter);
}

TEST_F(BusFile, FileUnitsLeaveUnitsPluggedByTestsAlone) {
    auto own = bus.plug(qelm("OWN00001", sim::QelmLayout::FourFour, 1));
    ASSERT_TRUE(own);
    write("QELM serial=FILE0004 port=1\nQELM serial=FILE0005\n");
    bus.setBusFile(path);
    std::vector<os::AudioInterfaceInfo> interfaces = list();
    // The file's unit on port 1 is refused (reported); its other unit gets port 2.
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].path, own->interfacePath());
    EXPECT_EQ(bus.busFileWarnings(), 1u);
    write("");
    EXPECT_EQ(list().size(), 1u);
    EXPECT_TRUE(own->isPlugged());
}

}  // namespace
