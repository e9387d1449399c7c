#include "ks/ks_aud_pin.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/heap.h"
#include "base/utilities.h"
#include "ks/ks_aud_filter.h"
#include "platform/trace.h"

namespace {

constexpr ULONG kConnectHeaderSize = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);  // 136

bool IsNullGuid(const GUID& guid) { return os::guidEquals(guid, GUID_NULL); }

// A GUID made from a wave format tag: KSDATAFORMAT_SUBTYPE_WAVEFORMATEX with
// the tag in its first two bytes.
bool IsWaveFormatTagGuid(const GUID& guid) {
    return std::memcmp(reinterpret_cast<const uint8_t*>(&guid) + 2,
                       reinterpret_cast<const uint8_t*>(&KSDATAFORMAT_SUBTYPE_WAVEFORMATEX) + 2, sizeof(GUID) - 2) == 0;
}

GUID WaveFormatTagGuid(WORD tag) {
    GUID guid = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
    guid.Data1 = tag;
    return guid;
}

ULONG WaveFormatBytes(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM ? sizeof(WAVEFORMATEX) : sizeof(WAVEFORMATEX) + format.cbSize;
}

void TraceRange(const KSDATARANGE_AUDIO& range) {
#if defined(KSASIO_TRACE)
    // formatGuid reuses one buffer, so each text is copied before the next.
    char major[40], sub[40], specifier[40];
    std::snprintf(major, sizeof(major), "%s", formatGuid(range.DataRange.MajorFormat));
    std::snprintf(sub, sizeof(sub), "%s", formatGuid(range.DataRange.SubFormat));
    std::snprintf(specifier, sizeof(specifier), "%s", formatGuid(range.DataRange.Specifier));
    TRACE("Found format descriptor (%u (%u), %u, %u, %u, %s, %s, %s, %u, %u, %u, %u, %u)",
          static_cast<unsigned>(range.DataRange.FormatSize), static_cast<unsigned>(sizeof(KSDATARANGE_AUDIO)),
          static_cast<unsigned>(range.DataRange.Flags), static_cast<unsigned>(range.DataRange.SampleSize),
          static_cast<unsigned>(range.DataRange.Reserved), major, sub, specifier,
          static_cast<unsigned>(range.MaximumChannels), static_cast<unsigned>(range.MinimumBitsPerSample),
          static_cast<unsigned>(range.MaximumBitsPerSample), static_cast<unsigned>(range.MinimumSampleFrequency),
          static_cast<unsigned>(range.MaximumSampleFrequency));
#else
    (void)range;
#endif
}

}  // namespace

CKsAudPin::CKsAudPin(CKsAudFilter* filter, ULONG pinId, HRESULT* result) : CKsPin(filter, pinId, result) {
    HRESULT outcome = result != nullptr ? *result : S_OK;
    m_audioFilter = filter;
    if (outcome >= 0) outcome = CreateConnectRequest();
    if (outcome >= 0) outcome = Init();
    if (result != nullptr) *result = outcome;
}

CKsAudPin::~CKsAudPin() {
    for (KSDATARANGE_AUDIO* range : m_audioDataRanges) delete range;
    m_audioDataRanges.clear();
    for (CKsNode* node : m_nodes) delete node;
    m_nodes.clear();
    heap::release(m_format);
    m_format = nullptr;
}

KSDATAFORMAT* CKsAudPin::ConnectDataFormat() const {
    return reinterpret_cast<KSDATAFORMAT*>(reinterpret_cast<uint8_t*>(m_connect) + sizeof(KSPIN_CONNECT));
}

HRESULT CKsAudPin::CreateConnectRequest() {
    void* block = heap::reallocate(nullptr, kDefaultConnectSize);
    if (block == nullptr) {
        TRACE("Failed to allocate m_pksPinCreate");
        return E_OUTOFMEMORY;
    }
    std::memset(block, 0, kDefaultConnectSize);
    m_connect = static_cast<KSPIN_CONNECT*>(block);
    m_connectSize = kDefaultConnectSize;
    m_connect->Interface.Set = KSINTERFACESETID_Standard;
    m_connect->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    m_connect->Interface.Flags = 0;
    m_connect->Medium.Set = KSMEDIUMSETID_Standard;
    m_connect->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    m_connect->Medium.Flags = 0;
    m_connect->PinId = m_pinId;
    m_connect->PinToHandle = nullptr;
    m_connect->Priority.PriorityClass = KSPRIORITY_NORMAL;
    m_connect->Priority.PrioritySubClass = 1;
    KSDATAFORMAT* format = ConnectDataFormat();
    format->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    format->Flags = 0;
    format->SampleSize = 0;
    format->Reserved = 0;
    format->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    format->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    format->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    m_dataFormat = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(format);
    return S_OK;
}

HRESULT CKsAudPin::Init() {
    bool streaming = false;
    for (ULONG i = 0; i < m_interfaceCount && !streaming; ++i) {
        KSPIN_INTERFACE item = GetInterface(i);
        streaming = os::guidEquals(item.Set, KSINTERFACESETID_Standard) && item.Id == KSINTERFACE_STANDARD_STREAMING;
    }
    if (!streaming) {
        TRACE("No standard streaming interfaces on the pin");
        return E_FAIL;
    }
    bool anyInstance = false;
    for (ULONG i = 0; i < m_mediumCount && !anyInstance; ++i) {
        KSPIN_MEDIUM item = GetMedium(i);
        anyInstance = os::guidEquals(item.Set, KSMEDIUMSETID_Standard) && item.Id == KSMEDIUM_TYPE_ANYINSTANCE;
    }
    if (!anyInstance) {
        TRACE("No standard streaming mediums on the pin");
        return E_FAIL;
    }
    return SaveAudioDataRanges();
}

HRESULT CKsAudPin::SaveAudioDataRanges() {
    HRESULT result = S_OK;
    bool qualified = false;
    ForEachDataRange([&](ULONG offset, ULONG size) {
        KSDATARANGE header = ksreply::ReadDataRange(m_dataRangeItems, offset);
        qualified = qualified || IsWaveFormatTagGuid(header.SubFormat) ||
                    os::guidEquals(header.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) || IsNullGuid(header.SubFormat);
        if (!qualified || !os::guidEquals(header.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) return;
        // A range too short for channels, bits and rates cannot admit a format.
        if (size < sizeof(KSDATARANGE_AUDIO)) {
            TRACE("Audio data range of %u bytes is too short", static_cast<unsigned>(size));
            return;
        }
        auto* copy = new (std::nothrow) KSDATARANGE_AUDIO;
        if (copy == nullptr) {
            TRACE("Unable to allocate memory to save datarange in");
            result = E_OUTOFMEMORY;
            return;
        }
        std::memcpy(copy, DataRangeBytes() + offset, sizeof(KSDATARANGE_AUDIO));
        if (!m_audioDataRanges.push_back(copy)) {
            TRACE("Unable to allocate list entry to save datarange in");
            delete copy;
            result = E_OUTOFMEMORY;
            return;
        }
        TraceRange(*copy);
    });
    if (result >= 0 && (!qualified || m_audioDataRanges.empty())) {
        TRACE("No audio dataranges on the pin");
        result = E_FAIL;
    }
    return result;
}

bool CKsAudPin::RangeAdmits(const KSDATARANGE_AUDIO& range, const WAVEFORMATEX& format, const GUID& subFormat,
                            ULONG validBits) const {
    const KSDATARANGE& data = range.DataRange;
    return (IsNullGuid(data.MajorFormat) || os::guidEquals(data.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) &&
           (IsNullGuid(data.SubFormat) || os::guidEquals(data.SubFormat, subFormat)) &&
           (IsNullGuid(data.Specifier) || os::guidEquals(data.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) &&
           range.MaximumChannels == format.nChannels && range.MinimumBitsPerSample <= validBits &&
           validBits <= range.MaximumBitsPerSample &&
           range.MinimumSampleFrequency <= format.nSamplesPerSec &&
           format.nSamplesPerSec <= range.MaximumSampleFrequency;
}

bool CKsAudPin::IsFormatSupported(const WAVEFORMATEX* format) const {
    if (format == nullptr) return false;
    GUID subFormat = WaveFormatTagGuid(format->wFormatTag);
    // Ranges give the valid bits a device takes, whatever container they
    // travel in (USB devices carry 24 of them in 32-bit containers).
    ULONG validBits = format->wBitsPerSample;
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(format);
        std::memcpy(&subFormat, bytes + offsetof(WAVEFORMATEXTENSIBLE, SubFormat), sizeof(subFormat));
        WORD valid = 0;
        std::memcpy(&valid, bytes + offsetof(WAVEFORMATEXTENSIBLE, Samples), sizeof(valid));
        if (valid > format->wBitsPerSample) return false;
        if (valid != 0) validBits = valid;
    }
    for (const KSDATARANGE_AUDIO* range : m_audioDataRanges) {
        if (RangeAdmits(*range, *format, subFormat, validBits)) return true;
    }
    return false;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* format) {
    if (format == nullptr || m_dataFormat == nullptr) {
        TRACE("pwfx or m_pksDataFormatWfx are NULL");
        return E_FAIL;
    }
    ULONG formatBytes = WaveFormatBytes(*format);
    ULONG connectSize = kConnectHeaderSize + formatBytes;
    // Both new blocks first, so that running out of memory changes nothing.
    auto* saved = static_cast<WAVEFORMATEX*>(heap::reallocate(nullptr, formatBytes));
    if (saved == nullptr) return E_OUTOFMEMORY;
    std::memcpy(saved, format, formatBytes);
    if (connectSize != m_connectSize) {
        auto* grown = static_cast<uint8_t*>(heap::reallocate(nullptr, connectSize));
        if (grown == nullptr) {
            TRACE("Unable to allocate KSPIN_CONNECT structure");
            heap::release(saved);
            return E_OUTOFMEMORY;
        }
        std::memcpy(grown, m_connect, connectSize < m_connectSize ? connectSize : m_connectSize);
        heap::release(m_connect);
        m_connect = reinterpret_cast<KSPIN_CONNECT*>(grown);
        m_connectSize = connectSize;
        m_dataFormat = reinterpret_cast<KSDATAFORMAT_WAVEFORMATEX*>(ConnectDataFormat());
        ConnectDataFormat()->FormatSize = sizeof(KSDATAFORMAT) + formatBytes;
    }
    std::memcpy(reinterpret_cast<uint8_t*>(m_connect) + kConnectHeaderSize, format, formatBytes);
    ConnectDataFormat()->SampleSize = static_cast<uint16_t>(format->nChannels * format->wBitsPerSample / 8);
    heap::release(m_format);
    m_format = saved;
    return S_OK;
}
