// The common base of every object that owns a Kernel Streaming handle, and
// the synchronous property requests built on one device I/O control.
//
// Every KS handle is opened for overlapped I/O, so each request carries an
// OVERLAPPED with an event of its own and waits for it when the device
// queues the request. All device calls go through os::deviceBoundary().
#pragma once

#include "platform/ks_abi.h"

class CKsIrpTarget {
public:
    explicit CKsIrpTarget(HANDLE handle = INVALID_HANDLE_VALUE);
    CKsIrpTarget(const CKsIrpTarget&) = delete;
    CKsIrpTarget& operator=(const CKsIrpTarget&) = delete;

    HANDLE GetHandle() const { return m_handle; }

    // Neither null nor INVALID_HANDLE_VALUE.
    static bool IsValidHandle(HANDLE handle);
    // Closes a valid device handle and leaves INVALID_HANDLE_VALUE behind;
    // true without doing anything for an invalid one.
    static bool SafeCloseHandle(HANDLE& handle);

    // One device I/O control, completed before returning. A property size
    // query (IOCTL_KS_PROPERTY with no output buffer) that the device answers
    // with ERROR_MORE_DATA or ERROR_INSUFFICIENT_BUFFER succeeds and leaves
    // the size needed in *bytesReturned.
    static HRESULT SyncIoctl(HANDLE handle, DWORD ioControlCode, void* inBuffer, ULONG inSize, void* outBuffer,
                             ULONG outSize, ULONG* bytesReturned = nullptr);

    // Writes one property on this object's handle. The value travels as the
    // output buffer; the extra bytes follow the property request.
    HRESULT SetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize, void* extra = nullptr,
                              ULONG extraSize = 0);

    // Reads a fixed-size property of this object's handle; E_FAIL when the
    // device delivers fewer bytes than the value has.
    HRESULT GetPropertySimple(const GUID& set, ULONG id, void* value, ULONG valueSize);

    // Reads a variable-size property into a buffer it allocates. The caller
    // initialises *buffer to null and frees it with FreeBuffer in any case.
    // *replyBytes (optional) receives how many bytes the device delivered.
    HRESULT GetPropertyMulti(const GUID& set, ULONG id, KSMULTIPLE_ITEM** buffer, ULONG* replyBytes = nullptr);

    // Buffers of GetPropertyMulti and CKsFilter::GetPinPropertyMulti.
    static void FreeBuffer(void* buffer);

protected:
    // The two steps of a variable-size read: the size query, then the
    // allocation of `size` bytes and the fetch. The fetch refuses sizes that
    // cannot hold a KSMULTIPLE_ITEM or exceed ksreply::kMaxPropertyBytes,
    // and replies shorter than the header.
    static HRESULT QueryPropertySize(HANDLE handle, void* request, ULONG requestSize, ULONG* size);
    static HRESULT FetchMultiProperty(HANDLE handle, void* request, ULONG requestSize, ULONG size,
                                      KSMULTIPLE_ITEM** buffer, ULONG* replyBytes);

    HANDLE m_handle;
};
