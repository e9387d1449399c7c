#include "engine/hardware_format.h"

#include <cmath>
#include <cstring>

bool isUsableHostRate(double rate) {
    return std::isfinite(rate) && rate >= 1.0 && rate <= kMaxHostSampleRate;
}

size_t hardwareRateCandidates(uint32_t rate, uint32_t* candidates) {
    size_t count = 0;
    candidates[count++] = rate;
    if (rate == 0) return count;
    for (uint32_t r : kFallbackRates)
        if (r > rate && r % rate == 0) candidates[count++] = r;
    for (uint32_t r : kFallbackRates)
        if (r > rate && r % rate != 0) candidates[count++] = r;
    for (uint32_t r : kFallbackRates)
        if (r < rate && rate % r == 0) candidates[count++] = r;
    for (uint32_t r : kFallbackRates)
        if (r < rate && rate % r != 0) candidates[count++] = r;
    return count;
}

void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, uint16_t bits) {
    format.Format.wBitsPerSample = bits;
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) format.Samples.wValidBitsPerSample = bits;
    format.Format.nBlockAlign = static_cast<WORD>((bits + 7) / 8 * format.Format.nChannels);
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
}

void setFormatRate(WAVEFORMATEXTENSIBLE& format, uint32_t rate) {
    format.Format.nSamplesPerSec = rate;
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
}

WAVEFORMATEXTENSIBLE makeExtensibleFormat(uint16_t channels, uint32_t rate, uint16_t bits) {
    WAVEFORMATEXTENSIBLE format;
    std::memset(&format, 0, sizeof(format));
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.cbSize = static_cast<WORD>(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    setFormatSampleWidth(format, bits);
    return format;
}

void makePlainPcm(WAVEFORMATEXTENSIBLE& format) {
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.cbSize = 0;
    format.Samples.wValidBitsPerSample = 0;
    format.dwChannelMask = 0;
    std::memset(&format.SubFormat, 0, sizeof(format.SubFormat));
}

size_t channelMasksFor(uint32_t channels, const uint32_t** masks) {
    static const uint32_t kStereo[] = {0x3};
    static const uint32_t kFour[] = {0x603, 0x33};
    static const uint32_t kSix[] = {0x60F, 0x3F};
    static const uint32_t kEight[] = {0x6F3, 0x63F, 0xFF};
    switch (channels) {
        case 2: *masks = kStereo; return 1;
        case 4: *masks = kFour; return 2;
        case 6: *masks = kSix; return 2;
        case 8: *masks = kEight; return 3;
        default: *masks = nullptr; return 0;
    }
}

bool sameWaveFormat(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}
