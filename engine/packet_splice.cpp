#include "engine/packet_splice.h"

#include <cstring>

namespace {

int32_t load(const uint8_t* p, uint32_t bits) {
    if (bits == 16) return static_cast<int16_t>(p[0] | (p[1] << 8));
    if (bits == 24) return static_cast<int32_t>((uint32_t(p[0]) << 8) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 24)) >> 8;
    return static_cast<int32_t>(uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24));
}

void store(uint8_t* p, int32_t v, uint32_t bits) {
    const uint32_t bytes = bits / 8;
    for (uint32_t b = 0; b < bytes; ++b) p[b] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b));
}

// A linear crossfade from `from` to `to` at step i of kSpliceFadeFrames.
int32_t blend(int32_t from, int32_t to, uint32_t i) {
    const int64_t l = kSpliceFadeFrames;
    const int64_t sum = int64_t(from) * (l - i) + int64_t(to) * i;
    return static_cast<int32_t>(sum >= 0 ? (sum + l / 2) / l : -((-sum + l / 2) / l));
}

}  // namespace

int32_t splicePacket(const PacketSplice& s, int32_t shift) {
    if (shift == 0 || s.packet == nullptr || s.channels == 0 || s.channels > 16 ||
        (s.containerBits != 16 && s.containerBits != 24 && s.containerBits != 32) || s.frames < kSpliceFadeFrames)
        return 0;
    const uint32_t fade = kSpliceFadeFrames;
    const uint32_t spare = s.frames - fade;
    uint32_t k = static_cast<uint32_t>(shift > 0 ? shift : -shift);
    if (k > spare) k = spare;
    const uint32_t room = s.room > s.frames ? s.room - s.frames : 0;
    if (shift > 0 && k > room) k = room;
    if (k == 0) return 0;
    const uint32_t sample = s.containerBits / 8;
    const uint32_t frameBytes = sample * s.channels;
    uint8_t* x = s.packet;
    // The seam sits in the middle of what the shift leaves to choose from:
    // a repeat starts at least k frames in, a cut ends at most k before the end.
    const uint32_t at = shift > 0 ? (spare + k) / 2 : (spare - k) / 2;
    const uint32_t other = shift > 0 ? at - k : at + k;  // where the far side of the seam comes from
    int32_t seam[kSpliceFadeFrames * 16];
    for (uint32_t i = 0; i < fade; ++i)
        for (uint32_t c = 0; c < s.channels; ++c) {
            const int32_t before = load(x + (at + i) * frameBytes + c * sample, s.containerBits);
            const int32_t after = load(x + (other + i) * frameBytes + c * sample, s.containerBits);
            seam[i * s.channels + c] = blend(before, after, i);
        }
    std::memmove(x + (at + fade) * frameBytes, x + (other + fade) * frameBytes,
                 size_t(s.frames - other - fade) * frameBytes);
    for (uint32_t i = 0; i < fade; ++i)
        for (uint32_t c = 0; c < s.channels; ++c)
            store(x + (at + i) * frameBytes + c * sample, seam[i * s.channels + c], s.containerBits);
    return shift > 0 ? static_cast<int32_t>(k) : -static_cast<int32_t>(k);
}
