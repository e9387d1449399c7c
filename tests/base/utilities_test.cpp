#include "base/utilities.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/errors.h"
#include "platform/registry.h"

namespace {

TEST(FindTextNoCaseTest, FindsTheFirstOccurrenceIgnoringCase) {
    const char* text = "\\\\?\\USB#VID_1234&PID_ABCD&MI_00#7&1";
    EXPECT_EQ(findTextNoCase(text, "vid_1234&pid_abcd"), text + 8);
    EXPECT_EQ(findTextNoCase(text, "&"), text + 16);
    EXPECT_EQ(findTextNoCase(text, "#7&1"), text + 31);  // at the very end
    EXPECT_EQ(findTextNoCase(text, ""), text);
    EXPECT_EQ(findTextNoCase(text, "pid_abce"), nullptr);
    EXPECT_EQ(findTextNoCase("ab", "abc"), nullptr);  // pattern longer than the rest
    const char* overlap = "aaab";
    EXPECT_EQ(findTextNoCase(overlap, "AAB"), overlap + 1);
    EXPECT_EQ(findTextNoCase(nullptr, "a"), nullptr);
    EXPECT_EQ(findTextNoCase(text, nullptr), nullptr);
}

TEST(FormatGuidTest, LowerCaseHexInRegistryForm) {
    const GUID guid = {0x0A1B2C3D, 0x4E5F, 0x0607, {0x08, 0x09, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    EXPECT_STREQ(formatGuid(guid), "{0a1b2c3d-4e5f-0607-0809-aabbccddeeff}");
    const GUID zero = {};
    EXPECT_STREQ(formatGuid(zero), "{00000000-0000-0000-0000-000000000000}");
}

TEST(SystemErrorTextTest, AShortTextWithoutTrailingLineBreaks) {
    const char* text = getSystemErrorText(os::kErrorFileNotFound);
    size_t length = std::strlen(text);
    ASSERT_GT(length, 0u);
    EXPECT_LT(length, kSystemErrorTextSize);
    EXPECT_NE(text[length - 1], '\n');
    EXPECT_NE(text[length - 1], '\r');
    // One buffer per thread: the next call replaces the text.
    const char* unknown = getSystemErrorText(0x2FFFFFFFu);
    EXPECT_EQ(unknown, text);
    EXPECT_GT(std::strlen(unknown), 0u);
}

TEST(DeleteRegistryKeyTest, DeletesAKeyWithItsSubkeys) {
    os::RegKey user = os::regRootKey(os::RegRoot::CurrentUser);
    const char* path = "Software\\KsAsioTests\\BaseUtilities";
    os::RegKey key = nullptr;
    ASSERT_EQ(os::regCreateKey(user, "Software\\KsAsioTests\\BaseUtilities\\Inner", &key), os::kErrorSuccess);
    ASSERT_EQ(os::regSetDword(key, "Value", 7), os::kErrorSuccess);
    os::regCloseKey(key);

    EXPECT_EQ(deleteRegistryKey(user, path), os::kErrorSuccess);
    EXPECT_EQ(os::regOpenKey(user, path, false, &key), os::kErrorFileNotFound);
    EXPECT_NE(deleteRegistryKey(user, path), os::kErrorSuccess);
    os::regDeleteTree(user, "Software\\KsAsioTests");

    // Never "everything below the parent".
    EXPECT_EQ(deleteRegistryKey(user, ""), os::kErrorInvalidParameter);
    EXPECT_EQ(deleteRegistryKey(user, nullptr), os::kErrorInvalidParameter);
}

}  // namespace
