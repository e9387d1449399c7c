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

// Sets the sample width of a format: container and valid bits (valid bits
// only where the format is extensible), block align and byte rate.
void setFormatSampleWidth(WAVEFORMATEXTENSIBLE& format, uint16_t bits);
void setFormatRate(WAVEFORMATEXTENSIBLE& format, uint32_t rate);

// The extensible PCM format of the first pin trial, channel mask 0.
WAVEFORMATEXTENSIBLE makeExtensibleFormat(uint16_t channels, uint32_t rate, uint16_t bits);
// The same as plain PCM: tag 1, no extension.
void makePlainPcm(WAVEFORMATEXTENSIBLE& format);

// The speaker masks tried for a channel count, in order; none for counts
// other than 2, 4, 6 and 8.
size_t channelMasksFor(uint32_t channels, const uint32_t** masks);

// Byte for byte, as the pin was opened with it.
bool sameWaveFormat(const WAVEFORMATEXTENSIBLE& a, const WAVEFORMATEXTENSIBLE& b);
