// The registry on the process's own device boundary with no simulated bus
// named: the real system on Windows (under Wine: no controller), an empty
// simulated bus elsewhere. Either way a pass finds nothing and fails nothing.
#include <gtest/gtest.h>

#include "devices/device_registry.h"
#include "devices/orlo_device_models.h"
#include "devices/vexa_device_models.h"
#include "platform/device.h"
#include "platform/os.h"
#if defined(_WIN32)
#include "platform/win32/system_library.h"
#endif
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
// sits beside the program (this test has one there, built with it). The
// library is checked by where it was loaded from rather than by calling
// KsCreatePin: Wine's system copy is a stub that raises an exception.
TEST(DefaultBoundary, KsUserComesFromTheSystemFolder) {
    HMODULE library = os::loadSystemLibrary("ksuser.dll");
    ASSERT_NE(library, nullptr);
    char path[MAX_PATH] = {};
    char system[MAX_PATH] = {};
    ASSERT_NE(GetModuleFileNameA(library, path, MAX_PATH), 0u);
    const UINT systemLength = GetSystemDirectoryA(system, MAX_PATH);
    ASSERT_NE(systemLength, 0u);
    EXPECT_EQ(_strnicmp(path, system, systemLength), 0) << path << " is not in " << system;
    // Only the one copy is in the process under that name.
    const HMODULE beside = GetModuleHandleA("ksuser.dll");
    ASSERT_EQ(beside, library) << "a second ksuser.dll is loaded";
    EXPECT_NE(reinterpret_cast<void*>(GetProcAddress(library, "KsCreatePin")), nullptr);
}
#endif
