// What a controller in loopback plays, kept for its capture side: the QELM's
// "Master rec" input records the unit's master output. The render pin writes
// every hardware frame as it plays (silence where no packet was queued);
// the capture pin reads the frame that was playing a hardware delay before.
//
// Frames are numbered by the render pin's clock (from 0 since it left
// KSSTATE_STOP) and kept as left-justified 32-bit samples; the most recent
// `capacity` frames stay readable.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/filter_model.h"

namespace sim {

class LoopbackLine {
public:
    // Forgets everything and keeps room for `capacity` frames of `channels`.
    void reset(uint32_t channels, uint32_t capacity);
    // Forgets what was played: the render clock starts over at frame 0.
    void restart() { end_ = 0; }
    uint32_t channels() const { return channels_; }
    // The frame after the last one played.
    uint64_t end() const { return end_; }

    // Frames [first, first + frames) of interleaved samples in `format`;
    // frames skipped since the last write are silence.
    void write(uint64_t first, const uint8_t* data, uint64_t frames, const StreamFormat& format);
    // Silence up to (not including) frame `until`.
    void silenceUntil(uint64_t until);
    // The sample of a frame and channel; 0 for anything not (or no longer)
    // held: before the first frame, not played yet, an unknown channel.
    int32_t sample(int64_t frame, uint32_t channel) const;

private:
    int32_t& slot(uint64_t frame, uint32_t channel) {
        return samples_[(frame % capacity_) * channels_ + channel];
    }

    std::vector<int32_t> samples_;
    uint32_t channels_ = 0;
    uint64_t capacity_ = 0;
    uint64_t end_ = 0;
};

}  // namespace sim
