// The driver library unloaded and loaded again, as COM's unloading of
// unused libraries does it: once DllCanUnloadNow says yes the library is
// freed, with no pause, and the next copy is loaded at once. Nothing of an
// old copy may run on (a thread of it returning into freed code is a crash
// that ends this program), no thread may be left behind, and under the leak
// sanitizer nothing may leak. Also a host that lets go of the driver from
// inside its own callbacks: its buffer switch and its reset-request
// handler.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "brands/brand_orlo.h"
#include "brands/brand_vexa.h"
#include "driver/iasio.h"
#include "platform/library.h"
#include "platform/os.h"
#include "tests/driver/library_path.h"

namespace {

#if defined(KSASIO_BRAND_VEXA)
using Profile = VexaAsioBrandProfile;
#else
using Profile = OrloAsioBrandProfile;
#endif

constexpr int32_t kFrames = 265;
// A destruction handed to a thread of its own finishes within moments.
constexpr int kSettleMs = 5000;

// One copy of the library, loaded by path.
struct LoadedLibrary {
    os::Library library = nullptr;
    DllGetClassObjectFunction getClassObject = nullptr;
    DllCanUnloadNowFunction canUnloadNow = nullptr;
};

// What the host callbacks see; they are plain functions, as ASIO has them.
struct HostSide {
    IASIO* driver = nullptr;
    std::atomic<int> switches{0};
    std::atomic<int> switchesAfterRelease{0};
    std::atomic<bool> released{false};
    int releaseAtSwitch = 0;       // 0: the buffer switch never releases
    bool releaseOnReset = false;
    std::atomic<int> resetRequests{0};
};
HostSide* host = nullptr;

void onSwitch(int32_t, ASIOBool) {
    if (host->released.load()) {
        host->switchesAfterRelease++;
        return;
    }
    if (++host->switches == host->releaseAtSwitch) {
        EXPECT_EQ(host->driver->Release(), 0u);
        host->released = true;
    }
}
void onRate(ASIOSampleRate) {}
int32_t onMessage(int32_t selector, int32_t, void*, double*) {
    if (selector == kAsioResetRequest) {
        host->resetRequests++;
        if (host->releaseOnReset && !host->released.load()) {
            EXPECT_EQ(host->driver->Release(), 0u);
            host->released = true;
        }
        return 1;
    }
    return 0;
}
ASIOCallbacks callbacks = {onSwitch, onRate, onMessage, nullptr};

bool waitFor(const std::atomic<int>& value, int atLeast) {
    for (int i = 0; i < 2000 && value.load() < atLeast; ++i) os::sleepMs(2);
    return value.load() >= atLeast;
}

class DriverUnloadTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = std::filesystem::temp_directory_path() /
                  ("ksasio-driver-unload-" + std::to_string(os::currentProcessId()));
        std::filesystem::create_directories(folder_);
        std::ofstream(folder_ / "bus.txt") << "QELM serial=UNLOAD01 port=2 layout=4+4\n";
        os::setEnvironmentVariable("KSASIO_SIM_BUS", (folder_ / "bus.txt").string().c_str());
        os::setEnvironmentVariable("XDG_CONFIG_HOME", folder_.string().c_str());
        // Named events of its own, natively: no other program's driver
        // takes the configuration-changed signal these tests give.
        os::setEnvironmentVariable("XDG_RUNTIME_DIR", folder_.string().c_str());
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void SetUp() override { host = &side_; }
    void TearDown() override { host = nullptr; }

    static LoadedLibrary load() {
        LoadedLibrary loaded;
        loaded.library = os::loadLibrary(driverLibraryPath().c_str());
        EXPECT_NE(loaded.library, nullptr) << driverLibraryPath() << ": " << os::libraryErrorText();
        if (loaded.library == nullptr) return loaded;
        loaded.getClassObject =
            reinterpret_cast<DllGetClassObjectFunction>(os::getProcAddress(loaded.library, "DllGetClassObject"));
        loaded.canUnloadNow =
            reinterpret_cast<DllCanUnloadNowFunction>(os::getProcAddress(loaded.library, "DllCanUnloadNow"));
        EXPECT_NE(loaded.getClassObject, nullptr);
        EXPECT_NE(loaded.canUnloadNow, nullptr);
        return loaded;
    }
    static IASIO* createDriver(const LoadedLibrary& loaded) {
        void* factory = nullptr;
        if (loaded.getClassObject(Profile::kClassId, kIidIClassFactory, &factory) != kComOk) return nullptr;
        void* object = nullptr;
        static_cast<IClassFactory*>(factory)->CreateInstance(nullptr, Profile::kClassId, &object);
        static_cast<IClassFactory*>(factory)->Release();
        return static_cast<IASIO*>(object);
    }
    // As COM does: asks, and frees the library at once when it may.
    static bool unloadWhenAllowed(LoadedLibrary& loaded) {
        for (int waited = 0; loaded.canUnloadNow() != kComOk; waited += 2) {
            if (waited >= kSettleMs) return false;
            os::sleepMs(2);
        }
        const bool freed = os::freeLibrary(loaded.library);
        loaded = LoadedLibrary();
        return freed;
    }
    void startStream(IASIO* driver) {
        side_.driver = driver;
        ASSERT_EQ(driver->init(nullptr), ASIOTrue);
        ASIOBufferInfo buffers[2] = {{ASIOTrue, 0, {nullptr, nullptr}}, {ASIOFalse, 1, {nullptr, nullptr}}};
        ASSERT_EQ(driver->createBuffers(buffers, 2, kFrames, &callbacks), ASE_OK);
        ASSERT_EQ(driver->start(), ASE_OK);
        ASSERT_TRUE(waitFor(side_.switches, 3)) << "the stream never switched";
    }
    // A fresh copy of the library streaming a driver object, whose host
    // lets go of it where side_ says.
    IASIO* streamingCopy(LoadedLibrary& loaded) {
        side_.switches = 0;
        side_.released = false;
        side_.switchesAfterRelease = 0;
        loaded = load();
        if (loaded.library == nullptr) return nullptr;
        IASIO* driver = createDriver(loaded);
        if (driver != nullptr) startStream(driver);
        return driver;
    }
    // Release returned inside the callback (a deadlock would have stopped
    // there), no switch came after it.
    void expectReleasedInside(const char* where) {
        for (int i = 0; i < 2000 && !side_.released.load(); ++i) os::sleepMs(2);
        ASSERT_TRUE(side_.released.load()) << "Release never returned inside the " << where;
        os::sleepMs(40);
        EXPECT_EQ(side_.switchesAfterRelease.load(), 0);
    }

    static inline std::filesystem::path folder_;
    HostSide side_;
};

TEST_F(DriverUnloadTest, LoadsAndUnloadsAHundredTimesLeavingNothingBehind) {
    uint32_t threadsBefore = 0;
    for (int round = 0; round < 100; ++round) {
        SCOPED_TRACE(round);
        LoadedLibrary loaded = load();
        ASSERT_NE(loaded.library, nullptr);
        IASIO* driver = createDriver(loaded);
        ASSERT_NE(driver, nullptr);
        // Every fourth round streams, so that the streaming thread, the watch
        // of the settings event and the simulated bus's clock thread come and
        // go; every eighth is released while it runs.
        if (round % 4 == 0) {
            side_.switches = 0;
            startStream(driver);
            if (round % 8 != 0) {
                EXPECT_EQ(driver->stop(), ASE_OK);
                EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
            }
        } else {
            EXPECT_EQ(driver->init(nullptr), ASIOTrue);
        }
        EXPECT_EQ(loaded.canUnloadNow(), kComFalse) << "a driver object is alive";
        EXPECT_EQ(driver->Release(), 0u);
        ASSERT_TRUE(unloadWhenAllowed(loaded));
        // System libraries the driver uses may start a thread of their own
        // the first time (Wine's do); ours must not add up.
        if (round == 0) threadsBefore = os::processThreadCount();
    }
    // Every thread of every copy has gone with it; a while later nothing of
    // them has been called either (that would have crashed this program).
    EXPECT_EQ(os::processThreadCount(), threadsBefore);
    os::sleepMs(300);
    EXPECT_EQ(os::processThreadCount(), threadsBefore);
}

TEST_F(DriverUnloadTest, AHostMayReleaseTheDriverInsideItsBufferSwitch) {
    side_.releaseAtSwitch = 6;
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        LoadedLibrary loaded;
        ASSERT_NE(streamingCopy(loaded), nullptr);
        expectReleasedInside("buffer switch");
        ASSERT_TRUE(unloadWhenAllowed(loaded)) << "the released driver object never went";
    }
}

TEST_F(DriverUnloadTest, AHostMayReleaseTheDriverInsideItsResetRequestHandler) {
    char eventName[128];
    std::snprintf(eventName, sizeof(eventName), "%sConfigurationChanged", Profile::kDriverId);
    side_.releaseOnReset = true;
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        LoadedLibrary loaded;
        ASSERT_NE(streamingCopy(loaded), nullptr);
        // The settings dialog's signal: the driver's worker thread asks the
        // host to reset, and the host lets go of the driver right there.
        os::Handle changed = os::openEvent(eventName);
        ASSERT_NE(changed, nullptr);
        ASSERT_TRUE(os::setEvent(changed));
        os::closeHandle(changed);
        expectReleasedInside("reset request");
        EXPECT_EQ(side_.resetRequests.load(), round + 1);
        // A host re-creates the driver at once; the new object gets the
        // device as soon as the old one is gone.
        IASIO* again = createDriver(loaded);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(again->init(nullptr), ASIOTrue);
        EXPECT_EQ(again->Release(), 0u);
        ASSERT_TRUE(unloadWhenAllowed(loaded)) << "the released driver object never went";
    }
}

#if !defined(_WIN32)
// Natively a helper thread of the library waits for each program it
// starts. A settings dialog still open when the library goes must not have
// that thread return into the freed copy when it closes.
TEST_F(DriverUnloadTest, ASettingsDialogStillOpenOutlivesTheLibrary) {
    const std::filesystem::path install = folder_ / "install";
    std::filesystem::create_directories(install);
    const std::filesystem::path dialog = install / Profile::kControlPanelFileName;
    std::ofstream(dialog) << "#!/bin/sh\nsleep 0.4\n";
    std::filesystem::permissions(dialog, std::filesystem::perms::owner_all);
    std::ofstream(folder_ / "machine.reg") << "ksasio-settings 1\nkey :Software\nkey :Software\\" << Profile::kBrandName
                                           << "\nkey :Software\\" << Profile::kBrandName << "\\"
                                           << Profile::kDriverId << "\nsz : :" << install.string() << "\nend\n";
    os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", (folder_ / "machine.reg").string().c_str());
    const uint32_t threadsBefore = os::processThreadCount();

    LoadedLibrary loaded = load();
    ASSERT_NE(loaded.library, nullptr);
    IASIO* driver = createDriver(loaded);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    EXPECT_EQ(driver->Release(), 0u);
    ASSERT_TRUE(unloadWhenAllowed(loaded));
    EXPECT_EQ(os::processThreadCount(), threadsBefore);
    os::sleepMs(800);  // the dialog has closed meanwhile
    EXPECT_EQ(os::processThreadCount(), threadsBefore);
    os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", nullptr);
}
#endif

}  // namespace
