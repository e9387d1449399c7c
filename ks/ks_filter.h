// One KS filter of one device, named by its device interface path: opens
// it, builds one pin object per pin index and sorts the pins by data flow
// and communication. The pins and nodes belong to the filter.
#pragma once

#include "base/vector.h"
#include "ks/ks_irp_target.h"
#include "ks/ks_pin.h"

// One topology node of a filter.
class CKsNode {
public:
    CKsNode(HANDLE filter, ULONG nodeId, const GUID& type)
        : m_handle(filter), m_nodeId(nodeId), m_cpuResources(KSAUDIO_CPU_RESOURCES_UNINITIALIZED), m_type(type) {}

    HANDLE GetHandle() const { return m_handle; }  // the filter's; not owned
    ULONG GetNodeId() const { return m_nodeId; }
    ULONG GetCpuResources() const { return m_cpuResources; }
    const GUID& GetType() const { return m_type; }

private:
    HANDLE m_handle;
    ULONG m_nodeId;
    ULONG m_cpuResources;
    GUID m_type;
};

using CKsPinList = Vector<CKsPin*>;
using CKsNodeList = Vector<CKsNode*>;

class CKsFilter : public CKsIrpTarget {
public:
    // Field sizes, terminator included.
    static constexpr size_t kNameSize = 260;

    enum FilterType : ULONG { kTypeNone = 0, kTypeRender = 1, kTypeCapture = 2 };

    // *result: S_OK, or E_INVALIDARG for a missing path or one that does not
    // fit its field (a cut path would name another device). A friendly name
    // that does not fit is cut.
    CKsFilter(const char* devicePath, const char* friendlyName, HRESULT* result);
    virtual ~CKsFilter();

    // Opens the filter; S_OK at once when it is open already.
    virtual HRESULT Instantiate();
    // Drops all pins and nodes and closes the filter handle.
    virtual bool Deinstantiate();
    virtual HRESULT EnumerateNodes();
    // Rebuilds the pin lists from the filter's pins.
    virtual HRESULT EnumeratePins();
    virtual HRESULT DestroyLists();

    HRESULT ClassifyPins();

    HRESULT GetPinPropertySimple(ULONG pinId, const GUID& set, ULONG id, void* value, ULONG valueSize);
    // Size query, allocation and fetch; the caller initialises *buffer to null
    // and frees it with FreeBuffer in any case. *replyBytes (optional) is what
    // the device delivered.
    HRESULT GetPinPropertyMulti(ULONG pinId, const GUID& set, ULONG id, KSMULTIPLE_ITEM** buffer,
                                ULONG* replyBytes = nullptr);

    ULONG GetFilterType() const { return m_filterType; }
    static const char* FilterTypeName(ULONG type);
    const char* GetDevicePath() const { return m_devicePath; }
    const char* GetFriendlyName() const { return m_friendlyName; }

    const CKsPinList& Pins() const { return m_pins; }
    const CKsPinList& RenderSinkPins() const { return m_renderSinkPins; }
    const CKsPinList& CaptureSourcePins() const { return m_captureSourcePins; }
    const CKsPinList& CaptureSinkPins() const { return m_captureSinkPins; }
    const CKsPinList& RenderSourcePins() const { return m_renderSourcePins; }
    const CKsPinList& NoCommunicationPins() const { return m_noCommunicationPins; }
    const CKsNodeList& Nodes() const { return m_nodes; }

protected:
    // The pin count, refused when a lying device reports more than any filter has.
    HRESULT ReadPinCount(ULONG* count);
    void DestroyNodes();
    void DestroyPins();
    bool ClassifiedListsEmpty() const;

    CKsNodeList m_nodes;
    CKsPinList m_pins;
    CKsPinList m_renderSinkPins;
    CKsPinList m_captureSourcePins;
    CKsPinList m_captureSinkPins;
    CKsPinList m_renderSourcePins;
    CKsPinList m_noCommunicationPins;
    ULONG m_filterType = kTypeNone;
    char m_devicePath[kNameSize];
    char m_friendlyName[kNameSize];
};
