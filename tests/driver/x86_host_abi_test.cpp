// The 32-bit driver as a 32-bit host built with another compiler meets it:
// every call goes through the C host's own vtable declaration and its
// thiscall/stdcall thunk (tests/driver/c_host.c), never through the C++
// declaration the driver is built from. A slot out of place, a method with
// the wrong convention or a record laid out differently shows up as a
// wrong answer, an unbalanced stack or a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "brands/brand_build.h"
#include "engine/asio.h"
#include "platform/library.h"
#include "platform/os.h"
#include "tests/driver/c_host.h"

namespace {

// The driver's own records agree with what the C host declares.
static_assert(sizeof(ASIOBufferInfo) == sizeof(CHostBufferInfo), "ASIOBufferInfo");
static_assert(sizeof(ASIOChannelInfo) == sizeof(CHostChannelInfo), "ASIOChannelInfo");
static_assert(sizeof(ASIOClockSource) == sizeof(CHostClockSource), "ASIOClockSource");
static_assert(sizeof(ASIOTime) == sizeof(CHostTime), "ASIOTime");
static_assert(offsetof(ASIOTime, timeInfo) + offsetof(AsioTimeInfo, sampleRate) ==
                  offsetof(CHostTime, timeInfo) + offsetof(CHostTimeInfo, sampleRate),
              "ASIOTime sample rate");
static_assert(sizeof(ASIOCallbacks) == sizeof(CHostCallbacks), "ASIOCallbacks");

constexpr int32_t kOk = 0;
constexpr int32_t kSuccess = 0x3F4847A0;
constexpr int32_t kNotPresent = -1000;
constexpr int32_t kNoClock = -995;
// {00000000-0000-0000-C000-000000000046}, as stored in memory.
constexpr unsigned char kIidUnknown[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

std::string driverPath() {
    std::string path = KSASIO_DRIVER_LIBRARY;
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    return path;
}

class X86HostAbiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = std::filesystem::temp_directory_path() / ("ksasio-x86-abi-" + std::to_string(os::currentProcessId()));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "bus.txt") << "QELM serial=X86ABI01 port=3 layout=4+4\n";
        os::setEnvironmentVariable("KSASIO_SIM_BUS", (folder_ / "bus.txt").string().c_str());
        library_ = os::loadLibrary(driverPath().c_str());
        ASSERT_NE(library_, nullptr) << driverPath() << ": " << os::libraryErrorText();
        brand_ = createBuildBrand();
    }
    static void TearDownTestSuite() {
        delete brand_;
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void SetUp() override {
        ASSERT_NE(library_, nullptr);
        GUID classId;
        brand_->getClassId(&classId);
        ASSERT_EQ(chost_create(os::getProcAddress(library_, "DllGetClassObject"), &classId, &driver_), kOk);
        ASSERT_NE(driver_, nullptr);
    }
    void TearDown() override {
        if (driver_ != nullptr) {
            EXPECT_EQ(chost_release(driver_), 0u);
        }
        EXPECT_EQ(chost_unbalanced_calls(), 0u) << "a callee did not take exactly its own arguments off the stack";
    }

    std::string errorText() {
        char text[124] = {};
        chost_get_error_message(driver_, text);
        return std::string(text, strnlen(text, sizeof(text)));
    }

    // Creates two inputs and two outputs, streams until both callbacks have
    // run a few times, stops and disposes.
    CHostStreamWatch stream(bool timeInfo) {
        int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
        EXPECT_EQ(chost_get_buffer_size(driver_, &minSize, &maxSize, &preferred, &granularity), kOk);
        CHostBufferInfo infos[4] = {{1, 0, {nullptr, nullptr}}, {1, 1, {nullptr, nullptr}},
                                    {0, 0, {nullptr, nullptr}}, {0, 1, {nullptr, nullptr}}};
        CHostCallbacks callbacks;
        chost_prepare_stream(driver_, &callbacks, infos, 4, preferred, brand_->getDefaultSampleRate(), timeInfo);
        EXPECT_EQ(chost_create_buffers(driver_, infos, 4, preferred, &callbacks), kOk);
        for (const CHostBufferInfo& info : infos) {
            EXPECT_NE(info.buffers[0], nullptr);
            EXPECT_NE(info.buffers[1], nullptr);
            EXPECT_NE(info.buffers[0], info.buffers[1]);
        }
        EXPECT_EQ(chost_start(driver_), kOk);
        for (int i = 0; i < 2000; ++i) {
            const CHostStreamWatch watch = chost_stream_watch();
            if (watch.switches + watch.timeInfoSwitches >= 6) break;
            os::sleepMs(5);
        }
        CHostSamples position = {0, 0}, timeStamp = {0, 0};
        EXPECT_EQ(chost_get_sample_position(driver_, &position, &timeStamp), kOk);
        EXPECT_GT(position.lo, 0u);
        EXPECT_EQ(chost_stop(driver_), kOk);
        EXPECT_EQ(chost_dispose_buffers(driver_), kOk);
        return chost_stream_watch();
    }

    static inline std::filesystem::path folder_;
    static inline os::Library library_ = nullptr;
    static inline AsioBrandIf* brand_ = nullptr;
    CHostDriver* driver_ = nullptr;
};

TEST_F(X86HostAbiTest, IUnknownIsStdcallWithTheObjectOnTheStack) {
    void* unknown = nullptr;
    ASSERT_EQ(chost_query_interface(driver_, kIidUnknown, &unknown), kOk);
    ASSERT_NE(unknown, nullptr);
    EXPECT_NE(unknown, static_cast<void*>(driver_)) << "IUnknown and IASIO are two interfaces of one object";
    EXPECT_EQ(chost_add_ref(driver_), 3u);
    EXPECT_EQ(chost_release(driver_), 2u);
    EXPECT_EQ(chost_release_other(unknown), 1u);
}

TEST_F(X86HostAbiTest, QueriesAnswerThroughThiscallSlots) {
    EXPECT_EQ(chost_init(driver_, nullptr), 1);
    char name[32] = {};
    chost_get_driver_name(driver_, name);
    EXPECT_STREQ(name, brand_->getAsioDriverName());
    EXPECT_EQ(chost_get_driver_version(driver_), 2);

    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(chost_get_channels(driver_, &inputs, &outputs), kOk);
    EXPECT_EQ(inputs, 16);
    EXPECT_EQ(outputs, 16);
    int32_t minSize = 0, maxSize = 0, preferred = 0, granularity = -1;
    EXPECT_EQ(chost_get_buffer_size(driver_, &minSize, &maxSize, &preferred, &granularity), kOk);
    EXPECT_GT(preferred, 0);
    EXPECT_EQ(minSize, preferred);
    EXPECT_EQ(maxSize, preferred);
    EXPECT_EQ(granularity, 0);
    int32_t inputLatency = 0, outputLatency = 0;
    EXPECT_EQ(chost_get_latencies(driver_, &inputLatency, &outputLatency), kOk);
    // Two periods in, three out, at the brand's own rate (no conversion):
    // each value lands in its own slot.
    EXPECT_EQ(inputLatency, 2 * preferred);
    EXPECT_EQ(outputLatency, 3 * preferred);

    // Doubles travel as two stack words: a word out of place is a wrong rate.
    const double rate = brand_->getDefaultSampleRate();
    EXPECT_EQ(chost_can_sample_rate(driver_, rate), kOk);
    EXPECT_EQ(chost_can_sample_rate(driver_, brand_->getMaxSampleRate() * 2), kNoClock);
    EXPECT_EQ(chost_set_sample_rate(driver_, rate), kOk);
    double current = 0;
    EXPECT_EQ(chost_get_sample_rate(driver_, &current), kOk);
    EXPECT_EQ(current, rate);

    CHostClockSource clocks[2] = {};
    int32_t count = 2;
    EXPECT_EQ(chost_get_clock_sources(driver_, clocks, &count), kOk);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, 1);
    EXPECT_STREQ(clocks[0].name, "Internal");

    CHostChannelInfo info = {};
    info.channel = 1;
    info.isInput = 0;
    EXPECT_EQ(chost_get_channel_info(driver_, &info), kOk);
    char expectedName[32] = {};
    brand_->formatChannelName(expectedName, sizeof(expectedName), 1, false);
    EXPECT_STREQ(info.name, expectedName);
    EXPECT_EQ(info.type, brand_->getBitsPerSample() == 16 ? 16 : 17) << "ASIOSTInt16LSB or ASIOSTInt24LSB";

    EXPECT_EQ(chost_future(driver_, 10, nullptr), kSuccess);
    EXPECT_EQ(chost_set_clock_source(driver_, 1), kNotPresent);
    EXPECT_EQ(errorText(), "Invalid index");
    EXPECT_EQ(chost_output_ready(driver_), kNotPresent);
}

TEST_F(X86HostAbiTest, StreamsIntoTheHostsRecordsWithAndWithoutTimeInfo) {
    ASSERT_EQ(chost_init(driver_, nullptr), 1);
    const CHostStreamWatch timed = stream(true);
    EXPECT_GE(timed.timeInfoSwitches, 6);
    EXPECT_EQ(timed.switches, 0) << "a host that takes time info gets bufferSwitchTimeInfo only";
    EXPECT_EQ(timed.badTimeRecords, 0) << "the time record's flags or rate are not where the host reads them";
    EXPECT_EQ(timed.repeatedHalves, 0);
    EXPECT_EQ(timed.missingBuffers, 0);
    EXPECT_EQ(timed.outputReadyAnswer, kNotPresent);

    const CHostStreamWatch plain = stream(false);
    EXPECT_GE(plain.switches, 6);
    EXPECT_EQ(plain.timeInfoSwitches, 0);
    EXPECT_EQ(plain.repeatedHalves, 0);
    EXPECT_EQ(plain.missingBuffers, 0);
}

}  // namespace
