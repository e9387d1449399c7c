// Device notifications for the real device boundary: RegisterDeviceNotification
// on a hidden message-only window that a thread of its own serves, started
// with the first watch and ended by flush() once no watch is left (so that a
// driver library that is unloaded leaves no thread of ours behind).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>

#include "platform/device.h"

namespace os {

class DeviceNoticeService {
public:
    DeviceNoticeService();
    ~DeviceNoticeService();
    DeviceNoticeService(const DeviceNoticeService&) = delete;
    DeviceNoticeService& operator=(const DeviceNoticeService&) = delete;

    DeviceWatch watchHandle(HANDLE device, DeviceNoticeSinkIf* sink, uint64_t cookie);
    DeviceWatch watchClass(const GUID& interfaceClass, DeviceNoticeSinkIf* sink, uint64_t cookie);
    void unwatch(DeviceWatch watch);
    void flush();

private:
    struct Registration {
        HDEVNOTIFY notify;
        DeviceNoticeSinkIf* sink;
        uint64_t cookie;
        bool handle;
        GUID interfaceClass;
    };

    bool ensureThread();
    void stopThread();
    DeviceWatch add(void* filter, const Registration& registration);
    static DWORD WINAPI threadMain(void* service);
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void dispatch(WPARAM event, const void* header);

    CRITICAL_SECTION lock_;
    std::map<DeviceWatch, Registration> watches_;
    DeviceWatch next_ = 1;
    HANDLE thread_ = nullptr;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
    HANDLE ready_ = nullptr;
    std::atomic<int> delivering_{0};
};

}  // namespace os
