// Processes, named events shared between processes, and error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/os.h"
#include "tests/platform/test_support.h"

namespace {

using platform_test::helperPath;
using platform_test::kPatienceMs;
using platform_test::runHelper;
using platform_test::uniqueName;

TEST(Processes, StartWaitExitCodeAndArgumentSplitting) {
    ASSERT_TRUE(os::fileExists(helperPath().c_str())) << helperPath();
    // argv[0] is the path, then the words: "count" "a" "b" "c".
    EXPECT_EQ(runHelper("count a  b c"), 5);
    EXPECT_EQ(runHelper("unknown-mode"), 99);
    os::Handle process = os::startProcess(helperPath().c_str(), nullptr);
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(os::waitForOne(process, kPatienceMs), os::kWaitObject0);
    uint32_t code = 0;
    EXPECT_TRUE(os::getExitCode(process, &code));
    EXPECT_EQ(code, 99u);
    EXPECT_TRUE(os::closeHandle(process));
}

TEST(Processes, MissingProgramAndFiles) {
    std::string missing = helperPath() + "-missing";
    EXPECT_FALSE(os::fileExists(missing.c_str()));
    EXPECT_EQ(os::startProcess(missing.c_str(), nullptr), nullptr);
    EXPECT_EQ(os::lastError(), os::kErrorFileNotFound);
    char self[4096];
    ASSERT_TRUE(os::currentExecutablePath(self, sizeof self));
    EXPECT_TRUE(os::fileExists(self));
    char tiny[4];
    EXPECT_FALSE(os::currentExecutablePath(tiny, sizeof tiny));
}

TEST(Processes, TerminateEndsARunningProcess) {
    std::string ready = uniqueName("ready"), release = uniqueName("release"), held = uniqueName("held");
    os::Handle readyEvent = os::createEvent(false, false, ready.c_str());
    os::Handle releaseEvent = os::createEvent(false, false, release.c_str());
    os::Handle process = os::startProcess(helperPath().c_str(), ("hold " + held + " " + ready + " " + release).c_str());
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(os::waitForOne(readyEvent, kPatienceMs), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(process, 0), os::kWaitTimeout);
    EXPECT_TRUE(os::terminateProcess(process, 77));
    ASSERT_EQ(os::waitForOne(process, kPatienceMs), os::kWaitObject0);
    uint32_t code = 0;
    EXPECT_TRUE(os::getExitCode(process, &code));
    EXPECT_EQ(code, 77u);
    // Killed without closing anything, it holds the name no longer.
    EXPECT_EQ(os::openEvent(held.c_str()), nullptr);
    for (os::Handle handle : {process, readyEvent, releaseEvent}) os::closeHandle(handle);
}

TEST(NamedEvents, SetByAnotherProcessWakesTheCreator) {
    std::string name = uniqueName("ConfigurationChanged");
    bool existed = true;
    os::Handle event = os::createEvent(false, false, name.c_str(), &existed);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
    // The helper only opens and sets: it must not take the signal itself.
    EXPECT_EQ(runHelper("set " + name), 0);
    EXPECT_EQ(os::waitForOne(event, kPatienceMs), os::kWaitObject0);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
    // Again, now that this process is watching.
    EXPECT_EQ(runHelper("set " + name), 0);
    os::Handle other = os::createEvent(false, false);
    os::Handle both[] = {other, event};
    EXPECT_EQ(os::waitForAny(both, 2, kPatienceMs), os::kWaitObject0 + 1);
    os::closeHandle(other);
    os::closeHandle(event);
}

TEST(NamedEvents, OpeningANameNobodyHoldsFails) {
    std::string name = uniqueName("Nobody");
    EXPECT_EQ(os::openEvent(name.c_str()), nullptr);
    EXPECT_EQ(os::lastError(), os::kErrorFileNotFound);
    EXPECT_EQ(runHelper("set " + name), 2);
}

TEST(NamedEvents, AlreadyExistedOnlyWhileSomeoneHoldsTheName) {
    std::string name = uniqueName("Panel:Open#Guard%");  // needs sanitizing
    bool existed = true;
    os::Handle event = os::createEvent(false, false, name.c_str(), &existed);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_EQ(os::lastError(), os::kErrorSuccess);

    // In this process: a second handle, the same event.
    os::Handle second = os::createEvent(false, false, name.c_str(), &existed);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(existed);
    EXPECT_EQ(os::lastError(), os::kErrorAlreadyExists);
    os::setEvent(second);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitObject0);
    os::closeHandle(second);

    // In another process, while this one holds it.
    EXPECT_EQ(runHelper("create " + name), 1);
    os::closeHandle(event);
    // Nobody holds it now.
    EXPECT_EQ(runHelper("create " + name), 0);
    EXPECT_EQ(os::openEvent(name.c_str()), nullptr);
}

TEST(NamedEvents, NameOfAnEndedProcessIsFreeAgain) {
    std::string name = uniqueName("Crashed");
    // The helper creates the event and exits without closing it.
    EXPECT_EQ(runHelper("create-and-die " + name), 0);
    EXPECT_EQ(os::openEvent(name.c_str()), nullptr);
    bool existed = true;
    os::Handle event = os::createEvent(false, false, name.c_str(), &existed);
    ASSERT_NE(event, nullptr);
    EXPECT_FALSE(existed);
    EXPECT_EQ(os::waitForOne(event, 0), os::kWaitTimeout);
    os::closeHandle(event);
}

TEST(NamedEvents, HeldByAnotherProcess) {
    std::string name = uniqueName("Held"), ready = uniqueName("Ready"), release = uniqueName("Release");
    os::Handle readyEvent = os::createEvent(false, false, ready.c_str());
    os::Handle releaseEvent = os::createEvent(false, false, release.c_str());
    os::Handle process = os::startProcess(helperPath().c_str(), ("hold " + name + " " + ready + " " + release).c_str());
    ASSERT_NE(process, nullptr);
    ASSERT_EQ(os::waitForOne(readyEvent, kPatienceMs), os::kWaitObject0);
    bool existed = false;
    os::Handle event = os::createEvent(false, false, name.c_str(), &existed);
    EXPECT_TRUE(existed);
    os::closeHandle(event);
    os::Handle opened = os::openEvent(name.c_str());
    EXPECT_NE(opened, nullptr);
    os::closeHandle(opened);
    os::setEvent(releaseEvent);
    ASSERT_EQ(os::waitForOne(process, kPatienceMs), os::kWaitObject0);
    uint32_t code = 9;
    os::getExitCode(process, &code);
    EXPECT_EQ(code, 0u);  // the helper created it fresh
    EXPECT_EQ(os::openEvent(name.c_str()), nullptr);
    for (os::Handle handle : {process, readyEvent, releaseEvent}) os::closeHandle(handle);
}

TEST(ErrorTexts, SystemWordingWithoutLineBreaks) {
    char text[256];
    ASSERT_TRUE(os::systemErrorText(os::kErrorFileNotFound, text, sizeof text));
#if !defined(_WIN32)
    // Windows' own wording (a Windows build reads whatever its system says).
    EXPECT_STREQ(text, "The system cannot find the file specified.");
#endif
    for (uint32_t code : {os::kErrorAccessDenied, os::kErrorTooManyPosts, os::kErrorMoreData}) {
        ASSERT_TRUE(os::systemErrorText(code, text, sizeof text)) << code;
        size_t length = std::strlen(text);
        ASSERT_GT(length, 0u);
        EXPECT_NE(text[length - 1], '\n');
        EXPECT_NE(text[length - 1], '\r');
    }
    EXPECT_FALSE(os::systemErrorText(0x0ABCDEF1u, text, sizeof text));
    EXPECT_STREQ(text, "Unknown error 0x0abcdef1");
    ASSERT_TRUE(os::systemErrorText(os::kErrorFileNotFound, text, sizeof text));
    char cut[11];
    ASSERT_TRUE(os::systemErrorText(os::kErrorFileNotFound, cut, sizeof cut));
    EXPECT_EQ(std::string(cut), std::string(text).substr(0, 10));
}

}  // namespace
