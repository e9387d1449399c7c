#include "ks/ks_aud_filter.h"

#include <new>

#include "platform/trace.h"

CKsAudFilter::CKsAudFilter(const char* devicePath, const char* friendlyName, HRESULT* result)
    : CKsFilter(devicePath, friendlyName, result) {}

CKsAudRenFilter::CKsAudRenFilter(const char* devicePath, const char* friendlyName, HRESULT* result)
    : CKsAudFilter(devicePath, friendlyName, result) {
    m_filterType = kTypeRender;
}

CKsAudCapFilter::CKsAudCapFilter(const char* devicePath, const char* friendlyName, HRESULT* result)
    : CKsAudFilter(devicePath, friendlyName, result) {
    m_filterType = kTypeCapture;
}

HRESULT CKsAudFilter::EnumeratePins() {
    TRACE_ENTER("CKsAudFilter::EnumeratePins");
    DestroyPins();
    ULONG count = 0;
    HRESULT result = ReadPinCount(&count);
    if (result < 0) {
        TRACE("Failed to retrieve count of pins in audio filter");
    } else {
        for (ULONG index = 0; index < count; ++index) {
            ULONG communication = 0;
            if (GetPinPropertySimple(index, KSPROPSETID_Pin, KSPROPERTY_PIN_COMMUNICATION, &communication,
                                     sizeof(communication)) < 0) {
                TRACE("Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
                continue;
            }
            if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_SOURCE &&
                communication != KSPIN_COMMUNICATION_BOTH) {
                TRACE("Pin communication value doesn't make sense");
                continue;
            }
            ULONG dataFlow = 0;
            if (GetPinPropertySimple(index, KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, &dataFlow, sizeof(dataFlow)) <
                0) {
                TRACE("Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
                continue;
            }
            HRESULT pinResult = S_OK;
            CKsAudPin* pin = new (std::nothrow) CKsAudPin(this, index, &pinResult);
            if (pin != nullptr && pinResult < 0) {
                TRACE("Failed to create audio pin");
                delete pin;
                continue;
            }
            if (pin == nullptr || !m_pins.push_back(pin)) {
                TRACE("Unable to allocate list entry to save pin in");
                TRACE("Ran out of memory enumerating pins - deleting all pins");
                delete pin;
                DestroyPins();
                TRACE_LEAVE_HEX("CKsAudFilter::EnumeratePins", E_OUTOFMEMORY);
                return E_OUTOFMEMORY;
            }
        }
    }
    if (result >= 0) {
        result = ClassifyPins();
        if (result < 0) {
            DestroyPins();
        } else if (ClassifiedListsEmpty()) {
            TRACE("No valid pins found on the filter");
            result = E_FAIL;
        }
    }
    TRACE_LEAVE_HEX("CKsAudFilter::EnumeratePins", result);
    return result;
}

CKsAudPin* CKsAudFilter::FindPinSupporting(const CKsPinList& pins, const WAVEFORMATEX* format) {
    for (CKsPin* pin : pins) {
        auto* audioPin = dynamic_cast<CKsAudPin*>(pin);
        if (audioPin != nullptr && audioPin->IsFormatSupported(format)) return audioPin;
    }
    return nullptr;
}

bool CKsAudFilter::ConnectPin(CKsAudPin* pin, const WAVEFORMATEX* format, bool looped) {
    m_lastCreateResult = pin->SetFormat(format);
    if (m_lastCreateResult >= 0) m_lastCreateResult = pin->Instantiate(looped);
    return m_lastCreateResult >= 0;
}

bool CKsAudFilter::AllInUse(const CKsPinList& pins) {
    if (pins.empty()) return false;
    for (CKsPin* pin : pins)
        if (!pin->InstancesUsedUp()) return false;
    return true;
}

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* format) const {
    return FindPinSupporting(m_renderSinkPins, format);
}

CKsAudPin* CKsAudRenFilter::CreateRenderPin(const WAVEFORMATEX* format, bool looped) {
    TRACE_ENTER("CKsAudRenFilter::CreateRenderPin");
    m_lastCreateResult = E_FAIL;
    CKsAudPin* pin = FindViablePin(format);
    if (pin == nullptr) {
        TRACE("Could not find a Render pin that supports the given wave format");
    } else if ((m_lastCreateResult = pin->SetFormat(format)) < 0) {
        TRACE("Failed to set Render Pin format - the pin lied about its supported formats");
        pin = nullptr;
    } else if ((m_lastCreateResult = pin->Instantiate(looped)) < 0) {
        TRACE("Failed to instantiate Render Pin");
        pin = nullptr;
    }
    // Some filters accept formats they do not list: try every render sink pin.
    for (auto it = m_renderSinkPins.begin(); pin == nullptr && it != m_renderSinkPins.end(); ++it) {
        auto* candidate = dynamic_cast<CKsAudPin*>(*it);
        if (candidate != nullptr && ConnectPin(candidate, format, looped)) pin = candidate;
    }
    if (pin != nullptr) {
        TRACE("Successfully instantiated Render Pin.  Handle = 0x%08x",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pin->GetHandle())));
    }
    TRACE_LEAVE("CKsAudRenFilter::CreateRenderPin");
    return pin;
}

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* format) const {
    return FindPinSupporting(m_captureSinkPins, format);
}

CKsAudPin* CKsAudCapFilter::CreateCapturePin(const WAVEFORMATEX* format, bool looped) {
    TRACE_ENTER("CKsAudCapFilter::CreateCapturePin");
    m_lastCreateResult = E_FAIL;
    CKsAudPin* pin = FindViablePin(format);
    if (pin == nullptr) {
        TRACE("Could not find a Capture pin that supports the given wave format");
    } else if ((m_lastCreateResult = pin->SetFormat(format)) < 0) {
        TRACE("Failed to set Capture Pin format");
        pin = nullptr;
    } else if ((m_lastCreateResult = pin->Instantiate(looped)) < 0) {
        TRACE("Failed to instantiate Capture Pin");
        pin = nullptr;
    } else {
        TRACE("Successfully instantiated Capture Pin.  Handle = 0x%08x",
              static_cast<unsigned>(reinterpret_cast<uintptr_t>(pin->GetHandle())));
    }
    TRACE_LEAVE("CKsAudCapFilter::CreateCapturePin");
    return pin;
}
