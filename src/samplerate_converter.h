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

// What a clock-drift corrector steers in an adapter (docs/drift.md): the
// variable-rate adapters made with a spread take a new step within it,
// start afresh at a block after running without conversion, and tell where
// the last block's boundary lies on the host's time line. Other adapters
// take no steering.
class SteerableAdapterIf {
public:
    virtual ~SteerableAdapterIf() = default;
    // Input samples per output sample from the next output on; false when
    // the adapter cannot take it.
    virtual bool steerTo(double step) {
        (void)step;
        return false;
    }
    // The next block is converted from its start as if the stream had run
    // unconverted until then: its first samples go through as they are.
    virtual void startAtNextBlock() {}
    // Where the hardware frame after the last block converted lies on the
    // host's time line, in host frames from the end of the last host buffer
    // made or taken, less the conversion's own delay: 0 for a stream that
    // runs unconverted, and the same for two streams whose hardware frames
    // carry the same host frames at the same moments.
    virtual double boundaryPosition() const { return 0.0; }
};

// Capture side: hardware rate in, host rate out. The filter writes one
// packet's samples of the channel into getInputBuffer() and calls process,
// which always hands back exactly one host buffer of frames.
class InputSamplerateConverterIf : public SamplerateConverterIf, public SteerableAdapterIf {
public:
    // Hardware frames to read for the next packet; never more than the
    // hardware frames per packet reported at construction.
    virtual int32_t hardwareFramesFor(int32_t hostFrames) = 0;
    // The same for a block that starts a steerable adapter
    // (SteerableAdapterIf::startAtNextBlock); others have no start.
    virtual int32_t hardwareFramesForStart(int32_t hostFrames) { return hardwareFramesFor(hostFrames); }
    virtual void* getInputBuffer() = 0;
    // Converts `frames` samples of the input buffer into out (room for one
    // host buffer) and returns the host frames written.
    virtual int32_t process(int32_t frames, void* out) = 0;
};

// Render side: host rate in, hardware rate out. process returns the adapter's
// own output buffer; outFrames varies from packet to packet when the ratio
// is not a whole number, but never exceeds the hardware frames per packet.
class OutputSamplerateConverterIf : public SamplerateConverterIf, public SteerableAdapterIf {
public:
    virtual void* process(const void* in, int32_t inFrames, int32_t& outFrames) = 0;
};
