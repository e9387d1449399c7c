// The real device boundary: thin wrappers over the Win32 file and device I/O
// calls, SetupAPI, the configuration manager, the HID library, KsCreatePin
// from ksuser.dll (bound at run time) and device notifications.
#include <atomic>
#include <cstring>

#include "platform/device.h"
#include "platform/os.h"
#include "platform/trace.h"
#include "platform/win32/device_notices_win32.h"
#include "platform/win32/system_library.h"

// The mingw-w64 hidsdi.h declares its functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace os {
namespace {

// SP_DEVICE_INTERFACE_DETAIL_DATA_A with room for the longest path the
// driver keeps (528 bytes in all).
constexpr DWORD kInterfaceDetailBytes = 528;

using KsCreatePinProc = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

class Win32DeviceBoundary final : public DeviceBoundaryIf {
public:
    HANDLE openDevice(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes) override {
        if (path == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        return CreateFileA(path, desiredAccess, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
    }

    bool closeDevice(HANDLE device) override { return CloseHandle(device) != FALSE; }

    bool deviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize, void* outBuffer,
                         DWORD outSize, DWORD* bytesReturned, OVERLAPPED* overlapped) override {
        return DeviceIoControl(device, ioControlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                               overlapped) != FALSE;
    }

    bool getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, bool wait) override {
        DWORD bytes = 0;
        BOOL done = GetOverlappedResult(device, overlapped, &bytes, wait ? TRUE : FALSE);
        if (bytesTransferred != nullptr) *bytesTransferred = bytes;
        return done != FALSE;
    }

    // CancelIoEx, not CancelIo: the packets were started by the streaming
    // thread, and CancelIo cancels only the calling thread's requests.
    bool cancelIo(HANDLE device) override {
        if (CancelIoEx(device, nullptr) != FALSE) return true;
        return GetLastError() == ERROR_NOT_FOUND;  // nothing was pending
    }

    DWORD ksCreatePin(HANDLE filter, const KSPIN_CONNECT* connect, DWORD desiredAccess, HANDLE* pin) override {
        KsCreatePinProc proc = bindKsCreatePin();
        if (proc == nullptr) return ERROR_FILE_NOT_FOUND;
        return proc(filter, const_cast<PKSPIN_CONNECT>(connect), desiredAccess, pin);
    }

    bool listAudioInterfaces(std::vector<AudioInterfaceInfo>& interfaces) override {
        interfaces.clear();
        HDEVINFO set = SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (set == INVALID_HANDLE_VALUE) {
            TRACE("Win32DeviceBoundary::listAudioInterfaces SetupDiGetClassDevs failed (%lu)", GetLastError());
            return false;
        }
        union {
            SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
            char bytes[kInterfaceDetailBytes];
        } buffer;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA interfaceData{};
            interfaceData.cbSize = sizeof(interfaceData);
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, index, &interfaceData)) break;

            std::memset(&buffer, 0, sizeof(buffer));
            buffer.detail.cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            SP_DEVINFO_DATA deviceData{};
            deviceData.cbSize = sizeof(deviceData);
            if (!SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, &buffer.detail, kInterfaceDetailBytes, nullptr,
                                                  &deviceData))
                continue;
            buffer.bytes[kInterfaceDetailBytes - 1] = '\0';

            AudioInterfaceInfo info;
            info.path = buffer.detail.DevicePath;
            info.deviceInstance = deviceData.DevInst;
            info.renderAliasFlags = aliasFlags(set, interfaceData, KSCATEGORY_RENDER);
            info.captureAliasFlags = aliasFlags(set, interfaceData, KSCATEGORY_CAPTURE);
            interfaces.push_back(std::move(info));
        }
        SetupDiDestroyDeviceInfoList(set);
        return true;
    }

    CONFIGRET cmGetParent(DEVINST* parent, DEVINST node, ULONG flags) override {
        return CM_Get_Parent(parent, node, flags);
    }
    CONFIGRET cmGetChild(DEVINST* child, DEVINST node, ULONG flags) override { return CM_Get_Child(child, node, flags); }
    CONFIGRET cmGetSibling(DEVINST* sibling, DEVINST node, ULONG flags) override {
        return CM_Get_Sibling(sibling, node, flags);
    }
    CONFIGRET cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG flags) override {
        return CM_Get_Device_ID_Size(size, node, flags);
    }
    CONFIGRET cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG flags) override {
        return CM_Get_Device_IDA(node, buffer, bufferLength, flags);
    }

    CONFIGRET cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                       std::vector<std::string>& paths) override {
        paths.clear();
        if (deviceId == nullptr) return CR_INVALID_POINTER;
        GUID classCopy = interfaceClass;
        std::vector<char> id(deviceId, deviceId + std::strlen(deviceId) + 1);
        // The list may grow between the size and the fetch; ask again then.
        for (int attempt = 0; attempt < 4; ++attempt) {
            ULONG length = 0;
            CONFIGRET result = CM_Get_Device_Interface_List_SizeA(&length, &classCopy, id.data(),
                                                                  CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
            if (result != CR_SUCCESS) return result;
            if (length <= 1) return CR_SUCCESS;
            std::vector<char> list(length + 1, '\0');
            result = CM_Get_Device_Interface_ListA(&classCopy, id.data(), list.data(), length,
                                                   CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
            if (result == CR_BUFFER_SMALL) continue;
            if (result != CR_SUCCESS) return result;
            for (const char* entry = list.data(); *entry != '\0'; entry += std::strlen(entry) + 1)
                paths.emplace_back(entry);
            return CR_SUCCESS;
        }
        return CR_BUFFER_SMALL;
    }

    bool hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) override {
        return HidD_GetSerialNumberString(hidDevice, buffer, bufferBytes) != FALSE;
    }

    DeviceWatch watchDevice(HANDLE device, DeviceNoticeSinkIf* sink, uint64_t cookie) override {
        return notices_.watchHandle(device, sink, cookie);
    }
    DeviceWatch watchInterfaceClass(const GUID& interfaceClass, DeviceNoticeSinkIf* sink, uint64_t cookie) override {
        return notices_.watchClass(interfaceClass, sink, cookie);
    }
    void unwatch(DeviceWatch watch) override { notices_.unwatch(watch); }
    void flushNotices() override { notices_.flush(); }

private:
    static DWORD aliasFlags(HDEVINFO set, SP_DEVICE_INTERFACE_DATA& interfaceData, const GUID& category) {
        SP_DEVICE_INTERFACE_DATA alias{};
        alias.cbSize = sizeof(alias);
        if (!SetupDiGetDeviceInterfaceAlias(set, &interfaceData, &category, &alias)) return 0;
        return alias.Flags;
    }

    // Bound once per process and never released; a failed load is retried by
    // the next call. Concurrent first calls at worst both load the library,
    // which only raises its reference count. Only the system's own copy is
    // loaded: a ksuser.dll beside the host or in its current folder would
    // otherwise run inside every program that loads the driver.
    KsCreatePinProc bindKsCreatePin() {
        KsCreatePinProc proc = ksCreatePin_.load(std::memory_order_acquire);
        if (proc != nullptr) return proc;
        HMODULE library = loadSystemLibrary("ksuser.dll");
        if (library == nullptr) {
            TRACE("Win32DeviceBoundary: ksuser.dll cannot be loaded (%lu)", GetLastError());
            return nullptr;
        }
        proc = reinterpret_cast<KsCreatePinProc>(reinterpret_cast<void*>(GetProcAddress(library, "KsCreatePin")));
        if (proc == nullptr) {
            TRACE("Win32DeviceBoundary: ksuser.dll has no KsCreatePin");
            return nullptr;
        }
        ksCreatePin_.store(proc, std::memory_order_release);
        return proc;
    }

    std::atomic<KsCreatePinProc> ksCreatePin_{nullptr};
    DeviceNoticeService notices_;
};

}  // namespace

DeviceBoundaryIf& win32DeviceBoundary() {
    static Win32DeviceBoundary boundary;
    return boundary;
}

}  // namespace os
