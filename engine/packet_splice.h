// Moving a unit's hardware time line against the host's by whole frames: a
// packet of interleaved samples gets frames repeated or left out, the seam
// crossfaded, so that a realignment (docs/drift.md) does not click. Runs on
// the streaming thread: no allocation.
#pragma once

#include <cstdint>

// Frames over which the two sides of a seam are crossfaded.
constexpr uint32_t kSpliceFadeFrames = 32;

struct PacketSplice {
    uint8_t* packet = nullptr;
    uint32_t frames = 0;    // frames the packet holds
    uint32_t room = 0;      // frames it has room for
    uint32_t channels = 0;
    uint32_t containerBits = 0;  // 16, 24 (packed) or 32
};

// Repeats `shift` frames (shift > 0: the packet grows) or leaves -shift out
// (it shrinks), in the middle of the packet with a crossfade across the
// seam. Moves as much of the shift as the packet allows (its frames beyond
// the fade, its room) and returns the part moved; the packet then holds
// frames + moved frames.
int32_t splicePacket(const PacketSplice& splice, int32_t shift);
