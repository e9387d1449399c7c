// Realigning a unit by whole frames inside one packet: frames repeated or
// left out in the middle, the seam crossfaded, the packet's start and end
// untouched, never more than the packet has room for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/packet_splice.h"

namespace {

constexpr uint32_t kChannels = 2;

// A packet of 16-bit frames whose channel c holds frame f as 100 f + c.
std::vector<int16_t> ramp(uint32_t frames, uint32_t room) {
    std::vector<int16_t> samples(size_t(room) * kChannels, 0);
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < kChannels; ++c) samples[f * kChannels + c] = static_cast<int16_t>(100 * f + c);
    return samples;
}

PacketSplice spliceOf(std::vector<int16_t>& samples, uint32_t frames, uint32_t room) {
    return PacketSplice{reinterpret_cast<uint8_t*>(samples.data()), frames, room, kChannels, 16};
}

int16_t at(const std::vector<int16_t>& samples, uint32_t frame, uint32_t channel) {
    return samples[frame * kChannels + channel];
}

TEST(PacketSplice, RepeatsOrLeavesOutFramesWithAFadedSeam) {
    for (const int32_t shift : {+5, -5}) {
        SCOPED_TRACE(shift);
        constexpr uint32_t kFrames = 89;
        std::vector<int16_t> samples = ramp(kFrames, kFrames + 8);
        ASSERT_EQ(splicePacket(spliceOf(samples, kFrames, kFrames + 8), shift), shift);
        const uint32_t now = uint32_t(int32_t(kFrames) + shift);
        for (uint32_t c = 0; c < kChannels; ++c) {
            EXPECT_EQ(at(samples, 0, c), int16_t(c)) << "the start stays";
            EXPECT_EQ(at(samples, now - 1, c), int16_t(100 * (kFrames - 1) + c)) << "the end stays";
            // Everywhere the signal moves on by at most one frame's step and a
            // blend's share of the shift: no jump across the seam.
            for (uint32_t f = 1; f < now; ++f)
                EXPECT_LE(std::abs(at(samples, f, c) - at(samples, f - 1, c)), 100 + 100 * 5 / int(kSpliceFadeFrames) + 1)
                    << "frame " << f;
        }
    }
}

TEST(PacketSplice, MovesNoMoreThanThePacketAllows) {
    std::vector<int16_t> samples = ramp(89, 91);
    EXPECT_EQ(splicePacket(spliceOf(samples, 89, 91), +5), 2) << "room for two more frames";
    EXPECT_EQ(at(samples, 90, 1), int16_t(100 * 88 + 1));
    std::vector<int16_t> full = ramp(89, 89);
    EXPECT_EQ(splicePacket(spliceOf(full, 89, 80), +5), 0) << "a packet that already overfills its room";
    std::vector<int16_t> shortPacket = ramp(kSpliceFadeFrames - 1, 64);
    EXPECT_EQ(splicePacket(spliceOf(shortPacket, kSpliceFadeFrames - 1, 64), -3), 0) << "shorter than the fade";
    std::vector<int16_t> cut = ramp(40, 40);
    EXPECT_EQ(splicePacket(spliceOf(cut, 40, 40), -20), -8) << "at most what lies beyond the fade";
}

TEST(PacketSplice, KeepsTwentyFourBitSamplesWhole) {
    // Packed 24-bit frames, one channel, a negative ramp: the bytes of every
    // sample outside the seam come back as they were.
    constexpr uint32_t kFrames = 64;
    std::vector<uint8_t> packet(size_t(kFrames + 4) * 3, 0);
    auto value = [](uint32_t f) { return -0x400000 + int32_t(f) * 0x1000; };
    for (uint32_t f = 0; f < kFrames; ++f)
        for (uint32_t b = 0; b < 3; ++b) packet[f * 3 + b] = static_cast<uint8_t>(uint32_t(value(f)) >> (8 * b));
    ASSERT_EQ(splicePacket(PacketSplice{packet.data(), kFrames, kFrames + 4, 1, 24}, +4), 4);
    auto load = [&](uint32_t f) {
        return int32_t((uint32_t(packet[f * 3]) << 8) | (uint32_t(packet[f * 3 + 1]) << 16) |
                       (uint32_t(packet[f * 3 + 2]) << 24)) >> 8;
    };
    EXPECT_EQ(load(0), value(0));
    EXPECT_EQ(load(kFrames + 3), value(kFrames - 1));
    for (uint32_t f = 1; f < kFrames + 4; ++f) EXPECT_LE(std::abs(load(f) - load(f - 1)), 0x1000 * 2);
}

}  // namespace
