// The converter interfaces of sample-rate conversion. Buffers travel as
// untyped pointers because the engine picks the sample type (16-bit or
// packed 24-bit) at run time; every concrete class is a template over it.
#pragma once

#include <cstdint>

// Converts one channel: reads inFrames samples from in, writes the samples it
// completes to out and stores their number in outFrames (set to 0 first).
class SamplerateConverterIf {
public:
    virtual ~SamplerateConverterIf() = default;
    virtual void convert(const void* in, int32_t inFrames, void* out, int32_t& outFrames) = 0;
};

// Capture side: hardware rate in, host rate out. The filter writes one
// packet's samples of the channel into getInputBuffer() and calls process,
// which always hands back exactly one host buffer of frames.
class InputSamplerateConverterIf : public SamplerateConverterIf {
public:
    // Hardware frames to read for the next packet; never more than the
    // hardware frames per packet reported at construction.
    virtual int32_t hardwareFramesFor(int32_t hostFrames) = 0;
    virtual void* getInputBuffer() = 0;
    // Converts `frames` samples of the input buffer into out (room for one
    // host buffer) and returns the host frames written.
    virtual int32_t process(int32_t frames, void* out) = 0;
};

// Render side: host rate in, hardware rate out. process returns the adapter's
// own output buffer; outFrames varies from packet to packet when the ratio
// is not a whole number, but never exceeds the hardware frames per packet.
class OutputSamplerateConverterIf : public SamplerateConverterIf {
public:
    virtual void* process(const void* in, int32_t inFrames, int32_t& outFrames) = 0;
};
