// A pin of an audio filter: keeps the pin's audio data ranges, decides
// whether a wave format fits them, and carries the wave format in the
// connection request that creates the pin.
#pragma once

#include "base/vector.h"
#include "ks/ks_pin.h"

class CKsAudFilter;
class CKsNode;

class CKsAudPin : public CKsPin {
public:
    // KSPIN_CONNECT, KSDATAFORMAT and a plain WAVEFORMATEX.
    static constexpr ULONG kDefaultConnectSize = 154;

    CKsAudPin(CKsAudFilter* filter, ULONG pinId, HRESULT* result);
    ~CKsAudPin() override;

    // Checks the standard interface and medium and saves the audio data ranges.
    HRESULT Init();

    // True when one saved data range admits the format. An extensible format
    // whose cbSize cannot hold the extension is never admitted.
    bool IsFormatSupported(const WAVEFORMATEX* format) const;
    // Writes the format into the connection request. The caller's format
    // holds 18 + cbSize bytes (18 for WAVE_FORMAT_PCM).
    HRESULT SetFormat(const WAVEFORMATEX* format);

    size_t GetAudioDataRangeCount() const { return m_audioDataRanges.size(); }
    const KSDATARANGE_AUDIO& GetAudioDataRange(size_t index) const { return *m_audioDataRanges[index]; }
    // The last format given to SetFormat, or null.
    const WAVEFORMATEX* GetFormat() const { return m_format; }
    CKsAudFilter* GetAudioFilter() const { return m_audioFilter; }

private:
    HRESULT CreateConnectRequest();
    HRESULT SaveAudioDataRanges();
    bool RangeAdmits(const KSDATARANGE_AUDIO& range, const WAVEFORMATEX& format, const GUID& subFormat,
                     ULONG validBits) const;
    KSDATAFORMAT* ConnectDataFormat() const;

    Vector<KSDATARANGE_AUDIO*> m_audioDataRanges;
    CKsAudFilter* m_audioFilter = nullptr;
    Vector<CKsNode*> m_nodes;
    WAVEFORMATEX* m_format = nullptr;
    KSDATAFORMAT_WAVEFORMATEX* m_dataFormat = nullptr;
};
