// The settings store through the registry functions: natively the file
// store in a private folder, on Windows the registry under a test key.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "tests/platform/registry_fixture.h"
#include "tests/platform/test_support.h"

namespace {

using platform_test::helperPath;
using platform_test::kPatienceMs;
using platform_test::RegistryTest;
using platform_test::runHelper;

TEST_F(RegistryTest, CreateWriteReadWithTypes) {
    os::RegKey key = createKey("Driver\\Device 0");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(os::regSetDword(key, "Type", 5), os::kErrorSuccess);
    EXPECT_EQ(os::regSetString(key, "SerialNumber", "AB12 cd\\34%"), os::kErrorSuccess);
    EXPECT_EQ(os::regSetString(key, nullptr, "default"), os::kErrorSuccess);
    const uint8_t bytes[] = {0, 1, 2, 0xFF, '\n'};
    EXPECT_EQ(os::regSetValue(key, "Blob", os::kRegBinary, bytes, sizeof bytes), os::kErrorSuccess);

    uint32_t dword = 0;
    EXPECT_EQ(os::regGetDword(key, "type", &dword), os::kErrorSuccess);  // names ignore case
    EXPECT_EQ(dword, 5u);
    char text[64];
    EXPECT_EQ(os::regGetString(key, "SerialNumber", text, sizeof text), os::kErrorSuccess);
    EXPECT_STREQ(text, "AB12 cd\\34%");
    EXPECT_EQ(os::regGetString(key, "", text, sizeof text), os::kErrorSuccess);
    EXPECT_STREQ(text, "default");

    uint32_t type = 0, size = 0;
    EXPECT_EQ(os::regQueryValue(key, "SerialNumber", &type, nullptr, &size), os::kErrorSuccess);
    EXPECT_EQ(type, os::kRegSz);
    EXPECT_EQ(size, 12u);  // with the terminator
    uint8_t read[16] = {};
    size = sizeof read;
    EXPECT_EQ(os::regQueryValue(key, "Blob", &type, read, &size), os::kErrorSuccess);
    EXPECT_EQ(type, os::kRegBinary);
    ASSERT_EQ(size, sizeof bytes);
    EXPECT_EQ(std::memcmp(read, bytes, sizeof bytes), 0);

    // Rewriting a value may change its type.
    EXPECT_EQ(os::regSetString(key, "Type", "five"), os::kErrorSuccess);
    EXPECT_EQ(os::regGetDword(key, "Type", &dword), os::kErrorUnsupportedType);
    os::regCloseKey(key);

    // Another handle on the same key, opened with different case, sees it all.
    ASSERT_EQ(os::regOpenKey(root(), (path() + "\\DRIVER\\device 0").c_str(), false, &key), os::kErrorSuccess);
    EXPECT_EQ(os::regGetString(key, "Type", text, sizeof text), os::kErrorSuccess);
    EXPECT_STREQ(text, "five");
    os::regCloseKey(key);
}

TEST_F(RegistryTest, SmallBuffersMissingValuesAndWrongTypes) {
    os::RegKey key = createKey("Values");
    os::regSetString(key, "Name", "twelve chars");
    os::regSetDword(key, "Number", 7);
    char text[8];
    EXPECT_EQ(os::regGetString(key, "Name", text, sizeof text), os::kErrorMoreData);
    EXPECT_STREQ(text, "");
    uint32_t type = 0, size = 4;
    char data[4];
    EXPECT_EQ(os::regQueryValue(key, "Name", &type, data, &size), os::kErrorMoreData);
    EXPECT_EQ(size, 13u);
    EXPECT_EQ(os::regGetString(key, "Number", text, sizeof text), os::kErrorUnsupportedType);
    uint32_t dword = 0;
    EXPECT_EQ(os::regGetDword(key, "Name", &dword), os::kErrorUnsupportedType);
    EXPECT_EQ(os::regGetDword(key, "Absent", &dword), os::kErrorFileNotFound);
    EXPECT_EQ(os::regQueryValue(key, "Absent", &type, nullptr, &size), os::kErrorFileNotFound);
    EXPECT_EQ(os::regDeleteValue(key, "Number"), os::kErrorSuccess);
    EXPECT_EQ(os::regGetDword(key, "Number", &dword), os::kErrorFileNotFound);
    EXPECT_EQ(os::regDeleteValue(key, "Number"), os::kErrorFileNotFound);
    os::regCloseKey(key);
}

TEST_F(RegistryTest, MissingKeysAndReadOnlyHandles) {
    os::RegKey key = nullptr;
    EXPECT_EQ(os::regOpenKey(root(), (path() + "\\Absent").c_str(), false, &key), os::kErrorFileNotFound);
    EXPECT_EQ(os::regDeleteTree(root(), (path() + "\\Absent").c_str()), os::kErrorFileNotFound);
    os::regCloseKey(createKey("ReadOnly"));
    ASSERT_EQ(os::regOpenKey(root(), (path() + "\\ReadOnly").c_str(), false, &key), os::kErrorSuccess);
    EXPECT_EQ(os::regSetDword(key, "X", 1), os::kErrorAccessDenied);
    os::regCloseKey(key);
    // The machine part is read only.
    os::RegKey machine = os::regRootKey(os::RegRoot::LocalMachine);
    EXPECT_EQ(os::regCreateKey(machine, "Software\\KsAsioPlatformTest", &key), os::kErrorAccessDenied);
    EXPECT_EQ(os::regOpenKey(machine, "Software", true, &key), os::kErrorAccessDenied);
}

TEST_F(RegistryTest, EnumerateSubkeys) {
    os::RegKey parent = createKey("Enum");
    for (const char* name : {"Device 1", "Configuration0", "Device 0"}) os::regCloseKey(createKey(std::string("Enum\\") + name));
    std::vector<std::string> names;
    for (uint32_t index = 0;; ++index) {
        char name[64];
        uint32_t size = sizeof name;
        uint32_t result = os::regEnumKey(parent, index, name, &size);
        if (result == os::kErrorNoMoreItems) break;
        ASSERT_EQ(result, os::kErrorSuccess);
        EXPECT_EQ(size, std::strlen(name));
        names.push_back(name);
        ASSERT_LT(index, 10u);
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Configuration0", "Device 0", "Device 1"}));
    char small[4];
    uint32_t size = sizeof small;
    EXPECT_EQ(os::regEnumKey(parent, 0, small, &size), os::kErrorMoreData);
    EXPECT_GT(size, sizeof small);
    os::regCloseKey(parent);
}

TEST_F(RegistryTest, DeleteTreeRemovesEverythingBelow) {
    os::RegKey deep = createKey("Tree\\A\\B\\C");
    os::regSetDword(deep, "Leaf", 1);
    os::regCloseKey(deep);
    os::regCloseKey(createKey("Tree\\D"));
    os::RegKey tree = nullptr;
    ASSERT_EQ(os::regOpenKey(root(), (path() + "\\Tree").c_str(), true, &tree), os::kErrorSuccess);
    EXPECT_EQ(os::regDeleteTree(tree, "A"), os::kErrorSuccess);
    os::RegKey probe = nullptr;
    EXPECT_EQ(os::regOpenKey(tree, "A", false, &probe), os::kErrorFileNotFound);
    EXPECT_EQ(os::regOpenKey(tree, "D", false, &probe), os::kErrorSuccess);
    os::regCloseKey(probe);
    os::regCloseKey(tree);
    EXPECT_EQ(os::regDeleteTree(root(), (path() + "\\Tree").c_str()), os::kErrorSuccess);
    EXPECT_EQ(os::regOpenKey(root(), (path() + "\\Tree").c_str(), false, &probe), os::kErrorFileNotFound);
}

TEST_F(RegistryTest, ConcurrentWritersInTwoProcessesLoseNothing) {
    os::RegKey key = createKey("Shared");
    std::string keyPath = path() + "\\Shared";
    const int count = 40;
    os::Handle writers[2];
    const char* tags[2] = {"A", "B"};
    for (int i = 0; i < 2; ++i) {
        writers[i] = os::startProcess(helperPath().c_str(),
                                      ("write " + keyPath + " " + tags[i] + " " + std::to_string(count)).c_str());
        ASSERT_NE(writers[i], nullptr);
    }
    for (os::Handle writer : writers) {
        ASSERT_EQ(os::waitForOne(writer, kPatienceMs), os::kWaitObject0);
        uint32_t code = 1;
        os::getExitCode(writer, &code);
        EXPECT_EQ(code, 0u);
        os::closeHandle(writer);
    }
    // The handle opened before the others wrote sees their values.
    for (const char* tag : tags) {
        for (int i = 0; i < count; ++i) {
            uint32_t value = 0xFFFF;
            std::string name = std::string(tag) + "-" + std::to_string(i);
            ASSERT_EQ(os::regGetDword(key, name.c_str(), &value), os::kErrorSuccess) << name;
            EXPECT_EQ(value, static_cast<uint32_t>(i));
        }
    }
    os::regCloseKey(key);
}

// A writer killed at any moment of a save leaves either the old or the new
// content, never a torn or unreadable store.
TEST_F(RegistryTest, KilledWriterLeavesOldOrNewContent) {
#if defined(_WIN32)
    const int rounds = 20;  // the registry is the system's; a process start costs more
#else
    const int rounds = 200;
#endif
    std::string keyPath = path() + "\\Churn";
    os::RegKey key = createKey("Churn");
    ASSERT_EQ(os::regSetString(key, "Sentinel", "kept"), os::kErrorSuccess);
    std::string ready = platform_test::uniqueName("ChurnReady");
    os::Handle readyEvent = os::createEvent(false, false, ready.c_str());
    std::mt19937 random(12345);
    uint32_t lastSequence = 0;
    for (int round = 0; round < rounds; ++round) {
        os::Handle writer = os::startProcess(
            helperPath().c_str(), ("churn " + keyPath + " " + ready + " " + std::to_string(lastSequence + 1)).c_str());
        ASSERT_NE(writer, nullptr);
        ASSERT_EQ(os::waitForOne(readyEvent, kPatienceMs), os::kWaitObject0) << "round " << round;
        os::sleepMs(random() % 4);
        ASSERT_TRUE(os::terminateProcess(writer, 9));
        ASSERT_EQ(os::waitForOne(writer, kPatienceMs), os::kWaitObject0);
        os::closeHandle(writer);

        std::vector<uint8_t> blob(16384);
        uint32_t type = 0, size = static_cast<uint32_t>(blob.size());
        ASSERT_EQ(os::regQueryValue(key, "Blob", &type, blob.data(), &size), os::kErrorSuccess) << "round " << round;
        ASSERT_EQ(size, blob.size());
        uint32_t sequence = 0;
        std::memcpy(&sequence, blob.data(), 4);
        ASSERT_GT(sequence, lastSequence) << "round " << round;  // at least the first write of this round
        for (size_t i = 4; i < blob.size(); ++i) ASSERT_EQ(blob[i], sequence & 0xFF) << "torn at byte " << i;
        char text[8];
        ASSERT_EQ(os::regGetString(key, "Sentinel", text, sizeof text), os::kErrorSuccess);
        lastSequence = sequence;
    }
    os::closeHandle(readyEvent);
    os::regCloseKey(key);
}

}  // namespace
