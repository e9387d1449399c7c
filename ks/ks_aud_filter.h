// Audio filters: pins are CKsAudPin objects, and render and capture filters
// find and create the pin that accepts a wave format.
#pragma once

#include "ks/ks_aud_pin.h"
#include "ks/ks_filter.h"

class CKsAudFilter : public CKsFilter {
public:
    CKsAudFilter(const char* devicePath, const char* friendlyName, HRESULT* result);

    // Builds one CKsAudPin per pin whose communication is sink, source or
    // both; E_FAIL when none of them is a sink or source pin.
    HRESULT EnumeratePins() override;

    // Whether another program holds every streaming pin of the filter's
    // direction (by the instance counts of the last enumeration).
    virtual bool StreamingPinsInUse() const { return false; }
    // What the last pin creation of this filter ended with: S_OK, or the
    // error of its last attempt (CKsPin::kHeldElsewhere when another
    // program holds the pin).
    HRESULT LastPinCreateResult() const { return m_lastCreateResult; }

protected:
    static bool AllInUse(const CKsPinList& pins);
    HRESULT m_lastCreateResult = S_OK;

    // The first pin of `pins` that claims the format, or null.
    static CKsAudPin* FindPinSupporting(const CKsPinList& pins, const WAVEFORMATEX* format);
    // SetFormat, then Instantiate; remembers how the creation ended.
    bool ConnectPin(CKsAudPin* pin, const WAVEFORMATEX* format, bool looped);
};

class CKsAudRenFilter : public CKsAudFilter {
public:
    CKsAudRenFilter(const char* devicePath, const char* friendlyName, HRESULT* result);

    CKsAudPin* FindViablePin(const WAVEFORMATEX* format) const;
    bool CanCreateRenderPin(const WAVEFORMATEX* format) const { return FindViablePin(format) != nullptr; }
    // The pin that claims the format; when that fails, every render sink pin
    // in turn. The pin stays owned by the filter.
    CKsAudPin* CreateRenderPin(const WAVEFORMATEX* format, bool looped);
    bool StreamingPinsInUse() const override { return AllInUse(m_renderSinkPins); }
};

class CKsAudCapFilter : public CKsAudFilter {
public:
    CKsAudCapFilter(const char* devicePath, const char* friendlyName, HRESULT* result);

    CKsAudPin* FindViablePin(const WAVEFORMATEX* format) const;
    bool CanCreateCapturePin(const WAVEFORMATEX* format) const { return FindViablePin(format) != nullptr; }
    // Only the pin that claims the format is tried. The pin stays owned by
    // the filter.
    CKsAudPin* CreateCapturePin(const WAVEFORMATEX* format, bool looped);
    bool StreamingPinsInUse() const override { return AllInUse(m_captureSinkPins); }
};
