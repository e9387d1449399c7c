// A device boundary that is nothing but a device tree and HID serial
// strings, for shapes and lengths the simulated bus does not produce.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/device.h"

class FakeTreeBoundary final : public os::DeviceBoundaryIf {
public:
    DEVINST addNode(DEVINST parent, const std::string& id);
    // A HID device openable at `path` that answers `units` (terminated only
    // when the caller's buffer has room).
    void addHid(const std::string& path, const std::u16string& units);
    // The HID interfaces the system lists for a device instance. Without an
    // entry a HID node ("HID\...") lists the path the system derives from
    // its identifier, other nodes list none.
    std::map<std::string, std::vector<std::string>> hidInterfaces;
    int openHandles() const { return openHandles_; }

    HANDLE openDevice(const char* path, DWORD, DWORD, DWORD, DWORD) override;
    bool closeDevice(HANDLE device) override;
    bool deviceIoControl(HANDLE, DWORD, void*, DWORD, void*, DWORD, DWORD*, OVERLAPPED*) override { return false; }
    bool getOverlappedResult(HANDLE, OVERLAPPED*, DWORD*, bool) override { return false; }
    bool cancelIo(HANDLE) override { return false; }
    DWORD ksCreatePin(HANDLE, const KSPIN_CONNECT*, DWORD, HANDLE*) override { return 2; }
    bool listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) override;
    CONFIGRET cmGetParent(DEVINST* parent, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetChild(DEVINST* child, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetSibling(DEVINST* sibling, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetDeviceIdSize(ULONG* size, DEVINST node, ULONG flags) override;
    CONFIGRET cmGetDeviceId(DEVINST node, char* buffer, ULONG bufferLength, ULONG flags) override;
    CONFIGRET cmGetDeviceInterfaceList(const GUID& interfaceClass, const char* deviceId,
                                       std::vector<std::string>& paths) override;
    bool hidGetSerialNumberString(HANDLE hidDevice, void* buffer, ULONG bufferBytes) override;
    os::DeviceWatch watchDevice(HANDLE, os::DeviceNoticeSinkIf*, uint64_t) override { return 0; }
    os::DeviceWatch watchInterfaceClass(const GUID&, os::DeviceNoticeSinkIf*, uint64_t) override { return 0; }
    void unwatch(os::DeviceWatch) override {}
    void flushNotices() override {}

private:
    struct Node {
        std::string id;
        DEVINST parent = 0;
        std::vector<DEVINST> children;
    };
    std::map<DEVINST, Node> nodes_;
    DEVINST next_ = 1;
    std::vector<std::pair<std::string, std::u16string>> hids_;
    int openHandles_ = 0;
};
