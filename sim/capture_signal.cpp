#include "sim/capture_signal.h"

namespace sim {

uint32_t captureSignalBits(uint64_t frame, uint32_t channel, uint32_t validBits) {
    if (validBits < 8) validBits = 8;
    if (validBits > 32) validBits = 32;
    const uint64_t mask = validBits == 32 ? 0xFFFFFFFFull : ((1ull << validBits) - 1);
    const uint64_t channelOffset = static_cast<uint64_t>(channel) << (validBits - 4);
    return static_cast<uint32_t>((frame + channelOffset) & mask);
}

int32_t captureSignalSample(uint64_t frame, uint32_t channel, uint32_t validBits, uint32_t containerBits) {
    if (validBits < 8) validBits = 8;
    if (validBits > containerBits) validBits = containerBits;
    const uint32_t bits = captureSignalBits(frame, channel, validBits);
    // Shift into the top of 32 bits, then arithmetic-shift down to the
    // container: sign extension from bit B-1 and left justification at once.
    const int32_t top = static_cast<int32_t>(bits << (32 - validBits));
    return top >> (32 - containerBits);
}

void fillCaptureSignal(uint8_t* data, uint32_t frames, uint64_t firstFrame, uint32_t channels, uint32_t validBits,
                       uint32_t containerBits) {
    const uint32_t bytes = containerBits / 8;
    for (uint32_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < channels; ++c) {
            const uint32_t value =
                static_cast<uint32_t>(captureSignalSample(firstFrame + f, c, validBits, containerBits));
            for (uint32_t b = 0; b < bytes; ++b) *data++ = static_cast<uint8_t>(value >> (8 * b));
        }
    }
}

int32_t readContainerSample(const uint8_t* sample, uint32_t containerBits) {
    const uint32_t bytes = containerBits / 8;
    uint32_t value = 0;
    for (uint32_t b = 0; b < bytes; ++b) value |= static_cast<uint32_t>(sample[b]) << (8 * b);
    const uint32_t shift = 32 - containerBits;
    return static_cast<int32_t>(value << shift) >> shift;
}

}  // namespace sim
