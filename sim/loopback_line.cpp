#include "sim/loopback_line.h"

#include <algorithm>

#include "sim/capture_signal.h"

namespace sim {

void LoopbackLine::reset(uint32_t channels, uint32_t capacity) {
    channels_ = channels;
    capacity_ = capacity;
    end_ = 0;
    samples_.assign(static_cast<size_t>(channels) * capacity, 0);
}

void LoopbackLine::silenceUntil(uint64_t until) {
    if (capacity_ == 0 || until <= end_) return;
    // Beyond a whole ring of silence the rest changes nothing.
    for (uint64_t f = std::max(end_, until > capacity_ ? until - capacity_ : 0); f < until; ++f)
        for (uint32_t c = 0; c < channels_; ++c) slot(f, c) = 0;
    end_ = until;
}

void LoopbackLine::write(uint64_t first, const uint8_t* data, uint64_t frames, const StreamFormat& format) {
    if (capacity_ == 0 || format.blockAlign == 0 || first + frames <= end_) return;
    silenceUntil(first);
    const uint32_t bytes = format.containerBits / 8;
    const uint32_t shift = 32 - format.containerBits;
    for (uint64_t f = std::max(first, end_); f < first + frames; ++f) {
        const uint8_t* frame = data + (f - first) * format.blockAlign;
        for (uint32_t c = 0; c < channels_; ++c)
            slot(f, c) = c < format.channels
                             ? static_cast<int32_t>(static_cast<uint32_t>(readContainerSample(frame + c * bytes,
                                                                                              format.containerBits))
                                                    << shift)
                             : 0;
    }
    end_ = first + frames;
}

int32_t LoopbackLine::sample(int64_t frame, uint32_t channel) const {
    if (frame < 0 || channel >= channels_ || capacity_ == 0) return 0;
    const uint64_t f = static_cast<uint64_t>(frame);
    if (f >= end_ || end_ - f > capacity_) return 0;
    return samples_[(f % capacity_) * channels_ + channel];
}

}  // namespace sim
