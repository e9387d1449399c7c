// The device boundary: everything the driver asks of the hardware side of
// the operating system, as one interface with Win32 semantics.
//
// Two implementations exist:
// - the real one (Windows only, platform/win32/device_win32.cpp): the Win32,
//   SetupAPI, configuration-manager and HID calls themselves;
// - the simulated one (every platform, sim/): controllers of every hardware
//   model on a simulated device bus.
//
// Which one a process uses is decided once, by os::deviceBoundary():
// - a boundary installed with os::installDeviceBoundary() wins (tests);
// - on Linux: always the simulator, on the bus described by the file that
//   the environment variable KSASIO_SIM_BUS names (an empty bus without it);
// - on Windows: the real system, unless KSASIO_SIM_BUS names a bus file.
// The selection needs the simulator, and platform/ must not depend on sim/,
// so os::deviceBoundary() and os::installDeviceBoundary() are defined in
// sim/ (sim/boundary_select.cpp): anything that calls them links ksasio_sim.
//
// Conventions, exactly those of the Win32 calls each method stands for:
// - Failures return false / INVALID_HANDLE_VALUE / a CONFIGRET and leave the
//   Win32 error code in os::lastError() (os::setLastError).
// - Device handles (filters, pins, HID devices) come only from this
//   interface and are closed only with closeDevice(), never os::closeHandle.
// - Overlapped requests: a request that completes at once returns true; one
//   that is queued returns false with ERROR_IO_PENDING and later stores its
//   NTSTATUS in OVERLAPPED::Internal and its byte count in InternalHigh, then
//   sets OVERLAPPED::hEvent. Callers may store the event with its lowest bit
//   set (to keep the completion away from a completion port); the
//   implementation masks it before use. hEvent is an event of os::createEvent.
// - A property request (IOCTL_KS_PROPERTY) with an output size of 0 is a size
//   query: it fails with ERROR_MORE_DATA (or ERROR_INSUFFICIENT_BUFFER, as
//   some drivers answer) and stores the size needed in *bytesReturned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/device_release.h"
#include "platform/ks_abi.h"
#include "platform/os.h"

namespace os {

// One interface of the KS audio category (KSCATEGORY_AUDIO), present now.
struct AudioInterfaceInfo {
    std::string path;             // device interface path, for openDevice()
    DEVINST deviceInstance = 0;   // its device node, where tree walks start
    // SP_DEVICE_INTERFACE_DATA::Flags of the KSCATEGORY_RENDER and
    // KSCATEGORY_CAPTURE aliases of this interface; 0 when the alias does not
    // exist. A side is usable when its flags are non-zero and lack
    // SPINT_REMOVED.
    DWORD renderAliasFlags = 0;
    DWORD captureAliasFlags = 0;
};

// What the system tells about a device or an interface class (the
// WM_DEVICECHANGE events of RegisterDeviceNotification).
enum class DeviceNotice : uint32_t {
    Arrival,            // DBT_DEVICEARRIVAL: an interface of a watched class appeared
    QueryRemove,        // DBT_DEVICEQUERYREMOVE: close every handle to the device, or its removal fails
    QueryRemoveFailed,  // DBT_DEVICEQUERYREMOVEFAILED: the removal was called off; the device stays
    RemovePending,      // DBT_DEVICEREMOVEPENDING: the device is going
    RemoveComplete,     // DBT_DEVICEREMOVECOMPLETE: the device (or an interface of a watched class) is gone
};

// Receives the notices of the watches it was given to. The call comes on a
// thread of the boundary (a hidden window's thread on Windows; in the
// simulator, the thread whose call caused the notice, with no lock of the
// bus held), one notice at a time. A query-remove is granted only if the
// handles to the device are closed when the call returns.
class DeviceNoticeSinkIf {
public:
    virtual ~DeviceNoticeSinkIf() = default;
    virtual void deviceNotice(uint64_t cookie, DeviceNotice notice) = 0;
};

// A registration of RegisterDeviceNotification; 0 stands for none.
using DeviceWatch = uint64_t;

class DeviceBoundaryIf {
public:
    virtual ~DeviceBoundaryIf() = default;

    // CreateFileA without security attributes or template. Filters are opened
    // with GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OVERLAPPED;
    // HID devices with access 0 and FILE_SHARE_READ | FILE_SHARE_WRITE.
    // INVALID_HANDLE_VALUE on failure.
    virtual HANDLE openDevice(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                              DWORD flagsAndAttributes) = 0;
    // CloseHandle for a device handle; pending requests on it are cancelled.
    virtual bool closeDevice(HANDLE device) = 0;

    // DeviceIoControl with an OVERLAPPED (required: every KS handle is opened
    // for overlapped I/O). IOCTL_KS_PROPERTY, IOCTL_KS_READ_STREAM and
    // IOCTL_KS_WRITE_STREAM (header as output buffer, its Size as output
    // size, no input buffer).
    virtual bool deviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                                 DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) = 0;
    // GetOverlappedResult: false with ERROR_IO_INCOMPLETE while the request
    // runs and wait is false; with wait true it blocks until completion. A
    // failed request reports its error (ERROR_OPERATION_ABORTED when
    // cancelled, ERROR_DEVICE_NOT_CONNECTED when the device went away).
    virtual bool getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, bool wait) = 0;
    // CancelIoEx with no OVERLAPPED: every pending request of the handle,
    // whichever thread started it, completes as cancelled (later, maybe:
    // read each one's outcome before reusing or freeing it).
    virtual bool cancelIo(HANDLE device) = 0;

    // KsCreatePin (ksuser.dll, bound at run time by the real implementation):
    // connect is a KSPIN_CONNECT immediately followed by its KSDATAFORMAT (and
    // the wave format behind it). Returns 0 and the pin handle, or a Win32
    // error code (2 when ksuser.dll or its entry cannot be loaded).
    virtual DWORD ksCreatePin(HANDLE filter, const KSPIN_CONNECT* connect, DWORD desiredAccess, HANDLE* pin) = 0;

    // The present interfaces of KSCATEGORY_AUDIO with their render and
    // capture aliases (SetupDiGetClassDevsA with DIGCF_PRESENT |
    // DIGCF_DEVICEINTERFACE, SetupDiEnumDeviceInterfaces,
    // SetupDiGetDeviceInterfaceDetailA, SetupDiGetDeviceInterfaceAlias).
    // Interfaces whose details cannot be read are left out. False (and an
    // empty list) when the system's interface list cannot be obtained; an
    // empty list is a success. Every call is one enumeration pass: the
    // simulator re-reads its bus file here.
    virtual bool listAudioInterfaces(std::vector<AudioInterfaceInfo>& interfaces) = 0;

    // The device tree (CM_Get_Parent, CM_Get_Child, CM_Get_Sibling,
    // CM_Get_Device_ID_Size, CM_Get_Device_IDA). Flags are 0. The id size
    // excludes the terminator; CM_Get_Device_IDA stores the terminator when it
    // fits and answers CR_BUFFER_SMALL when not even the id fits.
    virtual CONFIGRET cmGetParent(DEVINST* parent, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET cmGetChild(DEVINST* child, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET cmGetSibling(DEVINST* sibling, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG flags) = 0;
    virtual CONFIGRET cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG flags) = 0;

    // CM_Get_Device_Interface_List_Size and CM_Get_Device_Interface_ListA
    // with CM_GET_DEVICE_INTERFACE_LIST_PRESENT: the paths of the present
    // interfaces of a class that the device instance `deviceId` exposes
    // (an empty list when it exposes none).
    virtual CONFIGRET cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                               std::vector<std::string>& paths) = 0;

    // HidD_GetSerialNumberString on a handle from openDevice() on a HID path:
    // the serial number string descriptor as UTF-16 (little-endian units),
    // terminated when it fits in bufferBytes.
    virtual bool hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) = 0;

    // RegisterDeviceNotification with DBT_DEVTYP_HANDLE: query-remove,
    // query-remove-failed, remove-pending and remove-complete of the device
    // behind an open handle. The watch outlives the handle: a device whose
    // removal was called off is told so after its handles were closed.
    // 0 when the system refuses.
    virtual DeviceWatch watchDevice(HANDLE device, DeviceNoticeSinkIf* sink, uint64_t cookie) = 0;
    // RegisterDeviceNotification with DBT_DEVTYP_DEVICEINTERFACE: arrivals
    // and removals of interfaces of the class.
    virtual DeviceWatch watchInterfaceClass(const GUID& interfaceClass, DeviceNoticeSinkIf* sink,
                                            uint64_t cookie) = 0;
    // UnregisterDeviceNotification. No notice of the watch starts after this
    // returns; one already being delivered on another thread may still run,
    // so a sink outlives its watches until flushNotices has returned.
    virtual void unwatch(DeviceWatch watch) = 0;
    // Returns once no notice is being delivered on another thread (and, with
    // no watch left, ends the boundary's notice thread). Call it without
    // holding any lock a sink takes.
    virtual void flushNotices() = 0;
};

// The process's device boundary, chosen once (see the top of this file).
// Defined in sim/boundary_select.cpp.
DeviceBoundaryIf& deviceBoundary();
// Replaces the process's boundary until called again; nullptr goes back to
// the one chosen by the rules above. The caller keeps ownership and keeps
// the object alive while installed. Tests install their own simulated bus.
void installDeviceBoundary(DeviceBoundaryIf* boundary);
// releaseDeviceBoundary() is declared in platform/device_release.h.

// Name of the environment variable that names a simulated device bus file.
constexpr const char* kSimulatedBusVariable = "KSASIO_SIM_BUS";

#if defined(_WIN32)
// The real Windows boundary (platform/win32/device_win32.cpp), one per process.
DeviceBoundaryIf& win32DeviceBoundary();
#endif

}  // namespace os
