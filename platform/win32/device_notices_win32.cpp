#include "platform/win32/device_notices_win32.h"

#include <dbt.h>

#include <cstring>
#include <vector>

#include "platform/trace.h"

namespace os {
namespace {

constexpr const char* kWindowClass = "KsAsioDeviceNotices";
constexpr DWORD kThreadStartMs = 5000;
constexpr DWORD kThreadStopMs = 5000;

bool noticeOf(WPARAM event, DeviceNotice* notice) {
    switch (event) {
        case DBT_DEVICEARRIVAL: *notice = DeviceNotice::Arrival; return true;
        case DBT_DEVICEQUERYREMOVE: *notice = DeviceNotice::QueryRemove; return true;
        case DBT_DEVICEQUERYREMOVEFAILED: *notice = DeviceNotice::QueryRemoveFailed; return true;
        case DBT_DEVICEREMOVEPENDING: *notice = DeviceNotice::RemovePending; return true;
        case DBT_DEVICEREMOVECOMPLETE: *notice = DeviceNotice::RemoveComplete; return true;
        default: return false;
    }
}

class Hold {
public:
    explicit Hold(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
    ~Hold() { LeaveCriticalSection(&lock_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    CRITICAL_SECTION& lock_;
};

}  // namespace

DeviceNoticeService::DeviceNoticeService() { InitializeCriticalSection(&lock_); }

DeviceNoticeService::~DeviceNoticeService() {
    // The process is ending (the boundary is a static object): the window
    // thread may be gone already, so only the lock is released.
    DeleteCriticalSection(&lock_);
}

DeviceWatch DeviceNoticeService::watchHandle(HANDLE device, DeviceNoticeSinkIf* sink, uint64_t cookie) {
    DEV_BROADCAST_HANDLE filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = device;
    return add(&filter, {nullptr, sink, cookie, true, GUID{}});
}

DeviceWatch DeviceNoticeService::watchClass(const GUID& interfaceClass, DeviceNoticeSinkIf* sink, uint64_t cookie) {
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    std::memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = interfaceClass;
    return add(&filter, {nullptr, sink, cookie, false, interfaceClass});
}

DeviceWatch DeviceNoticeService::add(void* filter, const Registration& registration) {
    if (registration.sink == nullptr) return 0;
    Hold hold(lock_);
    if (!ensureThread()) return 0;
    Registration entry = registration;
    entry.notify = RegisterDeviceNotificationA(window_, filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (entry.notify == nullptr) {
        TRACE("DeviceNoticeService: RegisterDeviceNotification failed (%lu)", GetLastError());
        return 0;
    }
    const DeviceWatch watch = next_++;
    watches_[watch] = entry;
    return watch;
}

void DeviceNoticeService::unwatch(DeviceWatch watch) {
    Hold hold(lock_);
    auto it = watches_.find(watch);
    if (it == watches_.end()) return;
    UnregisterDeviceNotification(it->second.notify);
    watches_.erase(it);
}

void DeviceNoticeService::flush() {
    // Only the window's thread delivers; from inside a notice there is
    // nothing else to wait for.
    if (GetCurrentThreadId() == threadId_) return;
    while (delivering_.load() > 0) Sleep(1);
    Hold hold(lock_);
    if (watches_.empty()) stopThread();
}

bool DeviceNoticeService::ensureThread() {
    if (window_ != nullptr) return true;
    ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ready_ == nullptr) return false;
    thread_ = CreateThread(nullptr, 0, &DeviceNoticeService::threadMain, this, 0, &threadId_);
    if (thread_ != nullptr) WaitForSingleObject(ready_, kThreadStartMs);
    CloseHandle(ready_);
    ready_ = nullptr;
    if (window_ == nullptr) {
        TRACE("DeviceNoticeService: no notice window");
        stopThread();
        return false;
    }
    return true;
}

void DeviceNoticeService::stopThread() {
    if (thread_ == nullptr) return;
    PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
    WaitForSingleObject(thread_, kThreadStopMs);
    CloseHandle(thread_);
    thread_ = nullptr;
    threadId_ = 0;
    window_ = nullptr;
}

DWORD WINAPI DeviceNoticeService::threadMain(void* argument) {
    auto* service = static_cast<DeviceNoticeService*>(argument);
    HINSTANCE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&DeviceNoticeService::windowProc), &module);
    WNDCLASSEXA windowClass;
    std::memset(&windowClass, 0, sizeof(windowClass));
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DeviceNoticeService::windowProc;
    windowClass.hInstance = module;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExA(&windowClass);
    // A message-only window: never shown, never sent broadcasts, but the
    // target of the notifications registered for it.
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, module, nullptr);
    if (window != nullptr) SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(service));
    service->window_ = window;
    SetEvent(service->ready_);
    if (window == nullptr) return 1;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DestroyWindow(window);
    UnregisterClassA(kWindowClass, module);
    return 0;
}

LRESULT CALLBACK DeviceNoticeService::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        auto* service = reinterpret_cast<DeviceNoticeService*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (service != nullptr && lParam != 0) service->dispatch(wParam, reinterpret_cast<const void*>(lParam));
        // Granting a query-remove: the handles were closed while dispatching.
        return TRUE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void DeviceNoticeService::dispatch(WPARAM event, const void* data) {
    DeviceNotice notice;
    if (!noticeOf(event, &notice)) return;
    const auto* header = static_cast<const DEV_BROADCAST_HDR*>(data);
    struct Delivery {
        DeviceNoticeSinkIf* sink;
        uint64_t cookie;
    };
    std::vector<Delivery> deliveries;
    {
        Hold hold(lock_);
        for (const auto& entry : watches_) {
            const Registration& r = entry.second;
            bool match = false;
            if (header->dbch_devicetype == DBT_DEVTYP_HANDLE && r.handle) {
                match = reinterpret_cast<const DEV_BROADCAST_HANDLE*>(header)->dbch_hdevnotify == r.notify;
            } else if (header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE && !r.handle) {
                match = IsEqualGUID(reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(header)->dbcc_classguid,
                                    r.interfaceClass) != FALSE;
            }
            if (match) deliveries.push_back({r.sink, r.cookie});
        }
        delivering_ += static_cast<int>(deliveries.size());
    }
    for (const Delivery& delivery : deliveries) {
        delivery.sink->deviceNotice(delivery.cookie, notice);
        --delivering_;
    }
}

}  // namespace os
