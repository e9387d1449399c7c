// A private place in the settings store for each test run: natively a
// fresh store folder (so no test touches the user's settings), on Windows a
// unique key under HKEY_CURRENT_USER\Software, deleted afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/os.h"
#include "platform/registry.h"
#include "tests/platform/test_support.h"

namespace platform_test {

// The folder the native store of this run lives in (set up once).
inline const std::filesystem::path& storeFolder() {
    static const std::filesystem::path folder = [] {
        auto path = std::filesystem::temp_directory_path() / uniqueName("ksasio-platform-test");
        std::filesystem::create_directories(path);
        os::setEnvironmentVariable("XDG_CONFIG_HOME", path.string().c_str());
        os::setEnvironmentVariable("KSASIO_MACHINE_REGISTRY", (path / "machine.reg").string().c_str());
        return path;
    }();
    return folder;
}

class RegistryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        storeFolder();
        path_ = "Software\\" + uniqueName("KsAsioPlatformTest");
    }
    static void TearDownTestSuite() {
        os::regDeleteTree(root(), path_.c_str());
#if !defined(_WIN32)
        std::error_code ignored;
        std::filesystem::remove_all(storeFolder(), ignored);
#endif
    }

    static os::RegKey root() { return os::regRootKey(os::RegRoot::CurrentUser); }
    static const std::string& path() { return path_; }

    // Creates a key below the test key; null on failure.
    static os::RegKey createKey(const std::string& relative) {
        os::RegKey key = nullptr;
        if (os::regCreateKey(root(), (path_ + "\\" + relative).c_str(), &key) != 0) return nullptr;
        return key;
    }

private:
    static inline std::string path_;
};

}  // namespace platform_test
