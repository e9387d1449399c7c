#include "ks/ks_pin.h"

#include <cstring>

#include "base/utilities.h"
#include "ks/ks_filter.h"
#include "platform/device.h"
#include "platform/errors.h"
#include "platform/os.h"
#include "platform/trace.h"

CKsPin::CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* result)
    : CKsIrpTarget(INVALID_HANDLE_VALUE),
      m_pinId(pinId),
      m_filter(filter),
      m_category(GUID_NULL),
      m_instances{0, 0},
      m_globalInstances{0, 0} {
    std::memset(m_name, 0, sizeof(m_name));
    HRESULT initResult = Init();
    if (result != nullptr) *result = initResult;
}

CKsPin::~CKsPin() {
    ClosePin();
    FreeBuffer(m_connect);
    FreeBuffer(m_interfaceItems);
    FreeBuffer(m_mediumItems);
    FreeBuffer(m_dataRangeItems);
}

namespace {

// Reads one multi-item pin property and keeps it only when its items fit in
// what the device delivered; a reply that does not is dropped as unread.
bool ReadItems(CKsFilter& filter, ULONG pinId, ULONG propertyId, ULONG itemSize, KSMULTIPLE_ITEM** items,
               ULONG* count) {
    KSMULTIPLE_ITEM* buffer = nullptr;
    ULONG bytes = 0;
    HRESULT result = filter.GetPinPropertyMulti(pinId, KSPROPSETID_Pin, propertyId, &buffer, &bytes);
    bool fits = result >= 0 && (itemSize == 0 ? ksreply::DataRangesFit(buffer, bytes)
                                              : ksreply::FixedItemsFit(buffer, bytes, itemSize));
    if (!fits) {
        if (result >= 0) TRACE("CKsPin::Init: malformed reply to pin property %u", static_cast<unsigned>(propertyId));
        CKsIrpTarget::FreeBuffer(buffer);
        return false;
    }
    *items = buffer;
    *count = ksreply::ItemCount(buffer);
    return true;
}

template <typename T>
const T* FirstItem(KSMULTIPLE_ITEM* items) {
    return reinterpret_cast<const T*>(reinterpret_cast<const uint8_t*>(items) + sizeof(KSMULTIPLE_ITEM));
}

}  // namespace

HRESULT CKsPin::Init() {
    if (m_filter == nullptr) return E_INVALIDARG;
    CKsFilter& filter = *m_filter;
    const int pin = static_cast<int>(m_pinId);
    (void)pin;  // only the trace uses it
    bool failed = false;

    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &m_communication,
                                    sizeof(m_communication)) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION on PinID: %d", pin);
        failed = true;
    }

    if (ReadItems(filter, m_pinId, KSPROPERTY_PIN_INTERFACES, sizeof(KSPIN_INTERFACE), &m_interfaceItems,
                  &m_interfaceCount)) {
        m_interfaces = FirstItem<KSPIN_INTERFACE>(m_interfaceItems);
    } else {
        TRACE("Failed to retrieve pin property KSPROPETY_PIN_INTERFACES on PinID: %d", pin);
        failed = true;
    }

    if (ReadItems(filter, m_pinId, KSPROPERTY_PIN_MEDIUMS, sizeof(KSPIN_MEDIUM), &m_mediumItems, &m_mediumCount)) {
        m_mediums = FirstItem<KSPIN_MEDIUM>(m_mediumItems);
    } else {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_MEDIUMS on PinID: %d", pin);
        failed = true;
    }

    if (ReadItems(filter, m_pinId, KSPROPERTY_PIN_DATARANGES, 0, &m_dataRangeItems, &m_dataRangeCount)) {
        m_dataRanges = FirstItem<KSDATARANGE>(m_dataRangeItems);
    } else {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_DATARANGES on PinID: %d", pin);
        failed = true;
    }

    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &m_dataFlow,
                                    sizeof(m_dataFlow)) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW on PinID: %d", pin);
        failed = true;
    }

    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, &m_instances,
                                    sizeof(m_instances)) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_CINSTANCES on PinID: %d", pin);
        failed = true;
    }
    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_GLOBALCINSTANCES, &m_globalInstances,
                                    sizeof(m_globalInstances)) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_GLOBALCINSTANCES on PinID: %d", pin);
        failed = true;
    }
    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_CATEGORY, &m_category,
                                    sizeof(m_category)) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: %d", pin);
        failed = true;
    }
    // Two bytes short of the field, so the UTF-16 text stays terminated.
    if (filter.GetPinPropertySimple(m_pinId, KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, m_name, kNameBytes - 2) < 0) {
        TRACE("Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: %d", pin);
        std::memset(m_name, 0, sizeof(m_name));
        failed = true;
    }
    return failed ? 1 : S_OK;
}

bool CKsPin::InstancesUsedUp() const {
    auto usedUp = [](const KSPIN_CINSTANCES& counts) {
        return counts.PossibleCount != 0 && counts.CurrentCount >= counts.PossibleCount;
    };
    return usedUp(m_instances) || usedUp(m_globalInstances);
}

HRESULT CKsPin::GetDataFlow(ULONG* dataFlow) const {
    if (dataFlow != nullptr) *dataFlow = m_dataFlow;
    return S_OK;
}

HRESULT CKsPin::GetCommunication(ULONG* communication) const {
    if (communication != nullptr) *communication = m_communication;
    return S_OK;
}

KSPIN_INTERFACE CKsPin::GetInterface(ULONG index) const {
    KSPIN_INTERFACE item;
    std::memset(&item, 0, sizeof(item));
    if (index < m_interfaceCount) std::memcpy(&item, m_interfaces + index, sizeof(item));
    return item;
}

KSPIN_MEDIUM CKsPin::GetMedium(ULONG index) const {
    KSPIN_MEDIUM item;
    std::memset(&item, 0, sizeof(item));
    if (index < m_mediumCount) std::memcpy(&item, m_mediums + index, sizeof(item));
    return item;
}

HRESULT CKsPin::Instantiate(bool looped) {
    TRACE_ENTER("CKsPin::Instantiate");
    if (m_connect == nullptr) {
        TRACE_LEAVE_HEX("CKsPin::Instantiate", S_OK);
        return S_OK;
    }
    // A second instance would leak the first handle.
    ClosePin();
    m_looped = looped;
    m_connect->Interface.Id = looped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
    HANDLE pin = INVALID_HANDLE_VALUE;
    DWORD error = os::deviceBoundary().ksCreatePin(m_filter->GetHandle(), m_connect, GENERIC_READ | GENERIC_WRITE, &pin);
    HRESULT result = S_OK;
    if (error != 0) {
        result = static_cast<HRESULT>(error);
        if (result > 0) result = static_cast<HRESULT>(0x80070000u | (error & 0xFFFFu));
        if (result >= 0) result = E_FAIL;
        TRACE("Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(result));
    } else if (!IsValidHandle(pin)) {
        TRACE("Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(E_FAIL));
        result = E_FAIL;
    } else {
        m_handle = pin;
        m_state = KSSTATE_STOP;
    }
    TRACE_LEAVE_HEX("CKsPin::Instantiate", result);
    return result;
}

HRESULT CKsPin::SetState(KSSTATE state) {
    ULONG value = static_cast<ULONG>(state);
    HRESULT result = SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof(value));
    if (result >= 0) m_state = state;
    return result;
}

HRESULT CKsPin::GetAllocatorFraming(KSALLOCATOR_FRAMING* framing) {
    if (framing == nullptr) return E_INVALIDARG;
    if (!IsValidHandle(m_handle)) return E_FAIL;
    return GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, framing,
                             sizeof(*framing));
}

void CKsPin::ClosePin() {
    if (!IsValidHandle(m_handle)) return;
    // The documented transitions, one step at a time (a running pin goes
    // through PAUSE and ACQUIRE to STOP): drivers may refuse a jump, and a
    // pin closed while it runs leaves its stream to the driver's clean-up.
    while (m_state > KSSTATE_STOP && SetState(static_cast<KSSTATE>(m_state - 1)) >= 0) {
    }
    SafeCloseHandle(m_handle);
    m_state = KSSTATE_STOP;
}

namespace {
bool StartStreamRequest(HANDLE pin, DWORD code, KSSTREAM_HEADER* header, OVERLAPPED* overlapped, uint32_t* error) {
    DWORD returned = 0;
    if (os::deviceBoundary().deviceIoControl(pin, code, nullptr, 0, header, header->Size, &returned, overlapped))
        return true;
    *error = os::lastError();
    return *error == os::kErrorIoPending;
}
}  // namespace

HRESULT CKsPin::WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    if (header == nullptr || overlapped == nullptr) return E_INVALIDARG;
    if (!IsValidHandle(m_handle)) return E_FAIL;
    uint32_t error = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (StartStreamRequest(m_handle, IOCTL_KS_WRITE_STREAM, header, overlapped, &error)) return S_OK;
        if (error != os::kErrorCrc) break;
    }
    TRACE("CKsPin::WriteData's DeviceIoControl Failed!  Error #%i: %s", static_cast<int>(error),
          getSystemErrorText(error));
    return E_FAIL;
}

HRESULT CKsPin::ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped) {
    if (header == nullptr || overlapped == nullptr) return E_INVALIDARG;
    if (!IsValidHandle(m_handle)) return E_FAIL;
    uint32_t error = 0;
    if (StartStreamRequest(m_handle, IOCTL_KS_READ_STREAM, header, overlapped, &error)) return S_OK;
    TRACE("DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(error));
    return E_FAIL;
}

HRESULT CKsPin::GetStreamResult(OVERLAPPED* overlapped) {
    if (overlapped == nullptr) return E_INVALIDARG;
    if (!IsValidHandle(m_handle)) {
        // No handle to ask: the status the system leaves in the record
        // (HasOverlappedIoCompleted) is all there is.
        const uint32_t status = static_cast<uint32_t>(*static_cast<volatile ULONG_PTR*>(&overlapped->Internal));
        if (status == ksabi::kStatusPending) return S_FALSE;
        return status == ksabi::kStatusSuccess ? S_OK : os::hresultFromWin32(ksabi::win32ErrorFromStatus(status));
    }
    DWORD bytes = 0;
    if (os::deviceBoundary().getOverlappedResult(m_handle, overlapped, &bytes, false)) return S_OK;
    const uint32_t error = os::lastError();
    if (error == os::kErrorIoIncomplete) return S_FALSE;
    return error != 0 ? os::hresultFromWin32(error) : E_FAIL;
}

void CKsPin::CancelStreams() {
    if (IsValidHandle(m_handle)) os::deviceBoundary().cancelIo(m_handle);
}

bool CKsPin::AwaitStreamRequest(OVERLAPPED* overlapped, uint32_t timeoutMs) {
    if (overlapped == nullptr) return true;
    const os::Handle event = ksabi::completionEvent(*overlapped);
    const uint64_t deadline = os::nanoseconds() + uint64_t(timeoutMs) * 1000000u;
    // Polled: the event is auto-reset and another waiter may have taken its
    // signal; the outcome itself is what tells.
    while (GetStreamResult(overlapped) == S_FALSE) {
        if (os::nanoseconds() >= deadline) return false;
        if (event != nullptr) os::waitForOne(event, 1);
    }
    return true;
}
