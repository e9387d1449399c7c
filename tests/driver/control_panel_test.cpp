// controlPanel starts the program named by the brand from the install
// folder registered in the machine store (natively the file the
// environment names; the Wine run registers it in a script test).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "brands/brand_vexa.h"
#include "brands/memory_settings_store.h"
#include "driver/win_asio.h"
#include "platform/os.h"
#include "tests/driver/fake_device.h"

namespace {

namespace fs = std::filesystem;

class ControlPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "the machine registry is written by the Wine script test";
#endif
        folder_ = fs::temp_directory_path() / ("ksasio-panel-" + std::to_string(os::currentProcessId()));
        fs::create_directories(folder_ / "install");
        os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", (folder_ / "machine.reg").string().c_str());
        HRESULT result = kComOk;
        driver_ = new WinAsio(nullptr, &result, new FakeBackend(script_), store_);
        driver_->AddRef();
    }
    void TearDown() override {
        if (driver_ != nullptr) driver_->Release();
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    // The install folder value as an installer writes it (the store's text form).
    void registerInstallFolder(const std::string& valueLine) {
        std::ofstream(folder_ / "machine.reg") << "ksasio-settings 1\nkey :Software\nkey :Software\\VEXA\n"
                                                  "key :Software\\VEXA\\VEXAASIO\n"
                                               << valueLine << "\nend\n";
    }
    static std::string encoded(const std::string& path) {
        std::string out;
        for (unsigned char c : path) {
            if (c > ' ' && c <= '~' && c != '%') {
                out += static_cast<char>(c);
            } else {
                char hex[4];
                std::snprintf(hex, sizeof(hex), "%%%02X", c);
                out += hex;
            }
        }
        return out;
    }
    void installStandIn() {
        fs::copy_file(KSASIO_PANEL_STAND_IN, folder_ / "install" / "vexaasioconfig.exe",
                      fs::copy_options::overwrite_existing);
    }
    bool waitForStart() {
        const fs::path marker = folder_ / "install" / "started.txt";
        for (int i = 0; i < 2000 && !fs::exists(marker); ++i) os::sleepMs(5);
        os::sleepMs(20);
        return fs::exists(marker);
    }
    std::string errorText() {
        char text[kAsioErrorMessageSize] = {};
        driver_->getErrorMessage(text);
        return text;
    }

    VexaAsioBrand brand_;
    MemorySettingsStore store_;
    std::shared_ptr<FakeDeviceScript> script_ = std::make_shared<FakeDeviceScript>();
    WinAsio* driver_ = nullptr;
    fs::path folder_;
};

TEST_F(ControlPanelTest, StartsTheDialogFromTheInstallFolderBeforeInit) {
    installStandIn();
    // A trailing separator, as installers often write it.
    registerInstallFolder("sz : :" + encoded((folder_ / "install").string() + "/"));
    ASSERT_EQ(driver_->controlPanel(), ASE_OK);
    ASSERT_TRUE(waitForStart());
    std::ifstream marker(folder_ / "install" / "started.txt");
    int argc = 0;
    std::string argv0;
    marker >> argc >> argv0;
    EXPECT_EQ(argc, 1) << "the dialog gets its own path only";
    EXPECT_EQ(fs::path(argv0), folder_ / "install" / "vexaasioconfig.exe");
    EXPECT_EQ(driver_->getState(), WinAsio::kLoaded);
}

TEST_F(ControlPanelTest, RefusesWithoutTouchingTheErrorText) {
    ASSERT_EQ(driver_->setClockSource(3), ASE_NotPresent);
    const std::string before = errorText();
    // No machine store at all, no value, a value that is no string, an
    // empty folder, and a folder without the program.
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    registerInstallFolder("sz :Other :" + encoded((folder_ / "install").string()));
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    registerInstallFolder("dword : 7");
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    registerInstallFolder("sz : :");
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    registerInstallFolder("sz : :" + encoded((folder_ / "install").string()));
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    // A folder name too long for the path.
    registerInstallFolder("sz : :" + std::string(600, 'a'));
    EXPECT_EQ(driver_->controlPanel(), ASE_NotPresent);
    EXPECT_EQ(errorText(), before);
}

}  // namespace
