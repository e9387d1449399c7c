// The registry on the process's own device boundary with no simulated bus
// named: the real system on Windows (under Wine: no controller), an empty
// simulated bus elsewhere. Either way a pass finds nothing and fails nothing.
#include <gtest/gtest.h>

#include "devices/device_registry.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "platform/device.h"
#include "platform/os.h"
#include "recording_handler.h"

TEST(DefaultBoundary, FindsNoControllerAndReportsNoError) {
    // Before the first use of the boundary: the choice is made once.
    ASSERT_TRUE(os::setEnvironmentVariable(os::kSimulatedBusVariable, nullptr));
    os::installDeviceBoundary(nullptr);
#if defined(_WIN32)
    ASSERT_EQ(&os::deviceBoundary(), &os::win32DeviceBoundary());
#endif

    DeviceModelIf* models[] = {new VexaQelmDeviceModel,     new OrloFenroDeviceModel,
                               new OrloDaltoDeviceModel,    new OrloTavioDeviceModel,
                               new OrloTavioRawDeviceModel, new OrloTavioRawProto2009DeviceModel};
    DeviceRegistry registry(6, models, 60 * 1000);
    RecordingHandler handler;
    ASSERT_TRUE(registry.addEventHandler(&handler));
    EXPECT_TRUE(registry.enumerateDevices());
    EXPECT_TRUE(registry.enumerateDevices());
    EXPECT_EQ(registry.getNumberOfDevices(), 0u);
    EXPECT_TRUE(handler.events().empty());

    // The whole start-up path, polling thread included.
    EXPECT_TRUE(registry.initialize());
    registry.stopPolledEnumeration();
    EXPECT_EQ(registry.getNumberOfDevices(), 0u);
}

#if defined(_WIN32)
// KsCreatePin is bound from the system's ksuser.dll, never from one that
// sits beside the program (this test has one there, built with it).
TEST(DefaultBoundary, KsCreatePinComesFromTheSystemFolder) {
    KSPIN_CONNECT connect{};
    HANDLE pin = nullptr;
    const DWORD result =
        os::win32DeviceBoundary().ksCreatePin(INVALID_HANDLE_VALUE, &connect, GENERIC_READ | GENERIC_WRITE, &pin);
    EXPECT_NE(result, 0x7A11u) << "the library beside the program was loaded";
    EXPECT_NE(result, 0u);
}
#endif
