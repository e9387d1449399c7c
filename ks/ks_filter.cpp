#include "ks/ks_filter.h"

#include <cstring>
#include <new>

#include "ks/ks_reply_checks.h"
#include "platform/device.h"
#include "platform/os.h"
#include "platform/trace.h"

CKsFilter::CKsFilter(const char* devicePath, const char* friendlyName, HRESULT* result)
    : CKsIrpTarget(INVALID_HANDLE_VALUE) {
    m_devicePath[0] = '\0';
    m_friendlyName[0] = '\0';
    HRESULT outcome = S_OK;
    if (devicePath == nullptr) {
        TRACE("pszName cannot be NULL");
        outcome = E_INVALIDARG;
    } else if (std::strlen(devicePath) >= kNameSize) {
        TRACE("CKsFilter: device path longer than %u characters", static_cast<unsigned>(kNameSize - 1));
        outcome = E_INVALIDARG;
    } else {
        std::memcpy(m_devicePath, devicePath, std::strlen(devicePath) + 1);
        if (friendlyName != nullptr) {
            std::strncpy(m_friendlyName, friendlyName, kNameSize - 1);
            m_friendlyName[kNameSize - 1] = '\0';
        }
    }
    if (result != nullptr) *result = outcome;
}

CKsFilter::~CKsFilter() { CKsFilter::Deinstantiate(); }

const char* CKsFilter::FilterTypeName(ULONG type) {
    switch (type) {
        case kTypeRender:
            return "PCM Audio Render";
        case kTypeCapture:
            return "PCM Audio Capture";
        default:
            return "Unknown";
    }
}

HRESULT CKsFilter::Instantiate() {
    TRACE_ENTER("CKsFilter::Instantiate");
    HRESULT result = S_OK;
    if (!IsValidHandle(m_handle)) {
        m_handle = os::deviceBoundary().openDevice(m_devicePath, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                                   FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL);
        if (!IsValidHandle(m_handle)) {
            TRACE("CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x", m_devicePath,
                  static_cast<unsigned>(os::lastError()));
            m_handle = INVALID_HANDLE_VALUE;
            result = E_FAIL;
        }
    }
    TRACE_LEAVE_HEX("CKsFilter::Instantiate", result);
    return result;
}

bool CKsFilter::Deinstantiate() {
    DestroyLists();
    return SafeCloseHandle(m_handle);
}

void CKsFilter::DestroyNodes() {
    for (CKsNode* node : m_nodes) delete node;
    m_nodes.clear();
}

HRESULT CKsFilter::DestroyLists() {
    DestroyNodes();
    DestroyPins();
    return S_OK;
}

void CKsFilter::DestroyPins() {
    // The classified lists only refer to pins of the pin list, some of them
    // twice (KSPIN_COMMUNICATION_BOTH): each pin is deleted once, from here.
    for (CKsPin* pin : m_pins) delete pin;
    m_pins.clear();
    m_renderSinkPins.clear();
    m_captureSourcePins.clear();
    m_captureSinkPins.clear();
    m_renderSourcePins.clear();
    m_noCommunicationPins.clear();
}

namespace {
KSP_PIN PinRequest(ULONG pinId, const GUID& set, ULONG id) {
    KSP_PIN request;
    std::memset(&request, 0, sizeof(request));
    request.Property.Set = set;
    request.Property.Id = id;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = pinId;
    request.Reserved = 0;
    return request;
}
}  // namespace

HRESULT CKsFilter::GetPinPropertySimple(ULONG pinId, const GUID& set, ULONG id, void* value, ULONG valueSize) {
    KSP_PIN request = PinRequest(pinId, set, id);
    return SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &request, sizeof(request), value, valueSize, nullptr);
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG pinId, const GUID& set, ULONG id, KSMULTIPLE_ITEM** buffer,
                                       ULONG* replyBytes) {
    if (replyBytes != nullptr) *replyBytes = 0;
    if (buffer == nullptr) return E_INVALIDARG;
    KSP_PIN request = PinRequest(pinId, set, id);
    ULONG size = 0;
    HRESULT result = QueryPropertySize(m_handle, &request, sizeof(request), &size);
    if (result < 0) return result;
    return FetchMultiProperty(m_handle, &request, sizeof(request), size, buffer, replyBytes);
}

HRESULT CKsFilter::ReadPinCount(ULONG* count) {
    *count = 0;
    ULONG pins = 0;
    HRESULT result = GetPinPropertySimple(0, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof(pins));
    if (result < 0) return result;
    if (pins > ksreply::kMaxPinCount) {
        TRACE("CKsFilter: implausible pin count %u", static_cast<unsigned>(pins));
        return E_FAIL;
    }
    *count = pins;
    return result;
}

HRESULT CKsFilter::ClassifyPins() {
    for (CKsPin* pin : m_pins) {
        ULONG dataFlow = 0;
        ULONG communication = 0;
        pin->GetDataFlow(&dataFlow);
        pin->GetCommunication(&communication);
        bool render = dataFlow == KSPIN_DATAFLOW_IN;
        CKsPinList& sinks = render ? m_renderSinkPins : m_captureSinkPins;
        CKsPinList& sources = render ? m_renderSourcePins : m_captureSourcePins;
        bool appended = true;
        switch (communication) {
            case KSPIN_COMMUNICATION_NONE:
                appended = m_noCommunicationPins.push_back(pin);
                break;
            case KSPIN_COMMUNICATION_SINK:
                appended = sinks.push_back(pin);
                break;
            case KSPIN_COMMUNICATION_SOURCE:
                appended = sources.push_back(pin);
                break;
            case KSPIN_COMMUNICATION_BOTH:
                appended = sinks.push_back(pin) && sources.push_back(pin);
                break;
            default:
                TRACE("Pin communication type not recognized");
                break;
        }
        if (!appended) return E_OUTOFMEMORY;
    }
    return S_OK;
}

bool CKsFilter::ClassifiedListsEmpty() const {
    return m_renderSinkPins.empty() && m_captureSourcePins.empty() && m_captureSinkPins.empty() &&
           m_renderSourcePins.empty();
}

HRESULT CKsFilter::EnumeratePins() {
    TRACE_ENTER("CKsFilter::EnumeratePins");
    DestroyPins();
    ULONG count = 0;
    HRESULT result = ReadPinCount(&count);
    if (result >= 0) {
        for (ULONG index = 0; index < count; ++index) {
            HRESULT pinResult = S_OK;
            CKsPin* pin = new (std::nothrow) CKsPin(this, index, &pinResult);
            if (pin == nullptr) {
                TRACE("Failed to create pin");
            } else if (pinResult < 0) {
                TRACE("Failed to construct pin");
                delete pin;
            } else if (!m_pins.push_back(pin)) {
                TRACE("Failed to add pin to list");
                delete pin;
            }
        }
        result = ClassifyPins();
        if (result >= 0 && ClassifiedListsEmpty() && m_noCommunicationPins.empty()) {
            TRACE("Filter is not viable. It has no pins.");
            result = E_FAIL;
        }
    }
    TRACE_LEAVE_HEX("CKsFilter::EnumeratePins", result);
    return result;
}

HRESULT CKsFilter::EnumerateNodes() {
    TRACE_ENTER("CKsFilter::EnumerateNodes");
    DestroyNodes();
    KSMULTIPLE_ITEM* items = nullptr;
    ULONG bytes = 0;
    HRESULT result = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items, &bytes);
    if (result < 0) {
        TRACE("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    } else if (items != nullptr && !ksreply::FixedItemsFit(items, bytes, sizeof(GUID))) {
        TRACE("CKsFilter::EnumerateNodes: malformed node list");
        result = E_FAIL;
    } else if (items != nullptr) {
        ULONG count = ksreply::ItemCount(items);
        const uint8_t* types = reinterpret_cast<const uint8_t*>(items) + sizeof(KSMULTIPLE_ITEM);
        for (ULONG index = 0; index < count; ++index) {
            GUID type;
            std::memcpy(&type, types + index * sizeof(GUID), sizeof(type));
            CKsNode* node = new (std::nothrow) CKsNode(m_handle, index, type);
            if (node == nullptr || !m_nodes.push_back(node)) {
                delete node;
                result = E_OUTOFMEMORY;
            }
        }
        if (m_nodes.size() != count) {
            if (result >= 0) result = E_FAIL;
            DestroyNodes();
        }
    }
    FreeBuffer(items);
    TRACE_LEAVE_HEX("CKsFilter::EnumerateNodes", result);
    return result;
}
