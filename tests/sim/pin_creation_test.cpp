// Pin creation against the data ranges, instance counts, connection states
// and the open faults.
#include <gtest/gtest.h>

#include "sim_test_support.h"

using namespace simtest;

namespace {

class PinCreation : public OpenFilterTest {
protected:
    DWORD create(ConnectRequest& request, HANDLE* pin) {
        *pin = nullptr;
        const DWORD error = bus.ksCreatePin(filter, request.connect(), GENERIC_READ | GENERIC_WRITE, pin);
        if (error == 0) pins.push_back(*pin);
        return error;
    }
    DWORD tryFormat(ULONG pinId, uint16_t channels, uint16_t bits, uint32_t rate, bool extensible = false,
                    uint32_t mask = 0) {
        ConnectRequest request(pinId, channels, bits, rate, extensible, mask);
        HANDLE pin;
        const DWORD error = create(request, &pin);
        if (error == 0) close(pin);
        return error;
    }
    void close(HANDLE pin) {
        EXPECT_TRUE(bus.closeDevice(pin));
        pins.erase(std::remove(pins.begin(), pins.end(), pin), pins.end());
    }
    void TearDown() override {
        for (HANDLE pin : pins) bus.closeDevice(pin);
        OpenFilterTest::TearDown();
    }

    std::vector<HANDLE> pins;
};

TEST_F(PinCreation, QelmAcceptsExactlyItsLayout) {
    open(qelm("QELM10001"));
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), 0u);
    EXPECT_EQ(tryFormat(3, 4, 16, 44100), 0u);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100, true, 0x603), 0u);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100, true, 0x33), 0u);
    // Exact channel counts, the one width and rate; nothing on bridge pins.
    EXPECT_EQ(tryFormat(0, 2, 16, 44100), sim::kErrorNoMatch);
    EXPECT_EQ(tryFormat(0, 8, 16, 44100), sim::kErrorNoMatch);
    EXPECT_EQ(tryFormat(0, 4, 24, 44100), sim::kErrorNoMatch);
    EXPECT_EQ(tryFormat(0, 4, 16, 48000), sim::kErrorNoMatch);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100, true, 0x1F), sim::kErrorNoMatch);  // five speakers, four channels
    EXPECT_EQ(tryFormat(1, 4, 16, 44100), os::kErrorInvalidFunction);
    EXPECT_EQ(tryFormat(7, 4, 16, 44100), os::kErrorInvalidParameter);
}

TEST_F(PinCreation, MalformedRequestsAreRefused) {
    open(qelm("QELM10002", sim::QelmLayout::EightTwo));
    ConnectRequest badAlign(0, 8, 16, 44100);
    badAlign.wave()->nBlockAlign = 8;
    HANDLE pin;
    EXPECT_EQ(create(badAlign, &pin), os::kErrorInvalidParameter);

    ConnectRequest shortExtensible(0, 8, 16, 44100, true, 0x6F3);
    shortExtensible.wave()->cbSize = 10;
    EXPECT_EQ(create(shortExtensible, &pin), os::kErrorInvalidParameter);

    ConnectRequest looped(0, 8, 16, 44100);
    looped.connect()->Interface.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    EXPECT_EQ(create(looped, &pin), sim::kErrorNoMatch);

    ConnectRequest notAudio(0, 8, 16, 44100);
    notAudio.dataFormat()->MajorFormat = KSDATAFORMAT_TYPE_WILDCARD;
    EXPECT_EQ(create(notAudio, &pin), sim::kErrorNoMatch);

    ConnectRequest truncated(0, 8, 16, 44100);
    truncated.dataFormat()->FormatSize = 70;
    EXPECT_EQ(create(truncated, &pin), os::kErrorInvalidParameter);

    ConnectRequest good(0, 8, 16, 44100, true, 0x6F3);
    EXPECT_EQ(bus.ksCreatePin(nullptr, good.connect(), 0, &pin), os::kErrorInvalidHandle);
    EXPECT_EQ(bus.ksCreatePin(filter, nullptr, 0, &pin), os::kErrorInvalidParameter);
    EXPECT_EQ(create(good, &pin), 0u);
}

TEST_F(PinCreation, SecondBrandFormatTables) {
    sim::ControllerConfig dalto;
    dalto.model = sim::Model::Dalto;
    dalto.serial = sim::widen("DALTO1234567");
    open(dalto);
    EXPECT_EQ(tryFormat(0, 2, 24, 48000), 0u);
    EXPECT_EQ(tryFormat(0, 2, 24, 44100), 0u);
    EXPECT_EQ(tryFormat(0, 2, 16, 48000), 0u);
    EXPECT_EQ(tryFormat(0, 2, 16, 44100), 0u);
    EXPECT_EQ(tryFormat(0, 2, 32, 48000), sim::kErrorNoMatch);
    EXPECT_EQ(tryFormat(0, 2, 16, 96000), sim::kErrorNoMatch);

    sim::ControllerConfig tavio;
    tavio.model = sim::Model::Tavio;
    tavio.serial = sim::widen("TAVIO0001");
    open(tavio);
    EXPECT_EQ(tryFormat(0, 6, 24, 44100, true, 0x3F), 0u);
    EXPECT_EQ(tryFormat(0, 6, 16, 48000), 0u);
    EXPECT_EQ(tryFormat(0, 6, 16, 44100), 0u);
    EXPECT_EQ(tryFormat(0, 6, 24, 48000), sim::kErrorNoMatch);

    sim::ControllerConfig fenro;
    fenro.model = sim::Model::Fenro;
    fenro.serial = sim::widen("A1B2C3");
    open(fenro);
    EXPECT_EQ(tryFormat(0, 2, 16, 48000), 0u);
    EXPECT_EQ(tryFormat(0, 2, 16, 44100), sim::kErrorNoMatch);
}

TEST_F(PinCreation, WildcardRangesAdmitPcm) {
    sim::ControllerConfig config = qelm("QELM10003");
    config.faults.wildcardRanges = true;
    open(config);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), 0u);
    EXPECT_EQ(tryFormat(0, 4, 16, 48000), sim::kErrorNoMatch);
}

TEST_F(PinCreation, InstanceCountsAreEnforcedAndReported) {
    open(qelm("QELM10004"));
    ConnectRequest request(0, 4, 16, 44100);
    HANDLE first, second;
    ASSERT_EQ(create(request, &first), 0u);
    EXPECT_EQ(pinSimple<KSPIN_CINSTANCES>(bus, filter, 0, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 1u);
    EXPECT_EQ(create(request, &second), sim::kErrorBusy);
    // A second filter handle sees the same filter and the same limit.
    HANDLE other = openFilter(bus, controller->interfacePath());
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(bus.ksCreatePin(other, request.connect(), 0, &second), sim::kErrorBusy);
    close(first);
    EXPECT_EQ(pinSimple<KSPIN_CINSTANCES>(bus, filter, 0, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
    EXPECT_EQ(create(request, &second), 0u);
    EXPECT_EQ(controller->openPins(), 1u);
    bus.closeDevice(other);
}

// What the USB audio class driver asks of formats: the extensible form for
// wide or many-channel formats, a device's own speaker mask, and valid bits
// that the range publishes carried in the container the device uses.
TEST_F(PinCreation, UsbClassFormatRules) {
    sim::ControllerConfig config = qelm("QELM10007");
    config.faults.extensibleOnly = true;
    config.faults.channelMask = 0;
    config.renderRanges = {{3, 16, 44100, 44100}, {2, 24, 44100, 48000, 32}};
    open(config);
    EXPECT_EQ(tryFormat(0, 3, 16, 44100), sim::kErrorNoMatch) << "plain PCM for three channels";
    EXPECT_EQ(tryFormat(0, 3, 16, 44100, true, 0x7), sim::kErrorNoMatch) << "a mask the device does not use";
    EXPECT_EQ(tryFormat(0, 3, 16, 44100, true, 0), 0u);
    EXPECT_EQ(tryFormat(0, 2, 24, 48000, true, 0), sim::kErrorNoMatch) << "24 bits packed";
    EXPECT_EQ(tryFormat(0, 2, 32, 48000, true, 0), sim::kErrorNoMatch) << "32 valid bits";
    ConnectRequest padded(0, 2, 32, 48000, true, 0);
    reinterpret_cast<WAVEFORMATEXTENSIBLE*>(padded.wave())->Samples.wValidBitsPerSample = 24;
    HANDLE pin;
    ASSERT_EQ(create(padded, &pin), 0u);
    close(pin);
    // The range publishes the valid bits.
    std::vector<uint8_t> ranges = pinMulti(bus, filter, 0, KSPROPERTY_PIN_DATARANGES);
    KSDATARANGE_AUDIO second;
    std::memcpy(&second, ranges.data() + sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO), sizeof(second));
    EXPECT_EQ(second.MaximumBitsPerSample, 24u);
    // Plain PCM stays fine for what the class driver takes in that form.
    sim::ControllerConfig stereo = qelm("QELM10008");
    stereo.faults.extensibleOnly = true;
    stereo.renderRanges = {{2, 16, 44100, 44100}};
    open(stereo);
    EXPECT_EQ(tryFormat(0, 2, 16, 44100), 0u);
}

TEST_F(PinCreation, APinAnotherProgramHoldsIsBusy) {
    sim::ControllerConfig config = qelm("QELM10009");
    config.faults.inUse = true;
    open(config);
    KSPIN_CINSTANCES counts = pinSimple<KSPIN_CINSTANCES>(bus, filter, 3, KSPROPERTY_PIN_GLOBALCINSTANCES);
    EXPECT_EQ(counts.CurrentCount, counts.PossibleCount);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), sim::kErrorBadCommand);
    config.faults.inUse = false;
    controller->setFaults(config.faults);
    EXPECT_EQ(pinSimple<KSPIN_CINSTANCES>(bus, filter, 3, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), 0u);
}

TEST_F(PinCreation, ConnectionStateMovesOneStepAtATime) {
    open(qelm("QELM10005"));
    ConnectRequest request(3, 4, 16, 44100);
    HANDLE pin;
    ASSERT_EQ(create(request, &pin), 0u);
    KSPROPERTY get = propertyRequest(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE);
    ULONG state = 99;
    ASSERT_TRUE(ioctl(bus, pin, &get, sizeof(get), &state, 4).ok);
    EXPECT_EQ(state, static_cast<ULONG>(KSSTATE_STOP));

    EXPECT_EQ(setState(bus, pin, KSSTATE_RUN).error, os::kErrorInvalidParameter);
    ASSERT_TRUE(runPin(bus, pin));
    EXPECT_EQ(controller->pinState(true), KSSTATE_RUN);

    sim::Faults faults;
    faults.failStateChange = 1;
    controller->setFaults(faults);
    EXPECT_EQ(setState(bus, pin, KSSTATE_PAUSE).error, os::kErrorGenFailure);
    EXPECT_EQ(controller->pinState(true), KSSTATE_RUN);
    EXPECT_TRUE(setState(bus, pin, KSSTATE_PAUSE).ok);
    EXPECT_TRUE(setState(bus, pin, KSSTATE_ACQUIRE).ok);
    EXPECT_TRUE(setState(bus, pin, KSSTATE_STOP).ok);

    KSPROPERTY formatRequest = propertyRequest(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT);
    uint8_t format[128] = {};
    Result r = ioctl(bus, pin, &formatRequest, sizeof(formatRequest), format, sizeof(format));
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, 82u);
    EXPECT_EQ(std::memcmp(format, request.dataFormat(), 82), 0);
}

TEST_F(PinCreation, InjectedOpenAndCreateFailures) {
    sim::ControllerConfig config = qelm("QELM10006");
    config.faults.failOpen = 1;
    config.faults.failPinCreate = 2;
    controller = bus.plug(config);
    ASSERT_TRUE(controller);
    os::setLastError(0);
    EXPECT_EQ(openFilter(bus, controller->interfacePath()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::lastError(), os::kErrorGenFailure);
    filter = openFilter(bus, controller->interfacePath());
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);

    EXPECT_EQ(tryFormat(0, 4, 16, 44100), os::kErrorGenFailure);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), os::kErrorGenFailure);
    EXPECT_EQ(tryFormat(0, 4, 16, 44100), 0u);

    EXPECT_EQ(openFilter(bus, "\\\\?\\usb#vid_04d8&pid_0c5e&mi_00#nothing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::lastError(), os::kErrorFileNotFound);
    EXPECT_FALSE(bus.closeDevice(reinterpret_cast<HANDLE>(0x77)));
    EXPECT_EQ(os::lastError(), os::kErrorInvalidHandle);
}

}  // namespace
