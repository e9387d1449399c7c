// Wave formats of a unit's pin: the rates tried when the hardware lacks the
// host's rate, the formats of the first pin trial, and the host rates a unit
// accepts at all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/ks_abi.h"

// The fixed rates tried, in this order, after the requested one.
constexpr uint32_t kFallbackRates[] = {48000, 44100, 96000, 22050, 11025};
constexpr size_t kMaxRateCandidates = 1 + sizeof(kFallbackRates) / sizeof(kFallbackRates[0]);

// Host rates are whole hertz after truncation and must leave room for the
// byte rate of a 16-channel 32-bit format; far beyond any audio rate.
constexpr double kMaxHostSampleRate = 4194304.0;

// A rate a unit can be asked to run at: finite, at least 1 Hz after
// truncation, at most kMaxHostSampleRate. Anything else must never reach
// the format search or a division.
bool isUsableHostRate(double rate);

// The hardware rates to try for a requested rate: the rate itself, then the
// fallback rates above it that are whole multiples of it, the other ones
// above it, those below it that divide it, and the other ones below it.
// Whole-number ratios come first because their converters are cheaper.
// Returns the count written (at most kMaxRateCandidates).
size_t hardwareRateCandidates(uint32_t rate, uint32_t* candidates);

// One sample layout: the container and the valid bits it carries (the
// USB audio class lets 24 valid bits travel in 32-bit containers).
struct SampleWidth {
    uint16_t container;
    uint16_t valid;
};

// The layouts the hardware format search tries at each rate, in order.
constexpr SampleWidth kSearchWidths[] = {{32, 32}, {32, 24}, {24, 24}, {16, 16}};
constexpr size_t kMaxSearchWidths = sizeof(kSearchWidths) / sizeof(kSearchWidths[0]);

// Sets the sample layout of a format: container and valid bits (valid bits
// only where the format is extensible), block align and byte rate.
void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, SampleWidth width);
void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, uint16_t bits);
void setFormatRate(WAVEFORMATEXTENSIBLE& format, uint32_t rate);

// The extensible PCM format of the pin trial, channel mask 0.
WAVEFORMATEXTENSIBLE makeExtensibleFormat(uint16_t channels, uint32_t rate, SampleWidth width);
// The same as plain PCM: tag 1, no extension.
void makePlainPcm(WAVEFORMATEXTENSIBLE& format);

// The layouts the pin trial tries for a format of `bits`: the bits in a
// container of their own width, and for 24 bits also in a 32-bit one.
size_t trialWidthsFor(uint16_t bits, SampleWidth* widths);

// The speaker masks tried for a channel count, in order: the layouts the
// driver has always tried first (2: 0x3; 4: 0x603, 0x33; 6: 0x60F, 0x3F;
// 8: 0x6F3, 0x63F, 0xFF), the default speaker mask of the count where the
// system names one and it is not among them (1: centre; 3: front left,
// right and centre; 5: quad and centre), then 0, which tells the driver
// that no channel is tied to a speaker. At most kMaxChannelMasks.
constexpr size_t kMaxChannelMasks = 4;
size_t channelMasksFor(uint32_t channels, uint32_t* masks);

// Byte for byte, as the pin was opened with it.
bool sameWaveFormat(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b);
