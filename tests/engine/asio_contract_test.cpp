// The record layouts are pinned by static_asserts in the header itself;
// compiling this file checks them for the platform being built.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "engine/asio.h"
#include "engine/audio_device.h"

namespace {

TEST(AsioRecordsTest, SixtyFourBitCountsKeepTheHighHalfFirstInMemory) {
    ASIOSamples samples = asioFromUint64<ASIOSamples>(0x0123456789ABCDEFull);
    EXPECT_EQ(samples.hi, 0x01234567u);
    EXPECT_EQ(samples.lo, 0x89ABCDEFu);
    uint32_t words[2];
    std::memcpy(words, &samples, sizeof(words));
    EXPECT_EQ(words[0], 0x01234567u);
    EXPECT_EQ(asioToUint64(samples), 0x0123456789ABCDEFull);

    ASIOTimeStamp stamp = asioFromUint64<ASIOTimeStamp>(0xFFFFFFFFull + 1);
    EXPECT_EQ(stamp.hi, 1u);
    EXPECT_EQ(stamp.lo, 0u);
    EXPECT_EQ(asioToUint64(stamp), 0x100000000ull);
}

TEST(AsioChannelNumberingTest, OneTableForBothDirections) {
    EXPECT_EQ(asioChannelTableIndex(0, true), 0);
    EXPECT_EQ(asioChannelTableIndex(15, true), 15);
    EXPECT_EQ(asioChannelTableIndex(0, false), 16);
    EXPECT_EQ(asioChannelTableIndex(15, false), 31);
    EXPECT_EQ(kAsioChannelTableSize, 32);
    EXPECT_TRUE(isValidAsioChannel(15, false));
    EXPECT_FALSE(isValidAsioChannel(16, true));
    EXPECT_FALSE(isValidAsioChannel(-1, false));
}

TEST(AsioSampleTypeTest, FromTheBrandsBitDepth) {
    EXPECT_EQ(asioSampleTypeForBits(16), ASIOSTInt16LSB);
    EXPECT_EQ(asioSampleTypeForBits(24), ASIOSTInt24LSB);
    EXPECT_EQ(asioSampleTypeForBits(32), ASIOSTInt32LSB);
    EXPECT_EQ(asioSampleTypeForBits(8), kNoAsioSampleType);
    EXPECT_EQ(asioSampleTypeForBits(VexaAsioBrand().getBitsPerSample()), ASIOSTInt16LSB);
    EXPECT_EQ(asioSampleTypeForBits(OrloAsioBrand().getBitsPerSample()), ASIOSTInt24LSB);
}

// A device that answers only the rate query.
class RateDevice : public AudioDeviceIf {
public:
    RateDevice(ASIOError result, ASIOSampleRate rate) : result_(result), rate_(rate) {}
    ASIOCallbacks* getCallbacks() override { return nullptr; }
    ASIOError getChannels(int32_t*, int32_t*) override { return ASE_NotPresent; }
    ASIOError getChannelInfo(ASIOChannelInfo*) override { return ASE_NotPresent; }
    ASIOError canSampleRate(ASIOSampleRate) override { return ASE_NotPresent; }
    ASIOError getSampleRate(ASIOSampleRate* rate) override {
        *rate = rate_;
        return result_;
    }
    ASIOError setSampleRate(ASIOSampleRate) override { return ASE_NotPresent; }
    ASIOError createBuffers(ASIOBufferInfo*, int32_t, int32_t, ASIOCallbacks*) override { return ASE_NotPresent; }
    ASIOError disposeBuffers() override { return ASE_NotPresent; }
    ASIOError start() override { return ASE_NotPresent; }
    ASIOError stop() override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_NotPresent; }
    ASIOError getLatencies(int32_t, int32_t*, int32_t*) override { return ASE_NotPresent; }
    bool onCallbackThread() const override { return false; }

private:
    ASIOError result_;
    ASIOSampleRate rate_;
};

TEST(BufferSizeForStepTest, TheDevicesRateWhenItHasAUsableOne) {
    OrloAsioBrand orlo;
    EXPECT_EQ(bufferSizeForStep(orlo, 31, nullptr), 240u);  // the brand's 48000 Hz
    RateDevice at96k(ASE_OK, 96000.0);
    EXPECT_EQ(bufferSizeForStep(orlo, 31, &at96k), 480u);
    RateDevice failing(ASE_NotPresent, 96000.0);
    EXPECT_EQ(bufferSizeForStep(orlo, 31, &failing), 240u);
    RateDevice zero(ASE_OK, 0.0);
    EXPECT_EQ(bufferSizeForStep(orlo, 31, &zero), 240u);
    RateDevice notANumber(ASE_OK, std::nan(""));
    EXPECT_EQ(bufferSizeForStep(orlo, 31, &notANumber), 240u);

    VexaAsioBrand vexa;
    EXPECT_EQ(bufferSizeForStep(vexa, 18, nullptr), 883u);
}

}  // namespace
