// One pin of a KS filter: its description as the filter reports it and,
// once instantiated, the pin handle through which stream packets flow.
#pragma once

#include "ks/ks_irp_target.h"
#include "ks/ks_reply_checks.h"

class CKsFilter;

class CKsPin : public CKsIrpTarget {
public:
    // Size of the name field; the name is UTF-16 text as delivered, and the
    // last two bytes always stay zero so that it is terminated.
    static constexpr ULONG kNameBytes = 260;

    // Reads the description (Init); *result is Init's result: 0 all read,
    // 1 some property could not be read (still usable), negative on failure.
    CKsPin(CKsFilter* filter, ULONG pinId, HRESULT* result);
    virtual ~CKsPin();

    // Creates the pin handle through KsCreatePin with the connection request
    // (S_OK and nothing else when there is none). An open handle is closed
    // first.
    virtual HRESULT Instantiate(bool looped = false);
    // Sets KSPROPERTY_CONNECTION_STATE; the recorded state changes on success.
    virtual HRESULT SetState(KSSTATE state);
    // KSPROPERTY_CONNECTION_ALLOCATORFRAMING of the instantiated pin: how
    // large the device wants its packets. Devices need not answer.
    HRESULT GetAllocatorFraming(KSALLOCATOR_FRAMING* framing);

    HRESULT Init();
    // The values as the device reported them (KSPIN_DATAFLOW_*,
    // KSPIN_COMMUNICATION_*): a device may report values outside those
    // enumerations, which no enumeration variable may hold.
    HRESULT GetDataFlow(ULONG* dataFlow) const;
    HRESULT GetCommunication(ULONG* communication) const;

    // Steps the pin down to STOP one state at a time and closes its handle,
    // when one is open. A refused step ends the stepping; the handle is
    // closed all the same.
    void ClosePin();

    // Start one overlapped stream request; completion arrives through the
    // caller's OVERLAPPED event. A write that meets ERROR_CRC is tried once more.
    HRESULT WriteData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    HRESULT ReadData(KSSTREAM_HEADER* header, OVERLAPPED* overlapped);
    // The outcome of a stream request, without waiting (GetOverlappedResult):
    // S_OK when it completed, S_FALSE while the device still holds it, the
    // Win32 error as an HRESULT when it failed or was cancelled. A set event
    // alone proves nothing: devices complete requests with errors too.
    HRESULT GetStreamResult(OVERLAPPED* overlapped);
    // Cancels every stream request of the pin (CancelIo). They still belong
    // to the device until each one's outcome says otherwise.
    void CancelStreams();
    // Waits up to timeoutMs for a started request to be given back, done or
    // cancelled; false when the device still holds it then.
    bool AwaitStreamRequest(OVERLAPPED* overlapped, uint32_t timeoutMs);

    // KsCreatePin's answer when another program holds the pin.
    static constexpr HRESULT kHeldElsewhere = static_cast<HRESULT>(0x80070016);  // ERROR_BAD_COMMAND

    ULONG GetPinId() const { return m_pinId; }
    CKsFilter* GetFilter() const { return m_filter; }
    KSSTATE GetState() const { return m_state; }
    bool IsLooped() const { return m_looped; }
    const GUID& GetCategory() const { return m_category; }
    const KSPIN_CINSTANCES& GetInstances() const { return m_instances; }
    const KSPIN_CINSTANCES& GetGlobalInstances() const { return m_globalInstances; }
    // Every instance the pin allows exists already, on this filter or any
    // (as the counts read with the description say): another program holds it.
    bool InstancesUsedUp() const;
    const uint8_t* GetName() const { return m_name; }

    ULONG GetInterfaceCount() const { return m_interfaceCount; }
    ULONG GetMediumCount() const { return m_mediumCount; }
    ULONG GetDataRangeCount() const { return m_dataRangeCount; }
    // Items by index, copied out of the device's reply.
    KSPIN_INTERFACE GetInterface(ULONG index) const;
    KSPIN_MEDIUM GetMedium(ULONG index) const;

    const KSPIN_CONNECT* GetConnectRequest() const { return m_connect; }
    ULONG GetConnectRequestSize() const { return m_connectSize; }

protected:
    // Walks the data ranges in order; `visit` gets each range's offset in the
    // reply and its length. The reply has passed ksreply::DataRangesFit.
    template <typename Visit>
    void ForEachDataRange(Visit visit) const;
    const uint8_t* DataRangeBytes() const { return reinterpret_cast<const uint8_t*>(m_dataRangeItems); }

    KSPIN_CONNECT* m_connect = nullptr;
    ULONG m_connectSize = 0;
    ULONG m_pinId;
    CKsFilter* m_filter;
    GUID m_category;

    ULONG m_interfaceCount = 0;
    const KSPIN_INTERFACE* m_interfaces = nullptr;
    ULONG m_mediumCount = 0;
    const KSPIN_MEDIUM* m_mediums = nullptr;
    ULONG m_dataRangeCount = 0;
    const KSDATARANGE* m_dataRanges = nullptr;

    ULONG m_dataFlow = 0;
    ULONG m_communication = KSPIN_COMMUNICATION_NONE;
    KSPIN_CINSTANCES m_instances;
    KSPIN_CINSTANCES m_globalInstances;

    KSMULTIPLE_ITEM* m_interfaceItems = nullptr;
    KSMULTIPLE_ITEM* m_mediumItems = nullptr;
    KSMULTIPLE_ITEM* m_dataRangeItems = nullptr;

    KSSTATE m_state = KSSTATE_STOP;
    uint8_t m_name[kNameBytes];
    bool m_looped = false;
};

template <typename Visit>
void CKsPin::ForEachDataRange(Visit visit) const {
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < m_dataRangeCount; ++i) {
        ULONG size = ksreply::ReadDataRange(m_dataRangeItems, offset).FormatSize;
        visit(offset, size);
        offset += size;
    }
}
