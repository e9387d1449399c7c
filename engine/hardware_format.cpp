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

void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, SampleWidth width) {
    format.Format.wBitsPerSample = width.container;
    if (format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) format.Samples.wValidBitsPerSample = width.valid;
    format.Format.nBlockAlign = static_cast<WORD>((width.container + 7) / 8 * format.Format.nChannels);
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
}

void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, uint16_t bits) { setFormatSampleWidth(format, {bits, bits}); }

void setFormatRate(WAVEFORMATEXTENSIBLE& format, uint32_t rate) {
    format.Format.nSamplesPerSec = rate;
    format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * rate;
}

WAVEFORMATEXTENSIBLE makeExtensibleFormat(uint16_t channels, uint32_t rate, SampleWidth width) {
    WAVEFORMATEXTENSIBLE format;
    std::memset(&format, 0, sizeof(format));
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = rate;
    format.Format.cbSize = static_cast<WORD>(sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX));
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    setFormatSampleWidth(format, width);
    return format;
}

void makePlainPcm(WAVEFORMATEXTENSIBLE& format) {
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.cbSize = 0;
    format.Samples.wValidBitsPerSample = 0;
    format.dwChannelMask = 0;
    std::memset(&format.SubFormat, 0, sizeof(format.SubFormat));
}

size_t trialWidthsFor(uint16_t bits, SampleWidth* widths) {
    widths[0] = {bits, bits};
    if (bits != 24) return 1;
    widths[1] = {32, 24};
    return 2;
}

size_t channelMasksFor(uint32_t channels, uint32_t* masks) {
    // KSAUDIO_SPEAKER_* layouts.
    static const uint32_t kMono[] = {0x4};
    static const uint32_t kStereo[] = {0x3};
    static const uint32_t kThree[] = {0x7};
    static const uint32_t kFour[] = {0x603, 0x33};
    static const uint32_t kFive[] = {0x37};
    static const uint32_t kSix[] = {0x60F, 0x3F};
    static const uint32_t kEight[] = {0x6F3, 0x63F, 0xFF};
    const uint32_t* named = nullptr;
    size_t count = 0;
    switch (channels) {
        case 1: named = kMono, count = 1; break;
        case 2: named = kStereo, count = 1; break;
        case 3: named = kThree, count = 1; break;
        case 4: named = kFour, count = 2; break;
        case 5: named = kFive, count = 1; break;
        case 6: named = kSix, count = 2; break;
        case 8: named = kEight, count = 3; break;
        default: break;
    }
    for (size_t i = 0; i < count; ++i) masks[i] = named[i];
    masks[count] = 0;
    return count + 1;
}

bool sameWaveFormat(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}
