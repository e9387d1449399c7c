// Choosing and making the adapters of one filter. A filter converts either
// every channel or none: these helpers make one adapter per channel and
// succeed only when all of them could be made.
#pragma once

#include <cstdint>

#include "src/samplerate_converter.h"

enum class SamplerateAdapterKind { None, IntegerUp, IntegerDown, VariableRate };

struct SamplerateAdapterPlan {
    SamplerateAdapterKind kind = SamplerateAdapterKind::None;
    int32_t factor = 0;  // integer kinds
    double ratio = 0.0;  // variable rate: input rate / output rate
    double spread = 0.0; // variable rate: how far it may be steered, as a part of the ratio
};

// Which converter bridges a hardware rate and a host rate. The host rate is
// compared truncated to an integer; whole-number multiples use the integer
// converters, anything else the variable-rate one with the exact ratio.
SamplerateAdapterPlan planCaptureAdapter(uint32_t hardwareRate, double hostRate);
SamplerateAdapterPlan planRenderAdapter(uint32_t hardwareRate, double hostRate);

enum class SamplerateAdapterResult {
    NotNeeded,      // rates agree, or a host width without converters: no adapters
    Made,           // one adapter per channel
    Unsupported,    // the rates or sizes cannot be converted (a host rate of 0, for one)
    OutOfMemory,    // an adapter, its converter or a buffer could not be allocated
};

// Makes `channels` capture adapters (hostBits 16: 16-bit samples, 24: Int24)
// into adapters[0 .. channels - 1]. On Made, hardwareFrames is the hardware
// frames per packet; on NotNeeded it is frames. On any other result every
// entry is null and nothing is left allocated.
//
// A spread above 0 asks for adapters a clock-drift corrector can steer
// (steerTo within that part of the ratio either way): variable-rate ones,
// also where the rates agree (ratio 1, for a stream that runs unconverted
// until steering starts). Rates a whole factor apart keep their integer
// converters, which cannot be steered.
SamplerateAdapterResult createCaptureAdapters(uint32_t hardwareRate, double hostRate, int hostBits,
                                              int32_t frames, int channels,
                                              InputSamplerateConverterIf** adapters,
                                              int32_t& hardwareFrames, double spread = 0.0);
SamplerateAdapterResult createRenderAdapters(uint32_t hardwareRate, double hostRate, int hostBits,
                                             int32_t frames, int channels,
                                             OutputSamplerateConverterIf** adapters,
                                             int32_t& hardwareFrames, double spread = 0.0);

// Deletes and nulls every non-null entry.
void deleteAdapters(InputSamplerateConverterIf** adapters, int channels);
void deleteAdapters(OutputSamplerateConverterIf** adapters, int channels);
