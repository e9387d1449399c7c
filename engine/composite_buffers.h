// The composite device's ASIO double buffers: both halves of all 16 inputs
// and 16 outputs at the host's sample width, one 32-bit accumulator per
// requested input into which the capture units add, and which inputs some
// streaming capture unit feeds.
//
// Everything is allocated at once by allocate(); the streaming thread then
// only converts and zeroes (convertInputs), never allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/audio_device.h"
#include "engine/unit_routing.h"

class CompositeUnit;

class CompositeBuffers {
public:
    CompositeBuffers() = default;
    ~CompositeBuffers() { release(); }
    CompositeBuffers(const CompositeBuffers&) = delete;
    CompositeBuffers& operator=(const CompositeBuffers&) = delete;

    // Sample widths the buffers can hold: 16, 24 or 32 bits.
    static bool isSupportedWidth(uint32_t sampleBits);
    // Zeroed halves for every channel and accumulators for the requested
    // inputs (requested: the 32-entry table). False, with nothing allocated,
    // when out of memory or the size cannot be held.
    bool allocate(uint32_t frames, uint32_t sampleBits, const bool* requested);
    void release();
    bool exist() const { return block_ != nullptr; }
    uint32_t frames() const { return frames_; }

    void* input(int32_t channel, uint32_t half) const { return inputs_[2 * channel + half]; }
    void* output(int32_t channel, uint32_t half) const { return outputs_[2 * channel + half]; }
    int32_t* accumulator(int32_t channel) const { return accumulators_[channel]; }

    // Fills a unit's 32-entry table (two per hardware channel): a capture
    // channel routed to a requested input gets that input's accumulator
    // twice and feeds it; a render channel routed to a requested output
    // gets the output's halves; every other entry is null.
    // markFed: the unit's inputs count as fed from now on (feed); a thread
    // other than the streaming one leaves that to feedUnit, which the
    // streaming thread calls when the unit starts streaming.
    void buildUnitTable(const CompositeUnit& unit, void** table, bool markFed = true);
    void feedUnit(const CompositeUnit& unit);

    bool isFed(int32_t channel) const { return fed_[channel]; }
    // A requested input some streaming unit adds into.
    void feed(int32_t channel) { fed_[channel] = accumulators_[channel] != nullptr; }
    void clearFed();
    // An input no streaming unit feeds any more is silent from now on: its
    // accumulator and both halves are zeroed.
    void silenceInput(int32_t channel);

    // The sums of the half just completed into the other half's input
    // buffers, clamped to the sample width; the accumulators start again
    // from zero. Inputs nobody feeds are left as they are.
    void convertInputs(uint32_t half);

private:
    uint8_t* block_ = nullptr;
    uint32_t frames_ = 0;
    uint32_t sampleBits_ = 0;
    void* inputs_[2 * kAsioInputChannels] = {};
    void* outputs_[2 * kAsioOutputChannels] = {};
    int32_t* accumulators_[kAsioInputChannels] = {};
    bool fed_[kAsioInputChannels] = {};
};
