// Render-side adapters: host rate in, hardware rate out. Each converts one
// host buffer into its own output buffer and reports how many hardware
// frames that made, which the filter uses as the packet length.
#pragma once

#include <cstdint>

#include "base/int24.h"
#include "src/integer_converters.h"
#include "src/samplerate_converter.h"
#include "src/variable_rate_converter.h"

template <typename T>
class OutputSamplerateConversionAdapterAbs : public OutputSamplerateConverterIf {
public:
    ~OutputSamplerateConversionAdapterAbs() override;
    OutputSamplerateConversionAdapterAbs(const OutputSamplerateConversionAdapterAbs&) = delete;
    OutputSamplerateConversionAdapterAbs& operator=(const OutputSamplerateConversionAdapterAbs&) = delete;

    // Converts at most one host buffer (more input is cut off, it would not
    // fit the output buffer) and returns the output buffer.
    void* process(const void* in, int32_t inFrames, int32_t& outFrames) override;
    // Forwards to the converter.
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;

    bool isValid() const { return valid_; }
    // The most hardware frames one host buffer yields.
    int32_t outputCapacity() const { return outputCapacity_; }
    int32_t hostFrames() const { return hostFrames_; }

protected:
    explicit OutputSamplerateConversionAdapterAbs(int32_t hostFrames) : hostFrames_(hostFrames) {}
    // Takes the converter (null when it could not be made) and allocates
    // room for bufferRoom samples, at least outputCapacity.
    void setUp(SamplerateConverterIf* converter, int32_t outputCapacity, int32_t bufferRoom);

private:
    SamplerateConverterIf* converter_ = nullptr;
    T* output_ = nullptr;
    int32_t outputCapacity_ = 0;
    int32_t hostFrames_;
    bool valid_ = false;
};

template <typename T>
class IntegerUpOutputSamplerateConversionAdapter : public OutputSamplerateConversionAdapterAbs<T> {
public:
    // hardwareFrames receives frames * factor.
    IntegerUpOutputSamplerateConversionAdapter(int32_t factor, int32_t frames, int32_t& hardwareFrames);
};

template <typename T>
class IntegerDownOutputSamplerateConversionAdapter : public OutputSamplerateConversionAdapterAbs<T> {
public:
    // hardwareFrames receives ceil(frames / factor).
    IntegerDownOutputSamplerateConversionAdapter(int32_t factor, int32_t frames, int32_t& hardwareFrames);
};

template <typename T, int32_t Min, int32_t Max>
class VariableRateOutputSamplerateConversionAdapter : public OutputSamplerateConversionAdapterAbs<T> {
public:
    // ratio: host rate / hardware rate. hardwareFrames receives
    // ceil(frames / ratio); with a spread (the part by which steerTo may
    // move the step either way), the most frames one host buffer can make
    // at any step of the range, the block after startAtNextBlock included.
    VariableRateOutputSamplerateConversionAdapter(double ratio, int32_t frames, int32_t& hardwareFrames,
                                                  double spread = 0.0);

    // A start (startAtNextBlock) passes the block's first kStartCopy samples
    // on as they are, then the converter's outputs from a window at the
    // block's start, which continue them; it waits for a block of a whole
    // window.
    void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) override;
    bool steerTo(double step) override;
    void startAtNextBlock() override;
    // The next output's centre after the last block, less the conversion's
    // delay: a window's outputs can be made once its last sample is in, so
    // the hardware plays each host frame kStartCopy frames later than an
    // unconverted stream whose packets end where its own do.
    double boundaryPosition() const override;

private:
    VariableRateSamplerateConverter<T, Min, Max>* variable_ = nullptr;
    bool steered_ = false;
    bool startPending_ = false;
};

using VariableRateOutputSamplerateConversionAdapter16 =
    VariableRateOutputSamplerateConversionAdapter<int16_t, -32768, 32767>;
using VariableRateOutputSamplerateConversionAdapter24 =
    VariableRateOutputSamplerateConversionAdapter<Int24, -8388608, 8388607>;
