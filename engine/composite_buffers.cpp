#include "engine/composite_buffers.h"

#include <cstring>

#include "base/heap.h"
#include "engine/composite_unit.h"
#include "engine/ks_audio_filter.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The host's halves together stay far below what a 32-bit size can count.
constexpr uint64_t kMaxBlockBytes = uint64_t(1) << 30;

inline int32_t clampSum(int32_t sum, int32_t low, int32_t high) { return sum < low ? low : sum > high ? high : sum; }

// 16-bit samples: the sums saturated to 16 bits, eight at a time where the
// processor packs them that way (a signed pack saturates exactly as
// clampSum does).
void storeClamped16(const int32_t* sums, uint32_t frames, uint8_t* out) {
    uint32_t f = 0;
#if defined(__SSE2__)
    for (; f + 8 <= frames; f += 8) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + f));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + f + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * f), _mm_packs_epi32(low, high));
    }
#endif
    for (; f < frames; ++f) {
        const int16_t v = static_cast<int16_t>(clampSum(sums[f], -32768, 32767));
        std::memcpy(out + 2 * f, &v, 2);
    }
}

}  // namespace

bool CompositeBuffers::isSupportedWidth(uint32_t sampleBits) {
    return sampleBits == 16 || sampleBits == 24 || sampleBits == 32;
}

bool CompositeBuffers::allocate(uint32_t frames, uint32_t sampleBits, const bool* requested) {
    release();
    if (frames == 0 || !isSupportedWidth(sampleBits)) return false;
    uint32_t accumulatorCount = 0;
    for (int32_t n = 0; n < kAsioInputChannels; ++n)
        if (requested[asioChannelTableIndex(n, true)]) ++accumulatorCount;
    const uint64_t half = uint64_t(frames) * (sampleBits / 8);
    const uint64_t halves = 2ull * (kAsioInputChannels + kAsioOutputChannels);
    const uint64_t bytes = halves * half + uint64_t(accumulatorCount) * frames * sizeof(int32_t);
    if (bytes > kMaxBlockBytes) return false;
    block_ = static_cast<uint8_t*>(heap::reallocate(nullptr, static_cast<size_t>(bytes)));
    if (block_ == nullptr) return false;
    std::memset(block_, 0, static_cast<size_t>(bytes));
    frames_ = frames;
    sampleBits_ = sampleBits;
    uint8_t* next = block_;
    for (void*& buffer : inputs_) {
        buffer = next;
        next += half;
    }
    for (void*& buffer : outputs_) {
        buffer = next;
        next += half;
    }
    for (int32_t n = 0; n < kAsioInputChannels; ++n) {
        if (!requested[asioChannelTableIndex(n, true)]) continue;
        accumulators_[n] = reinterpret_cast<int32_t*>(next);
        next += uint64_t(frames) * sizeof(int32_t);
    }
    return true;
}

void CompositeBuffers::release() {
    heap::release(block_);
    block_ = nullptr;
    frames_ = 0;
    sampleBits_ = 0;
    std::memset(inputs_, 0, sizeof(inputs_));
    std::memset(outputs_, 0, sizeof(outputs_));
    std::memset(accumulators_, 0, sizeof(accumulators_));
    clearFed();
}

void CompositeBuffers::clearFed() { std::memset(fed_, 0, sizeof(fed_)); }

void CompositeBuffers::feedUnit(const CompositeUnit& unit) {
    void* table[kHostBufferTableSize];
    buildUnitTable(unit, table, true);
}

void CompositeBuffers::buildUnitTable(const CompositeUnit& unit, void** table, bool markFed) {
    for (uint32_t entry = 0; entry < kHostBufferTableSize; ++entry) table[entry] = nullptr;
    const uint32_t channels = unit.hardwareChannels();
    for (uint32_t c = 0; c < channels && 2 * c + 1 < kHostBufferTableSize; ++c) {
        const uint8_t routed = unit.asioChannel(c);
        if (routed >= kAsioInputChannels) continue;
        if (unit.isInput()) {
            if (accumulators_[routed] == nullptr) continue;  // not requested
            table[2 * c] = table[2 * c + 1] = accumulators_[routed];
            if (markFed) feed(routed);
        } else if (outputs_[2 * routed] != nullptr) {
            table[2 * c] = outputs_[2 * routed];
            table[2 * c + 1] = outputs_[2 * routed + 1];
        }
    }
}

void CompositeBuffers::silenceInput(int32_t channel) {
    fed_[channel] = false;
    const size_t half = size_t(frames_) * (sampleBits_ / 8);
    if (accumulators_[channel] != nullptr) std::memset(accumulators_[channel], 0, size_t(frames_) * sizeof(int32_t));
    if (inputs_[2 * channel] != nullptr) std::memset(inputs_[2 * channel], 0, half);
    if (inputs_[2 * channel + 1] != nullptr) std::memset(inputs_[2 * channel + 1], 0, half);
}

void CompositeBuffers::convertInputs(uint32_t half) {
    for (int32_t n = 0; n < kAsioInputChannels; ++n) {
        int32_t* sums = accumulators_[n];
        if (!fed_[n] || sums == nullptr) continue;
        uint8_t* out = static_cast<uint8_t*>(inputs_[2 * n + (1 - half)]);
        switch (sampleBits_) {
            case 16:
                storeClamped16(sums, frames_, out);
                break;
            case 24:
                for (uint32_t f = 0; f < frames_; ++f) {
                    const int32_t v = clampSum(sums[f], -8388608, 8388607);
                    out[3 * f] = static_cast<uint8_t>(v);
                    out[3 * f + 1] = static_cast<uint8_t>(v >> 8);
                    out[3 * f + 2] = static_cast<uint8_t>(v >> 16);
                }
                break;
            default:
                // 32-bit hosts get the full-width sums as they stand.
                std::memcpy(out, sums, size_t(frames_) * sizeof(int32_t));
                break;
        }
        std::memset(sums, 0, size_t(frames_) * sizeof(int32_t));
    }
}
