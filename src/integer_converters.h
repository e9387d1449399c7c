// Conversion by a whole-number factor without filtering: upsampling repeats
// each sample, downsampling averages each group of samples. The hardware
// format search prefers rates that allow these, since they cost next to
// nothing per sample.
#pragma once

#include <cstdint>

#include "base/int24.h"
#include "src/samplerate_converter.h"

template <typename T>
class IntegerUpSamplerateConverter : public SamplerateConverterIf {
public:
    explicit IntegerUpSamplerateConverter(int32_t factor);
    // Writes each input sample factor times: outFrames = inFrames * factor.
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;

    int32_t factor() const { return factor_; }
    bool isValid() const { return factor_ >= 1; }

private:
    int32_t factor_;
};

template <typename T>
class IntegerDownSamplerateConverter : public SamplerateConverterIf {
public:
    explicit IntegerDownSamplerateConverter(int32_t factor);
    // Writes the truncated mean of every completed group of factor samples;
    // an unfinished group stays open across calls.
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;

    int32_t factor() const { return factor_; }
    bool isValid() const { return factor_ >= 1; }
    // Input samples of the open group (0 to factor - 1 between calls).
    int32_t gathered() const { return gathered_; }
    int64_t partialSum() const { return partialSum_; }

private:
    int32_t factor_;
    int32_t gathered_ = 0;
    // 64 bits so that no factor can overflow a group of 24-bit samples.
    int64_t partialSum_ = 0;
};
