// Which device boundary a process gets, and the real Windows boundary
// where no controller exists.
#include <gtest/gtest.h>

#include <cstdlib>

#include "sim_test_support.h"

using namespace simtest;

namespace {

TEST(DeviceBoundarySelection, TestsInstallTheirOwnBus) {
    os::DeviceBoundaryIf* before = &os::deviceBoundary();
    {
        sim::SimBus bus;
        sim::ScopedDeviceBoundary install(bus);
        EXPECT_EQ(&os::deviceBoundary(), &bus);
        auto unit = bus.plug(qelm("SCOPE0001"));
        std::vector<os::AudioInterfaceInfo> interfaces;
        ASSERT_TRUE(os::deviceBoundary().listAudioInterfaces(interfaces));
        ASSERT_EQ(interfaces.size(), 1u);
        EXPECT_EQ(interfaces[0].path, unit->interfacePath());
    }
    EXPECT_EQ(&os::deviceBoundary(), before);
}

TEST(DeviceBoundarySelection, TheProcessBoundaryFollowsThePlatformRule) {
    const char* busFile = std::getenv(os::kSimulatedBusVariable);
    const bool named = busFile != nullptr && busFile[0] != '\0';
    os::DeviceBoundaryIf& chosen = os::deviceBoundary();
    EXPECT_EQ(&chosen, &os::deviceBoundary());  // chosen once
#if defined(_WIN32)
    EXPECT_EQ(&chosen == &os::win32DeviceBoundary(), !named);
#else
    EXPECT_NE(dynamic_cast<sim::SimBus*>(&chosen), nullptr);
#endif
    std::vector<os::AudioInterfaceInfo> interfaces;
    EXPECT_TRUE(chosen.listAudioInterfaces(interfaces));
    if (!named) {
        EXPECT_TRUE(interfaces.empty());
    }
}

#if defined(_WIN32)
// The real system has no controller here (Wine has no KS audio interfaces):
// the listing succeeds empty and opening a made-up filter path fails cleanly.
TEST(Win32DeviceBoundary, FindsNoControllerAndReportsNoError) {
    os::DeviceBoundaryIf& real = os::win32DeviceBoundary();
    std::vector<os::AudioInterfaceInfo> interfaces(3);
    EXPECT_TRUE(real.listAudioInterfaces(interfaces));
    EXPECT_TRUE(interfaces.empty());
    HANDLE h = real.openDevice("\\\\?\\usb#vid_04d8&pid_0c5e&mi_00#none#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global",
                               GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    DEVINST node = 0;
    EXPECT_NE(real.cmGetParent(&node, 0x7FFFFFF0u, 0), CR_SUCCESS);
}
#endif

}  // namespace
