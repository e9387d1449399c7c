// The real settings dialog (vexaasioconfig.exe) under Wine, driven from
// this process with the window messages a user's clicks cause, and checked
// by what the user sees and by what lands in the registry: simulated units
// on a bus file that the test edits while the dialog is open.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "brands/brand_build.h"
#include "panel/win32/panel_resource_ids.h"
#include "tools/panel_remote.h"

namespace {

constexpr uint32_t kStartMs = 30000;
constexpr uint32_t kChangeMs = 10000;

std::string windowsPath(std::string path) {
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// The registry values the dialog stores, read as a driver would.
class StoredSettings {
public:
    explicit StoredSettings(const std::string& path) : path_(path) {}
    bool dword(const std::string& subKey, const char* name, DWORD* value) const {
        DWORD size = sizeof *value, type = 0;
        const std::string key = subKey.empty() ? path_ : path_ + "\\" + subKey;
        return RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_DWORD, &type, value, &size) ==
               ERROR_SUCCESS;
    }
    std::string string(const std::string& subKey, const char* name) const {
        char text[64] = "";
        DWORD size = sizeof text;
        const std::string key = path_ + "\\" + subKey;
        if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), name, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
            return "<none>";
        return text;
    }
    DWORD dwordOr(const std::string& subKey, const char* name, DWORD fallback) const {
        DWORD value = fallback;
        return dword(subKey, name, &value) ? value : fallback;
    }

private:
    std::string path_;
};

class PanelDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        brand_ = createBuildBrand();
        brandKey_ = std::string("Software\\") + brand_->getBrandName();
        settings_ = brandKey_ + "\\" + brand_->getDriverId();
        RegDeleteTreeA(HKEY_CURRENT_USER, settings_.c_str());
        program_ = windowsPath(KSASIO_PANEL_PROGRAM);
        // Wine draws the dialog's frame and caption itself, with or
        // without a window manager, so that screenshots show them.
        const std::string appDefaults = std::string("Software\\Wine\\AppDefaults\\") +
                                        brand_->getControlPanelFileName() + "\\X11 Driver";
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, appDefaults.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExA(key, "Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>("N"), 2);
            RegCloseKey(key);
        }
        char folder[MAX_PATH];
        GetTempPathA(sizeof folder, folder);
        bus_ = std::string(folder) + "ksasio-panel-bus-" + std::to_string(GetCurrentProcessId()) + ".txt";
        SetEnvironmentVariableA("KSASIO_SIM_BUS", bus_.c_str());
        SetEnvironmentVariableA("KSASIO_POLL_INTERVAL_MS", "100");
    }
    void TearDown() override {
        for (PROCESS_INFORMATION* started : {&first_, &second_}) {
            if (started->hProcess == nullptr) continue;
            if (WaitForSingleObject(started->hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(started->hProcess, 1);
            CloseHandle(started->hProcess);
            CloseHandle(started->hThread);
            *started = PROCESS_INFORMATION{};
        }
        DeleteFileA(bus_.c_str());
        RegDeleteTreeA(HKEY_CURRENT_USER, brandKey_.c_str());
        delete brand_;
    }

    // Replaces the bus file in one step, as the simulator asks.
    void writeBus(const std::string& lines) {
        const std::string temporary = bus_ + ".new";
        FILE* file = std::fopen(temporary.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(lines.c_str(), file);
        std::fclose(file);
        ASSERT_TRUE(MoveFileExA(temporary.c_str(), bus_.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    bool start(PROCESS_INFORMATION* started) {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + program_ + "\"";
        return CreateProcessA(program_.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, started) != FALSE;
    }
    // Starts the dialog and attaches to it.
    void open() {
        ASSERT_TRUE(start(&first_));
        ASSERT_TRUE(remote_.attach(first_.dwProcessId, kStartMs)) << "the dialog did not appear";
    }
    // Waits for the program to end and gives its exit code.
    DWORD exitCodeOf(const PROCESS_INFORMATION& started) {
        if (WaitForSingleObject(started.hProcess, kChangeMs) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(started.hProcess, &code);
        return code;
    }
    bool waitRows(int rows) {
        return PanelRemote::waitFor([&] { return remote_.rowCount() == rows; }, kChangeMs);
    }
    // Which pair of drop-downs shows over the row: "in", "out", or what is wrong.
    std::string routingOver(int row) {
        const RECT at = remote_.rowRect(row);
        std::string shown;
        for (int id : {IDC_LEFT_INPUT, IDC_RIGHT_INPUT, IDC_LEFT_OUTPUT, IDC_RIGHT_OUTPUT}) {
            if (!remote_.isVisible(id)) continue;
            if (remote_.rectInList(id).top != at.top) return "a drop-down off the row";
            shown += std::to_string(id) + " ";
        }
        if (shown == "1014 1015 ") return "in";
        if (shown == "1016 1017 ") return "out";
        return shown.empty() ? "none" : shown;
    }
    bool waitRoutingOver(int row, const std::string& pair) {
        return PanelRemote::waitFor([&] { return routingOver(row) == pair; }, kChangeMs);
    }
    StoredSettings stored() const { return StoredSettings(settings_); }

    AsioBrandIf* brand_ = nullptr;
    std::string brandKey_, settings_, program_, bus_;
    PROCESS_INFORMATION first_ = {}, second_ = {};
    PanelRemote remote_;
};

const char* const kTwoUnits =
    "QELM serial=QELM-A001 port=1 layout=4+4\n"
    "QELM serial=QELM-B002 port=2 layout=8+2\n";

}  // namespace

TEST_F(PanelDialogTest, ShowsTwoUnitsAndAppliesRoutingAndBufferLength) {
    writeBus(kTwoUnits);
    open();
    ASSERT_TRUE(waitRows(9));
    // Centred on the screen.
    RECT frame;
    GetWindowRect(remote_.dialog(), &frame);
    EXPECT_LE(std::abs((frame.left + frame.right) - GetSystemMetrics(SM_CXSCREEN)), 2);
    EXPECT_LE(std::abs((frame.top + frame.bottom) - GetSystemMetrics(SM_CYSCREEN)), 2);

    EXPECT_EQ(remote_.cellText(0, 0), "QELM (QELM-A001)");
    EXPECT_EQ(remote_.cellText(0, 1), "4 in - 4 out");
    EXPECT_EQ(remote_.cellText(1, 2), "Ostrel2 rec");
    EXPECT_EQ(remote_.cellText(1, 3), "In 1");
    EXPECT_EQ(remote_.cellText(4, 0), "QELM (QELM-B002)");
    EXPECT_EQ(remote_.cellText(4, 1), "8 in - 2 out");
    EXPECT_EQ(remote_.cellText(8, 2), "Master rec");
    EXPECT_EQ(remote_.cellText(8, 4), "In 2");
    EXPECT_EQ(remote_.rowKey(0), 0u);
    EXPECT_EQ(remote_.rowKey(8), 64u + 16u + 4u);
    // Both units are new to the settings.
    EXPECT_TRUE(remote_.isEnabled(IDC_APPLY));
    EXPECT_EQ(remote_.text(IDC_BUFFER_LABEL), "ASIO Buffer length = 6 ms");
    EXPECT_EQ(remote_.sliderPosition(), 4);

    // The picture a person checks: both units, "Master rec" selected.
    ASSERT_TRUE(remote_.selectRow(8));
    ASSERT_TRUE(waitRoutingOver(8, "in"));
    EXPECT_EQ(remote_.comboSelection(IDC_LEFT_INPUT), 1);
    EXPECT_EQ(remote_.comboSelection(IDC_RIGHT_INPUT), 2);
    EXPECT_TRUE(remote_.saveScreenshot(windowsPath(KSASIO_PANEL_SCREENSHOT)));

    // Another row, another pair, over that row only.
    ASSERT_TRUE(remote_.selectRow(5));
    ASSERT_TRUE(waitRoutingOver(5, "out"));
    EXPECT_EQ(remote_.comboSelection(IDC_RIGHT_OUTPUT), 4);
    remote_.chooseEntry(IDC_RIGHT_OUTPUT, 0);
    EXPECT_EQ(remote_.cellText(5, 4), "Disabled");
    remote_.chooseEntry(IDC_LEFT_OUTPUT, 12);
    EXPECT_EQ(remote_.cellText(5, 3), "Out 12");
    remote_.moveSlider(8);
    EXPECT_EQ(remote_.text(IDC_BUFFER_LABEL), "ASIO Buffer length = 10 ms");

    remote_.press(IDC_APPLY);
    ASSERT_TRUE(PanelRemote::waitFor([&] { return !remote_.isEnabled(IDC_APPLY); }, kChangeMs));
    EXPECT_EQ(stored().dwordOr("", "Buffer Size", 99), 8u);
    EXPECT_EQ(stored().string("Device 0", "SerialNumber"), "QELM-A001");
    EXPECT_EQ(stored().string("Device 1", "SerialNumber"), "QELM-B002");
    EXPECT_EQ(stored().dwordOr("Device 1\\Configuration1", "Channel2", 99), 11u);
    EXPECT_EQ(stored().dwordOr("Device 1\\Configuration1", "Channel3", 99), 255u);

    // The About box, from the logo.
    std::string caption, text;
    ASSERT_TRUE(remote_.readAboutBox(&caption, &text, kChangeMs));
    EXPECT_EQ(caption, "About");
    EXPECT_EQ(text, brand_->getAboutText());

    // Changes after Apply go with Cancel; what Apply stored stays.
    remote_.moveSlider(20);
    EXPECT_TRUE(remote_.isEnabled(IDC_APPLY));
    remote_.press(IDCANCEL);
    EXPECT_EQ(exitCodeOf(first_), 0u);
    EXPECT_EQ(stored().dwordOr("", "Buffer Size", 99), 8u);
}

TEST_F(PanelDialogTest, UnitsComeAndGoWhileOpenAndOkSavesANewOne) {
    // Unit A is remembered with its own routing; unit B is new.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (settings_ + "\\Device 0\\Configuration0").c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (DWORD k = 0; k < 4; ++k) {
        const DWORD routing = 8 + k;
        RegSetValueExA(key, ("Channel" + std::to_string(k)).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&routing), sizeof routing);
        RegSetValueExA(key, ("ChannelIn" + std::to_string(k)).c_str(), 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&routing), sizeof routing);
    }
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, (settings_ + "\\Device 0").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const DWORD type = 5;
    RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), sizeof type);
    RegSetValueExA(key, "SerialNumber", 0, REG_SZ, reinterpret_cast<const BYTE*>("QELM-C003"), 10);
    RegCloseKey(key);

    writeBus("QELM serial=QELM-C003 port=3 layout=4+4\n");
    open();
    ASSERT_TRUE(waitRows(4));
    EXPECT_EQ(remote_.cellText(0, 3), "Out 9");
    EXPECT_FALSE(remote_.isEnabled(IDC_APPLY));

    // B plugged in: its rows come before C's (serial order), Apply turns on.
    writeBus(std::string("QELM serial=QELM-B002 port=2 layout=8+2\n") + "QELM serial=QELM-C003 port=3 layout=4+4\n");
    ASSERT_TRUE(waitRows(9));
    EXPECT_EQ(remote_.cellText(0, 0), "QELM (QELM-B002)");
    EXPECT_EQ(remote_.rowKey(0), 64u + 16u);
    EXPECT_EQ(remote_.rowKey(5), 0u);
    EXPECT_TRUE(remote_.isEnabled(IDC_APPLY));

    // C's rows still edit C.
    ASSERT_TRUE(remote_.selectRow(6));
    ASSERT_TRUE(waitRoutingOver(6, "in"));
    remote_.chooseEntry(IDC_LEFT_INPUT, 16);
    EXPECT_EQ(remote_.cellText(6, 3), "In 16");

    // B pulled out: exactly its rows go; C keeps its keys and its selection.
    writeBus("QELM serial=QELM-C003 port=3 layout=4+4\n");
    ASSERT_TRUE(waitRows(4));
    EXPECT_EQ(remote_.rowKey(0), 0u);
    EXPECT_EQ(remote_.rowKey(3), 3u);
    EXPECT_EQ(remote_.selectedRow(), 1);
    ASSERT_TRUE(waitRoutingOver(1, "in"));
    remote_.chooseEntry(IDC_RIGHT_INPUT, 0);
    EXPECT_EQ(remote_.cellText(1, 4), "Disabled");

    // Back again, and OK.
    writeBus(std::string("QELM serial=QELM-B002 port=2 layout=8+2\n") + "QELM serial=QELM-C003 port=3 layout=4+4\n");
    ASSERT_TRUE(waitRows(9));
    remote_.press(IDOK);
    EXPECT_EQ(exitCodeOf(first_), 0u);
    EXPECT_EQ(stored().string("Device 0", "SerialNumber"), "QELM-C003");
    EXPECT_EQ(stored().dwordOr("Device 0\\Configuration0", "ChannelIn0", 99), 15u);
    EXPECT_EQ(stored().dwordOr("Device 0\\Configuration0", "ChannelIn1", 99), 255u);
    EXPECT_EQ(stored().dwordOr("Device 0\\Configuration0", "Channel0", 99), 8u);
    EXPECT_EQ(stored().string("Device 1", "SerialNumber"), "QELM-B002");
    EXPECT_EQ(stored().dwordOr("Device 1\\Configuration1", "ChannelIn1", 99), 1u);
}

TEST_F(PanelDialogTest, TheProgramCarriesItsIconsAndPictures) {
    HMODULE program = LoadLibraryExA(program_.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(program, nullptr);
    struct Picture {
        int id;
        UINT type;
        int width, height;
    };
    const Picture pictures[] = {{IDI_PANEL_LARGE, IMAGE_ICON, 32, 32}, {IDI_PANEL_SMALL, IMAGE_ICON, 16, 16},
                                {IDB_LOGO, IMAGE_BITMAP, 44, 22},       {IDB_LOGO_MASK, IMAGE_BITMAP, 44, 22},
                                {IDB_REMOVAL_MARK, IMAGE_BITMAP, 10, 10}};
    for (const Picture& picture : pictures) {
        HANDLE image = LoadImageA(program, MAKEINTRESOURCEA(picture.id), picture.type, 0, 0, 0);
        ASSERT_NE(image, nullptr) << picture.id;
        int width = 0, height = 0;
        if (picture.type == IMAGE_ICON) {
            ICONINFO info = {};
            ASSERT_TRUE(GetIconInfo(static_cast<HICON>(image), &info));
            BITMAP bitmap = {};
            GetObjectA(info.hbmColor, sizeof bitmap, &bitmap);
            width = bitmap.bmWidth;
            height = bitmap.bmHeight;
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
            DestroyIcon(static_cast<HICON>(image));
        } else {
            BITMAP bitmap = {};
            GetObjectA(image, sizeof bitmap, &bitmap);
            width = bitmap.bmWidth;
            height = bitmap.bmHeight;
            DeleteObject(image);
        }
        EXPECT_EQ(width, picture.width) << picture.id;
        EXPECT_EQ(height, picture.height) << picture.id;
    }
    FreeLibrary(program);
}

TEST_F(PanelDialogTest, ASecondStartBringsTheFirstBackAndEndsWithoutAWindow) {
    writeBus(kTwoUnits);
    open();
    PostMessageA(remote_.dialog(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
    ASSERT_TRUE(PanelRemote::waitFor([&] { return IsIconic(remote_.dialog()) != FALSE; }, kChangeMs));

    ASSERT_TRUE(start(&second_));
    EXPECT_EQ(exitCodeOf(second_), 0u);
    EXPECT_TRUE(PanelRemote::waitFor([&] { return IsIconic(remote_.dialog()) == FALSE; }, kChangeMs));
    // Still one dialog: the first.
    PanelRemote other;
    EXPECT_TRUE(other.attach(0, 1000));
    EXPECT_EQ(other.dialog(), remote_.dialog());
    EXPECT_FALSE(other.attach(second_.dwProcessId, 200));
    remote_.press(IDCANCEL);
    EXPECT_EQ(exitCodeOf(first_), 0u);
}
