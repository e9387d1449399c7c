#include "ks/ks_irp_target.h"

#include <cstdint>
#include <cstring>

#include "base/heap.h"
#include "ks/ks_reply_checks.h"
#include "platform/device.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/trace.h"

CKsIrpTarget::CKsIrpTarget(HANDLE handle) : m_handle(handle) {}

bool CKsIrpTarget::IsValidHandle(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

bool CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
    if (!IsValidHandle(handle)) return true;
    bool closed = os::deviceBoundary().closeDevice(handle);
    handle = INVALID_HANDLE_VALUE;
    return closed;
}

namespace {

KSPROPERTY PropertyRequest(const GUID& set, ULONG id, ULONG flags) {
    KSPROPERTY property;
    std::memset(&property, 0, sizeof(property));
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

bool IsSizeQueryAnswer(uint32_t error, DWORD ioControlCode, ULONG outSize) {
    return (error == os::kErrorMoreData || error == os::kErrorInsufficientBuffer) &&
           ioControlCode == IOCTL_KS_PROPERTY && outSize == 0;
}

// Waits for a queued request and collects its outcome. The device reports
// failures of queued requests only through the overlapped result, so that
// is read too: a request that failed after being queued is a failure, and
// its byte count (or, for a size query, the size needed) is the real one.
HRESULT FinishPendingRequest(HANDLE handle, os::Handle event, OVERLAPPED* overlapped, DWORD ioControlCode,
                             ULONG outSize, ULONG* bytesReturned) {
    uint32_t wait = os::waitForOne(event, os::kInfinite);
    if (wait != os::kWaitObject0) {
        TRACE("CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x", static_cast<unsigned>(wait));
        *bytesReturned = 0;
        return E_FAIL;
    }
    DWORD transferred = 0;
    if (os::deviceBoundary().getOverlappedResult(handle, overlapped, &transferred, false)) {
        *bytesReturned = transferred;
        return S_OK;
    }
    uint32_t error = os::lastError();
    if (IsSizeQueryAnswer(error, ioControlCode, outSize)) {
        *bytesReturned = transferred;
        return S_OK;
    }
    TRACE("CKsIrpTarget::SyncIoctl queued request failed, error %u", static_cast<unsigned>(error));
    *bytesReturned = 0;
    return E_FAIL;
}

}  // namespace

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, DWORD ioControlCode, void* inBuffer, ULONG inSize, void* outBuffer,
                                ULONG outSize, ULONG* bytesReturned) {
    if (!IsValidHandle(handle)) {
        TRACE("CKsIrpTarget::SyncIoctl Invalid Handle");
        return E_FAIL;
    }
    ULONG localBytes = 0;
    if (bytesReturned == nullptr) bytesReturned = &localBytes;

    os::Handle event = os::createEvent(false, false);
    if (event == nullptr) {
        TRACE("CKsIrpTarget::SyncIoctl CreateEvent failed");
        return E_OUTOFMEMORY;
    }
    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof(overlapped));
    // The low bit keeps the completion away from a completion port bound to
    // the handle.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1u);

    HRESULT result = S_OK;
    DWORD returned = 0;
    if (os::deviceBoundary().deviceIoControl(handle, ioControlCode, inBuffer, inSize, outBuffer, outSize, &returned,
                                             &overlapped)) {
        *bytesReturned = returned;
    } else {
        uint32_t error = os::lastError();
        if (error == os::kErrorIoPending) {
            result = FinishPendingRequest(handle, event, &overlapped, ioControlCode, outSize, bytesReturned);
        } else if (IsSizeQueryAnswer(error, ioControlCode, outSize)) {
            *bytesReturned = returned;
        } else {
            *bytesReturned = 0;
            result = E_FAIL;
        }
    }
    os::closeHandle(event);
    return result;
}

HRESULT CKsIrpTarget::SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, void* extra,
                                        ULONG extraSize) {
    if (extraSize > ksreply::kMaxPropertyBytes) return E_INVALIDARG;
    ULONG requestSize = static_cast<ULONG>(sizeof(KSPROPERTY)) + extraSize;
    auto* request = static_cast<uint8_t*>(heap::reallocate(nullptr, requestSize));
    if (request == nullptr) return E_OUTOFMEMORY;
    KSPROPERTY property = PropertyRequest(set, id, KSPROPERTY_TYPE_SET);
    std::memcpy(request, &property, sizeof(property));
    if (extra != nullptr && extraSize > 0) std::memcpy(request + sizeof(property), extra, extraSize);
    HRESULT result = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, request, requestSize, value, valueSize, nullptr);
    heap::release(request);
    return result;
}

HRESULT CKsIrpTarget::GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize) {
    if (value == nullptr || valueSize == 0) return E_INVALIDARG;
    KSPROPERTY property = PropertyRequest(set, id, KSPROPERTY_TYPE_GET);
    ULONG returned = 0;
    const HRESULT result = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &property, sizeof(property), value, valueSize, &returned);
    if (result < 0) return result;
    // A reply shorter than the value leaves part of it unread.
    return returned == valueSize ? S_OK : E_FAIL;
}

HRESULT CKsIrpTarget::GetPropertyMulti(const GUID& set, ULONG id, KSMULTIPLE_ITEM** buffer, ULONG* replyBytes) {
    if (replyBytes != nullptr) *replyBytes = 0;
    if (buffer == nullptr) return E_INVALIDARG;
    KSPROPERTY property = PropertyRequest(set, id, KSPROPERTY_TYPE_GET);
    ULONG size = 0;
    HRESULT result = QueryPropertySize(m_handle, &property, sizeof(property), &size);
    // An empty property has no items and no buffer.
    if (result < 0 || size == 0) return result;
    return FetchMultiProperty(m_handle, &property, sizeof(property), size, buffer, replyBytes);
}

HRESULT CKsIrpTarget::QueryPropertySize(HANDLE handle, void* request, ULONG requestSize, ULONG* size) {
    *size = 0;
    return SyncIoctl(handle, IOCTL_KS_PROPERTY, request, requestSize, nullptr, 0, size);
}

HRESULT CKsIrpTarget::FetchMultiProperty(HANDLE handle, void* request, ULONG requestSize, ULONG size,
                                         KSMULTIPLE_ITEM** buffer, ULONG* replyBytes) {
    if (replyBytes != nullptr) *replyBytes = 0;
    // A multi-item reply holds at least its header; a size beyond any real
    // filter's is refused rather than allocated.
    if (size < sizeof(KSMULTIPLE_ITEM) || size > ksreply::kMaxPropertyBytes) {
        TRACE("CKsIrpTarget: implausible property size %u", static_cast<unsigned>(size));
        return E_FAIL;
    }
    void* block = heap::reallocate(nullptr, size);
    if (block == nullptr) return E_OUTOFMEMORY;
    *buffer = static_cast<KSMULTIPLE_ITEM*>(block);
    ULONG fetched = 0;
    HRESULT result = SyncIoctl(handle, IOCTL_KS_PROPERTY, request, requestSize, block, size, &fetched);
    if (result < 0) return result;
    if (fetched > size) fetched = size;
    if (fetched < sizeof(KSMULTIPLE_ITEM)) {
        TRACE("CKsIrpTarget: property reply of %u bytes lacks its header", static_cast<unsigned>(fetched));
        return E_FAIL;
    }
    if (replyBytes != nullptr) *replyBytes = fetched;
    return S_OK;
}

void CKsIrpTarget::FreeBuffer(void* buffer) { heap::release(buffer); }
