// The console host's parts: its parsing, sample handling and WAV files, and
// that it survives drivers whose answers make no sense.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "brands/brand_vexa.h"
#include "tools/asio_host_driver.h"
#include "tools/asio_host_options.h"
#include "tools/asio_host_samples.h"
#include "tools/asio_host_session.h"
#include "tools/asio_host_wav.h"

namespace {

TEST(AsioHostParsing, ClassIdentifiers) {
    GUID guid = {};
    ASSERT_TRUE(host::parseGuid("{B5834147-757e-45ec-9a70-4b8611658929}", &guid));
    EXPECT_TRUE(os::guidEquals(guid, VexaAsioBrandProfile::kClassId));
    ASSERT_TRUE(host::parseGuid("b5834147-757e-45ec-9a70-4b8611658929", &guid));
    EXPECT_TRUE(os::guidEquals(guid, VexaAsioBrandProfile::kClassId));
    for (const char* bad : {"", "{}", "{b5834147-757e-45ec-9a70-4b861165892}", "{b5834147-757e-45ec-9a70-4b861165892g}",
                            "{b5834147x757e-45ec-9a70-4b8611658929}", "b5834147-757e-45ec-9a70-4b8611658929}"})
        EXPECT_FALSE(host::parseGuid(bad, &guid)) << bad;
}

TEST(AsioHostParsing, ChannelListsAndOptions) {
    std::vector<int32_t> channels;
    ASSERT_TRUE(host::parseChannelList("0,2,4-6", &channels));
    EXPECT_EQ(channels, (std::vector<int32_t>{0, 2, 4, 5, 6}));
    ASSERT_TRUE(host::parseChannelList("none", &channels));
    EXPECT_TRUE(channels.empty());
    for (const char* bad : {"", "1,", "-1", "3-2", "a", "1-", "99999", "0x1"})
        EXPECT_FALSE(host::parseChannelList(bad, &channels)) << bad;

    VexaAsioBrand brand;
    auto parse = [&](std::vector<const char*> words, std::string* error) {
        words.insert(words.begin(), "asio_host");
        host::Options options;
        const bool ok = host::parseOptions(static_cast<int>(words.size()), const_cast<char**>(words.data()), brand,
                                           &options, error);
        return ok ? options : host::Options{};
    };
    std::string error;
    host::Options o = parse({"--driver", "x.so", "--seconds", "1.5", "--tone", "2-3", "--wav", "in.wav"}, &error);
    EXPECT_EQ(o.libraryPath, "x.so") << error;
    EXPECT_EQ(o.stream.seconds, 1.5);
    EXPECT_EQ(o.stream.toneOutputs, (std::vector<int32_t>{2, 3}));
    EXPECT_TRUE(os::guidEquals(o.classId, VexaAsioBrandProfile::kClassId));
    for (std::vector<const char*> bad :
         {std::vector<const char*>{}, {"--driver"}, {"--driver", "x", "--seconds", "nan"},
          {"--driver", "x", "--seconds", "0"}, {"--driver", "x", "--buffer-size", "12q"},
          {"--driver", "x", "--clsid", "{nope}"}, {"--driver", "x", "--bogus"}}) {
        error.clear();
        parse(bad, &error);
        EXPECT_FALSE(error.empty());
    }
}

TEST(AsioHostSamples, EveryTypeKeepsItsSignificantBits) {
    const ASIOSampleType types[] = {ASIOSTInt16LSB,   ASIOSTInt24LSB,   ASIOSTInt32LSB,   ASIOSTInt32LSB16,
                                    ASIOSTInt32LSB18, ASIOSTInt32LSB20, ASIOSTInt32LSB24, ASIOSTFloat32LSB,
                                    ASIOSTFloat64LSB};
    const int32_t values[] = {0, 1 << 16, -(1 << 16), INT32_MAX & ~0xFFFF, INT32_MIN, 0x12340000};
    for (ASIOSampleType type : types) {
        uint8_t buffer[8 * 6] = {};
        ASSERT_NE(host::sampleBytes(type), 0u);
        for (size_t i = 0; i < 6; ++i) host::writeSample(buffer, type, i, values[i]);
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(host::readSample(buffer, type, i), values[i]) << type << " " << i;
    }
    EXPECT_EQ(host::sampleBytes(ASIOSTInt16MSB), 0u);
    uint8_t bytes[2];
    host::writeSample(bytes, ASIOSTInt16LSB, 0, 0x12340000);
    EXPECT_EQ(bytes[0], 0x34);
    EXPECT_EQ(bytes[1], 0x12);
}

TEST(AsioHostWave, HeaderAndSamplesAsPcm) {
    const auto path = std::filesystem::temp_directory_path() / "ksasio-host-test.wav";
    const std::vector<int32_t> samples = {0x12345678, -0x10000000, 0x7FFFFFFF, 0};
    ASSERT_TRUE(host::writeWaveFile(path.string(), samples, 2, 44100, 24));
    std::vector<uint8_t> bytes;
    {
        std::ifstream file(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    ASSERT_EQ(bytes.size(), 44u + 4 * 3);
    EXPECT_EQ(std::memcmp(bytes.data(), "RIFF", 4), 0);
    EXPECT_EQ(bytes[22], 2);                                    // channels
    EXPECT_EQ(bytes[24] | bytes[25] << 8 | bytes[26] << 16, 44100);
    EXPECT_EQ(bytes[32], 6);                                    // block align
    EXPECT_EQ(bytes[34], 24);                                   // bits
    EXPECT_EQ(bytes[40], 12);                                   // data bytes
    EXPECT_EQ(bytes[44], 0x56);
    EXPECT_EQ(bytes[45], 0x34);
    EXPECT_EQ(bytes[46], 0x12);
    std::filesystem::remove(path);
    EXPECT_FALSE(host::writeWaveFile(path.string(), samples, 0, 44100, 16));
    EXPECT_FALSE(host::writeWaveFile(path.string(), samples, 2, 44100, 12));
    EXPECT_FALSE(host::writeWaveFile("/nonexistent-folder/x.wav", samples, 2, 44100, 16));
}

// A driver whose every answer is wrong in some way.
class BrokenDriver : public IASIO {
public:
    int32_t channels = 100000;
    int32_t preferred = 0;
    int32_t minimum = 64, maximum = 32;
    double rate = std::nan("");
    ASIOSampleType type = 12345;
    bool nullBuffers = false;
    bool forwardPosition = true;
    int64_t position = 0;

    HRESULT KSASIO_COM_CALL QueryInterface(const GUID&, void** object) override {
        *object = nullptr;
        return kComNoInterface;
    }
    ULONG KSASIO_COM_CALL AddRef() override { return 1; }
    ULONG KSASIO_COM_CALL Release() override { return 0; }
    ASIOBool init(void*) override { return ASIOTrue; }
    void getDriverName(char* name) override { std::memset(name, 'N', kAsioDriverNameSize); }  // no terminator
    int32_t getDriverVersion() override { return -5; }
    void getErrorMessage(char* text) override { std::memset(text, 'E', kAsioErrorMessageSize); }
    ASIOError start() override { return ASE_OK; }
    ASIOError stop() override { return ASE_OK; }
    ASIOError getChannels(int32_t* in, int32_t* out) override {
        *in = channels;
        *out = channels;
        return ASE_OK;
    }
    ASIOError getLatencies(int32_t* in, int32_t* out) override {
        *in = -1;
        *out = -1;
        return ASE_OK;
    }
    ASIOError getBufferSize(int32_t* minimum, int32_t* maximum, int32_t* pref, int32_t* granularity) override {
        *minimum = this->minimum;
        *maximum = this->maximum;
        *pref = preferred;
        *granularity = 7;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate) override { return ASE_OK; }
    ASIOError getSampleRate(ASIOSampleRate* r) override {
        *r = rate;
        return ASE_OK;
    }
    ASIOError setSampleRate(ASIOSampleRate) override { return ASE_OK; }
    ASIOError getClockSources(ASIOClockSource*, int32_t*) override { return ASE_NotPresent; }
    ASIOError setClockSource(int32_t) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(ASIOSamples* samples, ASIOTimeStamp*) override {
        *samples = asioFromUint64<ASIOSamples>(static_cast<uint64_t>(position));
        return ASE_OK;
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        info->type = type;
        std::memset(info->name, 'x', sizeof(info->name));  // no terminator
        return info->channel == 1 ? ASE_InvalidParameter : ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo* infos, int32_t count, int32_t size, ASIOCallbacks* c) override {
        storage.assign(static_cast<size_t>(count) * 2 * static_cast<size_t>(size) * 8, 0);
        for (int32_t i = 0; i < count; ++i)
            for (int h = 0; h < 2; ++h)
                infos[i].buffers[h] =
                    nullBuffers ? nullptr : storage.data() + (static_cast<size_t>(i) * 2 + h) * size * 8;
        callbacks = c;
        bufferSize = size;
        return ASE_OK;
    }
    ASIOError disposeBuffers() override { return ASE_OK; }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(int32_t, void*) override { return ASE_NotPresent; }
    ASIOError outputReady() override { return ASE_NotPresent; }

    // Drives the host's callbacks from the test's thread.
    void switchBuffers(int32_t half, int64_t newPosition) {
        position = newPosition;
        callbacks->bufferSwitch(half, ASIOFalse);
    }

    std::vector<uint8_t> storage;
    ASIOCallbacks* callbacks = nullptr;
    int32_t bufferSize = 0;
};

// Answers a host can stream with: two channels each way, 48 samples at 48 kHz.
void makeSane(BrokenDriver& driver) {
    driver.channels = 2;
    driver.preferred = 48;
    driver.minimum = 48;
    driver.maximum = 48;
    driver.rate = 48000;
    driver.type = ASIOSTInt16LSB;
}

TEST(AsioHostValidation, NonsenseAnswersAreReportedNotFollowed) {
    BrokenDriver driver;
    host::DriverDescription d;
    EXPECT_FALSE(host::describeDriver(&driver, &d));
    EXPECT_EQ(d.name, std::string(kAsioDriverNameSize, 'N'));
    EXPECT_EQ(d.inputs, 0) << "an absurd channel count must not be walked";
    EXPECT_GE(d.problems.size(), 4u);

    driver.channels = 2;
    driver.preferred = 48;
    driver.rate = 48000;
    host::DriverDescription again;
    host::describeDriver(&driver, &again);
    ASSERT_EQ(again.channels.size(), 4u);
    for (const host::ChannelDescription& c : again.channels) {
        EXPECT_FALSE(c.usable) << "unknown sample type";
        EXPECT_EQ(c.name.size(), 32u) << "unterminated name read past its field";
    }
    host::StreamOptions options;
    options.seconds = 0.05;
    host::StreamReport report = host::runStream(&driver, again, options);
    EXPECT_FALSE(report.streamed);
    EXPECT_FALSE(report.failure.empty());
}

TEST(AsioHostValidation, MissingBuffersAndBrokenPositionsMakeTheRunUnsound) {
    BrokenDriver driver;
    driver.channels = 2;
    driver.preferred = 48;
    driver.rate = 48000;
    driver.type = ASIOSTInt16LSB;
    host::DriverDescription d;
    host::describeDriver(&driver, &d);
    host::StreamOptions options;
    options.seconds = 0.02;
    driver.nullBuffers = true;
    host::StreamReport report = host::runStream(&driver, d, options);
    EXPECT_FALSE(report.streamed);
    EXPECT_NE(report.failure.find("buffer halves"), std::string::npos) << report.failure;

    // The switches come from this thread while the host waits: the driver
    // starts them from its start(), as a device's thread would.
    struct Switching : BrokenDriver {
        ASIOError start() override {
            switchBuffers(0, 0);
            switchBuffers(1, 48);
            switchBuffers(0, 144);  // one period missed
            switchBuffers(0, 150);  // same half again, position off the grid
            return ASE_OK;
        }
    } switching;
    makeSane(switching);
    host::DriverDescription sd;
    ASSERT_TRUE(host::describeDriver(&switching, &sd)) << sd.problems.size();
    report = host::runStream(&switching, sd, options);
    ASSERT_TRUE(report.streamed) << report.failure;
    EXPECT_EQ(report.switches, 4u);
    EXPECT_EQ(report.missedSwitches, 1u);
    EXPECT_EQ(report.positionJumps, 1u);
    EXPECT_EQ(report.repeatedHalves, 1u);
    EXPECT_FALSE(host::streamWasSound(report));
}

TEST(AsioHostResets, AResetRequestEndsTheStreamForTheDriverToBeCreatedAnew) {
    // Asks for a reset as soon as it starts, as a driver whose settings
    // changed does.
    struct Resetting : BrokenDriver {
        ASIOError start() override {
            callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
            return ASE_OK;
        }
    } driver;
    makeSane(driver);
    host::DriverDescription d;
    ASSERT_TRUE(host::describeDriver(&driver, &d));
    host::StreamOptions options;
    options.seconds = 30;
    options.stopOnReset = true;
    const host::StreamReport report = host::runStream(&driver, d, options);
    ASSERT_TRUE(report.streamed) << report.failure;
    EXPECT_TRUE(report.endedByReset);
    EXPECT_EQ(report.resetRequests, 1u);
    EXPECT_LT(report.secondsStreamed, 10.0);
    EXPECT_TRUE(host::streamWasSound(report)) << "no switch yet is no fault when a reset came first";

    options.seconds = 0.05;
    options.stopOnReset = false;
    const host::StreamReport counted = host::runStream(&driver, d, options);
    EXPECT_FALSE(counted.endedByReset);
    EXPECT_EQ(counted.resetRequests, 1u);
    EXPECT_FALSE(host::streamWasSound(counted)) << "a stream that ran its time without a switch is not sound";

    VexaAsioBrand brand;
    std::vector<const char*> words = {"asio_host", "--driver", "x", "--seconds-after-reset", "2.5", "--ignore-resets"};
    host::Options parsed;
    std::string error;
    ASSERT_TRUE(host::parseOptions(static_cast<int>(words.size()), const_cast<char**>(words.data()), brand, &parsed,
                                   &error))
        << error;
    EXPECT_EQ(parsed.secondsAfterReset, 2.5);
    EXPECT_TRUE(parsed.ignoreResets);
    words = {"asio_host", "--driver", "x", "--seconds-after-reset", "0"};
    EXPECT_FALSE(host::parseOptions(static_cast<int>(words.size()), const_cast<char**>(words.data()), brand, &parsed,
                                    &error));
}

}  // namespace
