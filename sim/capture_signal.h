// The signal a simulated capture pin delivers: a counter per channel, so that
// a test can check every captured frame for loss, repetition and channel
// order.
//
// For hardware frame f (counted from 0 since the pin left KSSTATE_STOP),
// channel c and B valid bits per sample, the sample is the B-bit two's
// complement number
//
//     v(f, c) = (f + c * 2^(B-4)) mod 2^B
//
// placed in the top B bits of its container (C bits, little-endian), as
// WAVE_FORMAT_EXTENSIBLE left-justifies valid bits. So at 16 bits channel c
// counts up from c * 4096, and consecutive frames of a channel always differ
// by exactly 1 (mod 2^B).
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim {

// v(f, c) as an unsigned B-bit pattern (B from 8 to 32).
uint32_t captureSignalBits(uint64_t frame, uint32_t channel, uint32_t validBits);

// The container value as a signed integer: the pattern sign-extended from
// B bits and shifted to the top of a C-bit container.
int32_t captureSignalSample(uint64_t frame, uint32_t channel, uint32_t validBits, uint32_t containerBits);

// Fills `frames` frames of interleaved samples starting at hardware frame
// `firstFrame`. containerBits is 8, 16, 24 or 32.
void fillCaptureSignal(uint8_t* data, uint32_t frames, uint64_t firstFrame, uint32_t channels, uint32_t validBits,
                       uint32_t containerBits);

// Reads one little-endian signed sample of a C-bit container.
int32_t readContainerSample(const uint8_t* sample, uint32_t containerBits);

}  // namespace sim
