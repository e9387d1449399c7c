// The file behind the settings store on POSIX: damaged files, the machine
// store, names and texts that need escaping.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "tests/platform/registry_fixture.h"

namespace {

using platform_test::RegistryTest;

TEST_F(RegistryTest, NamesAndTextsThatNeedEscaping) {
    os::RegKey key = createKey("Odd %41 key\xC3\xA9");
    ASSERT_NE(key, nullptr);
    const char* text = "tab\there\nnext line %20 \\ :end";
    EXPECT_EQ(os::regSetString(key, "line\nbreak :name", text), os::kErrorSuccess);
    EXPECT_EQ(os::regSetString(key, "", ""), os::kErrorSuccess);
    const char unterminated[] = {'a', 'b'};
    EXPECT_EQ(os::regSetValue(key, "Raw", os::kRegSz, unterminated, 2), os::kErrorSuccess);
    os::regCloseKey(key);

    ASSERT_EQ(os::regOpenKey(root(), (path() + "\\odd %41 KEY\xC3\xA9").c_str(), false, &key), os::kErrorSuccess);
    char read[64];
    EXPECT_EQ(os::regGetString(key, "LINE\nbreak :name", read, sizeof read), os::kErrorSuccess);
    EXPECT_STREQ(read, text);
    EXPECT_EQ(os::regGetString(key, nullptr, read, sizeof read), os::kErrorSuccess);
    EXPECT_STREQ(read, "");
    // Stored without its terminator (Windows may add one): read as text all the same.
    EXPECT_EQ(os::regGetString(key, "Raw", read, sizeof read), os::kErrorSuccess);
    EXPECT_STREQ(read, "ab");
    os::regCloseKey(key);
}

#if !defined(_WIN32)

namespace fs = std::filesystem;

std::string fileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Points the store at a folder of its own for one test.
class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
        config_ = fs::temp_directory_path() / platform_test::uniqueName("ksasio-settings-file-test");
        folder_ = config_ / "ksasio" / "registry";
        fs::create_directories(folder_);
        os::setEnvironmentVariable("XDG_CONFIG_HOME", config_.string().c_str());
    }
    void TearDown() override {
        os::setEnvironmentVariable("XDG_CONFIG_HOME", saved_.empty() ? nullptr : saved_.c_str());
        std::error_code ignored;
        fs::remove_all(config_, ignored);
    }
    void writeStore(const std::string& text) { std::ofstream(folder_ / "user.reg", std::ios::binary) << text; }
    std::vector<fs::path> setAside() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().string().rfind("user.reg.damaged-", 0) == 0) found.push_back(entry.path());
        }
        return found;
    }

    std::string saved_;
    fs::path config_, folder_;
};

TEST_F(SettingsFileTest, DamagedFileIsSetAsideAndTheStoreStartsEmpty) {
    const std::string garbage = "ksasio-settings 1\nkey :Software\nnot a record\nend\n";
    writeStore(garbage);
    os::RegKey key = nullptr;
    EXPECT_EQ(os::regOpenKey(os::regRootKey(os::RegRoot::CurrentUser), "Software", false, &key),
              os::kErrorFileNotFound);
    auto aside = setAside();
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(fileText(aside[0]), garbage);
    // The store works again from empty.
    ASSERT_EQ(os::regCreateKey(os::regRootKey(os::RegRoot::CurrentUser), "Software\\X", &key), os::kErrorSuccess);
    EXPECT_EQ(os::regSetDword(key, "V", 3), os::kErrorSuccess);
    uint32_t value = 0;
    EXPECT_EQ(os::regGetDword(key, "V", &value), os::kErrorSuccess);
    EXPECT_EQ(value, 3u);
    os::regCloseKey(key);
    EXPECT_EQ(setAside().size(), 1u);
}

TEST_F(SettingsFileTest, FileWithoutItsEndLineCountsAsDamaged) {
    writeStore("ksasio-settings 1\nkey :Software\ndword :V 1\n");
    os::RegKey key = nullptr;
    EXPECT_EQ(os::regOpenKey(os::regRootKey(os::RegRoot::CurrentUser), "Software", false, &key),
              os::kErrorFileNotFound);
    EXPECT_EQ(setAside().size(), 1u);
}

TEST_F(SettingsFileTest, WellFormedFileWrittenByHandIsRead) {
    writeStore("ksasio-settings 1\nkey :\nkey :Software\nkey :Software\\Vexa\ndword :Buffer%20Size 4\n"
               "sz :Name :two%20words\ndata 3 :Blob 00ff\nend\n");
    os::RegKey key = nullptr;
    ASSERT_EQ(os::regOpenKey(os::regRootKey(os::RegRoot::CurrentUser), "software\\vexa", false, &key),
              os::kErrorSuccess);
    uint32_t value = 0;
    EXPECT_EQ(os::regGetDword(key, "Buffer Size", &value), os::kErrorSuccess);
    EXPECT_EQ(value, 4u);
    char text[16];
    EXPECT_EQ(os::regGetString(key, "Name", text, sizeof text), os::kErrorSuccess);
    EXPECT_STREQ(text, "two words");
    uint8_t blob[4];
    uint32_t type = 0, size = sizeof blob;
    EXPECT_EQ(os::regQueryValue(key, "Blob", &type, blob, &size), os::kErrorSuccess);
    EXPECT_EQ(type, os::kRegBinary);
    EXPECT_EQ(size, 2u);
    EXPECT_EQ(blob[1], 0xFF);
    os::regCloseKey(key);
    EXPECT_TRUE(setAside().empty());
}

TEST_F(SettingsFileTest, MachineStoreIsReadFromItsFileAndNeverWritten) {
    fs::path machine = config_ / "machine.reg";
    std::ofstream(machine) << "ksasio-settings 1\nkey :Software\\Maker\\Driver\nsz : :C:\\Program%20Files\\Maker\nend\n";
    const char* savedMachine = std::getenv("KSASIO_MACHINE_REGISTRY");
    std::string restore = savedMachine ? savedMachine : "";
    os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", machine.string().c_str());
    os::RegKey key = nullptr;
    os::RegKey root = os::regRootKey(os::RegRoot::LocalMachine);
    ASSERT_EQ(os::regOpenKey(root, "Software\\Maker\\Driver", false, &key), os::kErrorSuccess);
    char text[64];
    EXPECT_EQ(os::regGetString(key, "", text, sizeof text), os::kErrorSuccess);
    EXPECT_STREQ(text, "C:\\Program Files\\Maker");
    EXPECT_EQ(os::regSetString(key, "", "elsewhere"), os::kErrorAccessDenied);
    EXPECT_EQ(os::regDeleteTree(root, "Software"), os::kErrorAccessDenied);
    os::regCloseKey(key);
    EXPECT_EQ(os::regOpenKey(root, "Software\\Maker\\Driver", true, &key), os::kErrorAccessDenied);
    os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", restore.empty() ? nullptr : restore.c_str());
}

#endif

}  // namespace
