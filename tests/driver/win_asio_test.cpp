// The driver object's state machine, error texts, buffer-size rules, rate
// checks and reset requests, over a scripted device.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>
#include <limits>
#include <memory>

#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "driver/win_asio.h"
#include "platform/os.h"
#include "tests/driver/fake_device.h"

namespace {

std::atomic<int> resetRequests{0};
std::atomic<int> otherMessages{0};

int32_t countingAsioMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest)
        ++resetRequests;
    else
        ++otherMessages;
    return 1;
}
void ignoreBufferSwitch(int32_t, ASIOBool) {}
void ignoreRateChange(ASIOSampleRate) {}

ASIOCallbacks countingCallbacks = {ignoreBufferSwitch, ignoreRateChange, countingAsioMessage, nullptr};

// The driver object exposes its error text only through getErrorMessage;
// this one lets a test put in a text longer than hosts have room for.
class WinAsioWithLongText : public WinAsio {
public:
    using WinAsio::WinAsio;
    // 127 characters: the most the driver keeps.
    void setLongErrorText() { setErrorText(std::string(kErrorTextSize - 1, 'x').c_str()); }
};

// The configuration-changed event has one name on the machine: natively its
// signal lives in the folder XDG_RUNTIME_DIR names, so a folder of this
// program's own keeps drivers of other programs (another test run, a soak)
// from taking the signals meant for these tests.
class PrivateEventFolder : public ::testing::Environment {
public:
    void SetUp() override {
#if !defined(_WIN32)
        folder_ = std::filesystem::temp_directory_path() /
                  ("ksasio-driver-object-" + std::to_string(os::currentProcessId()));
        std::filesystem::create_directories(folder_);
        os::setEnvironmentVariable("XDG_RUNTIME_DIR", folder_.string().c_str());
#endif
    }
    void TearDown() override {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }

private:
    std::filesystem::path folder_;
};
::testing::Environment* const privateEventFolder = ::testing::AddGlobalTestEnvironment(new PrivateEventFolder);

class WinAsioTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetRequests = 0;
        otherMessages = 0;
    }
    void TearDown() override {
        for (WinAsio* driver : drivers_) driver->Release();
        EXPECT_EQ(script_->devicesAlive, 0);
    }

    WinAsio* makeDriver(std::shared_ptr<FakeDeviceScript> script = nullptr) {
        HRESULT result = kComOk;
        auto* driver = new WinAsio(nullptr, &result, new FakeBackend(script ? script : script_), store_);
        EXPECT_EQ(result, kComOk);
        driver->AddRef();
        drivers_.push_back(driver);
        return driver;
    }
    WinAsio* initializedDriver() {
        WinAsio* driver = makeDriver();
        EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        return driver;
    }
    ASIOError createBuffers(WinAsio* driver, int32_t size) {
        buffers_[0] = {ASIOTrue, 0, {nullptr, nullptr}};
        buffers_[1] = {ASIOFalse, 0, {nullptr, nullptr}};
        return driver->createBuffers(buffers_, 2, size, &countingCallbacks);
    }
    std::string errorMessage(WinAsio* driver) {
        char text[kAsioErrorMessageSize] = {};
        driver->getErrorMessage(text);
        return text;
    }
    void release(WinAsio* driver) {
        driver->Release();
        drivers_.erase(std::find(drivers_.begin(), drivers_.end(), driver));
    }
    static bool waitFor(const std::atomic<int>& counter, int value) {
        // Bounded so a broken watch fails instead of hanging; a slow machine
        // only waits longer.
        for (int i = 0; i < 2000 && counter.load() < value; ++i) os::sleepMs(5);
        return counter.load() >= value;
    }
    void signalConfigurationChanged() {
        os::Handle event = os::openEvent("VEXAASIOConfigurationChanged");
        ASSERT_NE(event, nullptr);
        os::setEvent(event);
        os::closeHandle(event);
    }

    VexaAsioBrand brand_;
    MemorySettingsStore store_;
    std::shared_ptr<FakeDeviceScript> script_ = std::make_shared<FakeDeviceScript>();
    std::vector<WinAsio*> drivers_;
    ASIOBufferInfo buffers_[2] = {};
};

TEST_F(WinAsioTest, WalksTheStatesAndForwardsToTheDevice) {
    WinAsio* driver = makeDriver();
    EXPECT_EQ(driver->getState(), WinAsio::kLoaded);
    EXPECT_EQ(driver->getDriverVersion(), 2);
    EXPECT_EQ(createBuffers(driver, 265), ASE_InvalidMode);
    EXPECT_EQ(errorMessage(driver), "Invalid mode");

    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->getState(), WinAsio::kInitialized);
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(script_->count("createAudioDevice"), 1u);
    EXPECT_EQ(driver->start(), ASE_InvalidMode);

    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    EXPECT_EQ(driver->getState(), WinAsio::kPrepared);
    EXPECT_EQ(createBuffers(driver, 265), ASE_OK);
    EXPECT_EQ(script_->count("createBuffers"), 1u);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(script_->count("stop"), 0u);

    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->getState(), WinAsio::kRunning);
    EXPECT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(script_->count("start"), 1u);
    EXPECT_EQ(driver->getDriverVersion(), 2);

    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->getState(), WinAsio::kPrepared);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->getState(), WinAsio::kInitialized);
    EXPECT_EQ(script_->count("disposeBuffers"), 1u);
    // Hosts create, dispose and create again on one instance.
    EXPECT_EQ(createBuffers(driver, 265), ASE_OK);
    EXPECT_EQ(script_->count("createBuffers"), 2u);
}

TEST_F(WinAsioTest, DeviceFailuresPassThroughAndKeepTheState) {
    WinAsio* driver = initializedDriver();
    script_->createBuffersResult = ASE_NoMemory;
    EXPECT_EQ(createBuffers(driver, 265), ASE_NoMemory);
    EXPECT_EQ(driver->getState(), WinAsio::kInitialized);
    EXPECT_EQ(errorMessage(driver), "");
    script_->createBuffersResult = ASE_OK;
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    script_->startResult = ASE_HWMalfunction;
    EXPECT_EQ(driver->start(), ASE_HWMalfunction);
    EXPECT_EQ(driver->getState(), WinAsio::kPrepared);
}

TEST_F(WinAsioTest, InitWithoutADeviceFailsAndCanBeRetried) {
    script_->failCreation = true;
    WinAsio* driver = makeDriver();
    EXPECT_EQ(driver->init(nullptr), ASIOFalse);
    EXPECT_EQ(errorMessage(driver), "Failed to instantiate device");
    EXPECT_EQ(driver->getState(), WinAsio::kLoaded);
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
    EXPECT_EQ(errorMessage(driver), "Device not initialized");
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_NotPresent);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NotPresent);
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    ASIOChannelInfo info = {};
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_NotPresent);
    EXPECT_EQ(driver->outputReady(), ASE_NotPresent);

    script_->failCreation = false;
    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    EXPECT_EQ(inputs, 16);
    EXPECT_EQ(outputs, 16);
}

TEST_F(WinAsioTest, ConstructionFailureIsReportedAsOutOfMemory) {
    script_->failInitialize = true;
    HRESULT result = kComOk;
    auto* driver = new WinAsio(nullptr, &result, new FakeBackend(script_), store_);
    EXPECT_EQ(result, kComOutOfMemory);
    EXPECT_EQ(driver->getState(), WinAsio::kConstructed);
    delete driver;
    result = kComOk;
    driver = new WinAsio(nullptr, &result, nullptr, store_);
    EXPECT_EQ(result, kComOutOfMemory);
    delete driver;
}

TEST_F(WinAsioTest, ErrorTextsAndFixedAnswers) {
    WinAsio* driver = initializedDriver();
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_NotPresent);
    EXPECT_EQ(errorMessage(driver), "Invalid index");
    EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
    EXPECT_EQ(driver->future(kAsioCanTimeCode, nullptr), ASE_SUCCESS);
    EXPECT_EQ(driver->future(kAsioEnableTimeCodeRead, nullptr), ASE_NotPresent);
    EXPECT_EQ(errorMessage(driver), "Not supported");

    ASIOClockSource clocks[2];
    std::memset(clocks, 0x55, sizeof(clocks));
    int32_t count = 2;
    ASSERT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "Internal");
    EXPECT_EQ(reinterpret_cast<unsigned char*>(&clocks[1])[0], 0x55) << "wrote past the one source";

    char name[kAsioDriverNameSize];
    driver->getDriverName(name);
    EXPECT_STREQ(name, "VEXA ASIO");

    ASIOChannelInfo info = {};
    info.channel = 15;
    info.isInput = ASIOFalse;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "Out 16");
    info.channel = 0;
    info.isInput = ASIOTrue;
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    EXPECT_STREQ(info.name, "In 1");
    info.channel = 16;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);
}

TEST_F(WinAsioTest, NullHostPointersAreRefusedNotFollowed) {
    WinAsio* driver = initializedDriver();
    int32_t value = 0;
    EXPECT_EQ(driver->getChannels(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getLatencies(&value, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getBufferSize(&value, &value, nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(nullptr, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getChannelInfo(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getClockSources(nullptr, &value), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(nullptr, 2, 265, &countingCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(buffers_, 2, 265, nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->createBuffers(buffers_, 0, 265, &countingCallbacks), ASE_InvalidParameter);
    EXPECT_EQ(script_->count("createBuffers"), 0u);
    driver->getDriverName(nullptr);
    driver->getErrorMessage(nullptr);
}

// A controller that cannot stream (another program holds it) is what a host
// showing the driver's error text should read; the driver's own text of
// its last failure comes back once no controller is kept out.
TEST_F(WinAsioTest, ErrorMessageSaysWhatKeepsAControllerOut) {
    WinAsio* driver = initializedDriver();
    EXPECT_EQ(driver->setClockSource(3), ASE_NotPresent);
    EXPECT_EQ(errorMessage(driver), "Invalid index");
    script_->unitProblem = "QELM AB12-CD34: playback is in use by another program";
    EXPECT_EQ(errorMessage(driver), script_->unitProblem);
    script_->unitProblem = std::string(300, 'p');
    EXPECT_EQ(errorMessage(driver).size(), kAsioErrorMessageSize - 1);
    script_->unitProblem.clear();
    EXPECT_EQ(errorMessage(driver), "Invalid index");
}

TEST_F(WinAsioTest, ErrorMessageStaysWithinTheHostsBuffer) {
    HRESULT result = kComOk;
    auto* driver = new WinAsioWithLongText(nullptr, &result, new FakeBackend(script_), store_);
    driver->AddRef();
    drivers_.push_back(driver);
    driver->setLongErrorText();
    char text[kAsioErrorMessageSize + 8];
    std::memset(text, 0x55, sizeof(text));
    driver->getErrorMessage(text);
    EXPECT_EQ(std::strlen(text), kAsioErrorMessageSize - 1);
    for (size_t i = kAsioErrorMessageSize; i < sizeof(text); ++i) EXPECT_EQ(text[i], 0x55) << "byte " << i;
}

TEST_F(WinAsioTest, RatesThatAreNotPositiveNumbersOrNotOfferedNeverReachTheDevice) {
    WinAsio* driver = initializedDriver();
    const double refused[] = {0.0, -44100.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                              48000.0, 44099.99, 4000.0, 192000.0};
    for (double rate : refused) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
    }
    EXPECT_EQ(script_->count("canSampleRate"), 0u);
    EXPECT_EQ(script_->count("setSampleRate"), 0u);
    ASIOSampleRate rate = 0;
    ASSERT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 44100.0) << "a refused rate was reported as set";

    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_OK);
    EXPECT_EQ(script_->count("setSampleRate"), 1u);
    // The device's own refusal counts for setSampleRate too.
    script_->canSampleRateResult = ASE_NoClock;
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->setSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(script_->count("setSampleRate"), 1u);
}

TEST_F(WinAsioTest, BufferSizesFollowTheStoredStepAndTheAllowedRange) {
    WinAsio* driver = makeDriver();
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = -1;
    // Before init the default rate stands in for the device's.
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(minimum, 265);
    EXPECT_EQ(maximum, 265);
    EXPECT_EQ(preferred, 265);
    EXPECT_EQ(granularity, 0);
    int32_t input = 0, output = 0;
    ASSERT_EQ(driver->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, 265);
    EXPECT_EQ(output, 265);

    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    EXPECT_EQ(createBuffers(driver, 88), ASE_InvalidParameter);
    EXPECT_EQ(createBuffers(driver, 1765), ASE_InvalidParameter);
    EXPECT_EQ(createBuffers(driver, -1), ASE_InvalidParameter);
    EXPECT_EQ(errorMessage(driver), "") << "a refused size sets no text";
    EXPECT_EQ(script_->count("createBuffers"), 0u);

    // Any size in range, not only the step sizes; latencies follow it, and
    // the device adds what it holds beyond the buffer.
    script_->inputExtra = 7;
    script_->outputExtra = 11;
    ASSERT_EQ(createBuffers(driver, 100), ASE_OK);
    ASSERT_EQ(driver->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, 107);
    EXPECT_EQ(output, 111);
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 265);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    ASSERT_EQ(driver->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, 272);
    EXPECT_EQ(output, 276);
    EXPECT_EQ(createBuffers(driver, 89), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(createBuffers(driver, 1764), ASE_OK);
}

TEST_F(WinAsioTest, StoredStepSetsTheBufferSize) {
    os::RegKey key = nullptr;
    ASSERT_EQ(store_.createKey(store_.rootKey(), "Software\\VEXA\\VEXAASIO", &key), 0u);
    const uint32_t step = 8;
    ASSERT_EQ(store_.setValue(key, "Buffer Size", os::kRegDword, &step, sizeof(step)), 0u);
    store_.closeKey(key);
    WinAsio* driver = initializedDriver();
    int32_t minimum = 0, maximum = 0, preferred = 0, granularity = 0;
    ASSERT_EQ(driver->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
    EXPECT_EQ(preferred, 441);
}

TEST_F(WinAsioTest, ConfigurationChangesBecomeOneResetRequestWhileBuffersExist) {
    WinAsio* driver = initializedDriver();
    // Signals given while nothing watches stay pending as one.
    signalConfigurationChanged();
    signalConfigurationChanged();
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    ASSERT_TRUE(waitFor(resetRequests, 1));

    signalConfigurationChanged();
    ASSERT_TRUE(waitFor(resetRequests, 2));
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);

    // After the watch ends a signal is kept for the next one, not delivered.
    signalConfigurationChanged();
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    ASSERT_TRUE(waitFor(resetRequests, 3));
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    // The last request has been delivered and the watch removed: a request
    // that would still arrive could only come from a watch left behind.
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(resetRequests.load(), 3);
    EXPECT_EQ(otherMessages.load(), 0);
}

// A change signalled just as the watch ends may meet the watch still
// attached on the worker thread; it must stay pending for the next one.
TEST_F(WinAsioTest, ChangeSignalledAsTheWatchEndsIsReportedByTheNextWatch) {
    WinAsio* driver = initializedDriver();
    for (int round = 1; round <= 40; ++round) {
        ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
        signalConfigurationChanged();
        ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
        ASSERT_TRUE(waitFor(resetRequests, round)) << "round " << round;
        ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    }
    EXPECT_EQ(resetRequests.load(), 40);
}

TEST_F(WinAsioTest, OnlyOneDriverObjectHoldsTheDevice) {
    WinAsio* first = initializedDriver();
    WinAsio* second = makeDriver();
    EXPECT_EQ(second->init(nullptr), ASIOFalse);
    EXPECT_NE(errorMessage(second).find("in use"), std::string::npos) << errorMessage(second);
    EXPECT_EQ(script_->devicesAlive, 1);
    // The first keeps streaming undisturbed.
    ASSERT_EQ(createBuffers(first, 265), ASE_OK);
    ASSERT_EQ(first->start(), ASE_OK);
    release(first);
    EXPECT_EQ(script_->devicesAlive, 0);
    EXPECT_EQ(second->init(nullptr), ASIOTrue);
    EXPECT_EQ(script_->devicesAlive, 1);
}

TEST_F(WinAsioTest, DisposeWithoutStopStopsFirstSoTheNextCreateFillsTheHostsBuffers) {
    WinAsio* driver = initializedDriver();
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(driver->getState(), WinAsio::kInitialized);
    std::vector<std::string> calls = script_->snapshot();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 2, calls.end()),
              (std::vector<std::string>{"stop", "disposeBuffers"}));
    // The host's second request is served, not answered with buffers of
    // the first that it was told are gone.
    EXPECT_EQ(createBuffers(driver, 265), ASE_OK);
    EXPECT_EQ(script_->count("createBuffers"), 2u);
    EXPECT_EQ(driver->getState(), WinAsio::kPrepared);
}

TEST_F(WinAsioTest, ReleaseWhileRunningStopsDisposesAndReleasesInOrder) {
    WinAsio* driver = initializedDriver();
    ASSERT_EQ(createBuffers(driver, 265), ASE_OK);
    ASSERT_EQ(driver->start(), ASE_OK);
    release(driver);
    std::vector<std::string> calls = script_->snapshot();
    std::vector<std::string> tail(calls.end() - 4, calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"stop", "disposeBuffers", "releaseAudioDevice", "destroyed"}));
}

// Counts what an aggregated driver object forwards to it.
class CountingOuter : public IUnknown {
public:
    HRESULT KSASIO_COM_CALL QueryInterface(const GUID&, void** object) override {
        ++queries;
        *object = nullptr;
        return kComNoInterface;
    }
    ULONG KSASIO_COM_CALL AddRef() override { return static_cast<ULONG>(++references); }
    ULONG KSASIO_COM_CALL Release() override { return static_cast<ULONG>(--references); }
    int queries = 0;
    int references = 0;
};

TEST_F(WinAsioTest, AggregatedObjectCountsOnItsOuterObject) {
    CountingOuter outer;
    HRESULT result = kComOk;
    auto* driver = new WinAsio(&outer, &result, new FakeBackend(script_), store_);
    ASSERT_EQ(result, kComOk);
    EXPECT_EQ(driver->NonDelegatingAddRef(), 1u) << "a fresh object's first reference";
    EXPECT_EQ(driver->AddRef(), 1u);
    EXPECT_EQ(outer.references, 1);
    void* object = nullptr;
    EXPECT_EQ(driver->QueryInterface(kIidIUnknown, &object), kComNoInterface);
    EXPECT_EQ(outer.queries, 1);
    driver->Release();
    EXPECT_EQ(outer.references, 0);
    EXPECT_EQ(driver->NonDelegatingRelease(), 0u);
}

TEST_F(WinAsioTest, QueriesAnswerTheClassIdentifierAndIUnknownOnOneObject) {
    WinAsio* driver = makeDriver();
    GUID classId;
    brand_.getClassId(&classId);
    void* asio = nullptr;
    void* unknown = nullptr;
    ASSERT_EQ(driver->QueryInterface(classId, &asio), kComOk);
    ASSERT_EQ(driver->QueryInterface(kIidIUnknown, &unknown), kComOk);
    EXPECT_EQ(asio, static_cast<IASIO*>(driver));
    EXPECT_NE(asio, unknown);
    void* none = &none;
    EXPECT_EQ(driver->QueryInterface(kIidIClassFactory, &none), kComNoInterface);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(driver->QueryInterface(classId, nullptr), kComPointer);
    static_cast<IASIO*>(asio)->Release();
    static_cast<IUnknown*>(unknown)->Release();
}

}  // namespace
