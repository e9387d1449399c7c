// Moving one packet of audio between the host's per-channel buffers and the
// hardware's interleaved packet, changing the sample width on the way and
// running the per-channel sample-rate adapters.
//
// Host samples are signed 16-bit or packed Int24 (3 bytes). Hardware
// containers are 16-bit, packed 3-byte or 32-bit words; a narrower sample
// goes into a wider container shifted to its top (the low bits zero), a wider
// one into a narrower container keeps its upper bits (rounding towards minus
// infinity, no dither). Frame f of hardware channel c sits at f * N + c.
//
// These run on the streaming thread for every packet: they allocate nothing,
// take no lock and call nothing but the adapters.
#pragma once

#include <cstdint>

#include "src/samplerate_converter.h"

// Entries of a host-buffer table: two per hardware channel, 2c + half.
constexpr uint32_t kMaxUnitChannels = 16;
constexpr uint32_t kHostBufferTableSize = 2 * kMaxUnitChannels;

// Host sample widths and hardware container widths the routines convert.
bool isConvertibleHostBits(uint32_t hostBits);
bool isConvertibleContainerBits(uint32_t containerBits);

struct RenderConversion {
    // 32 entries; entry 2c + half is the host half channel c plays, null
    // for a channel without a host channel.
    void* const* hostBuffers = nullptr;
    uint32_t half = 0;
    uint32_t channels = 0;
    uint32_t containerBits = 0;
    uint32_t hostBits = 0;
    // Host frames in every host half (and in the silence block).
    uint32_t frames = 0;
    // Null, or one adapter per channel.
    OutputSamplerateConverterIf* const* adapters = nullptr;
    // frames host samples of zero, played where a channel has no host half.
    const void* silence = nullptr;
    uint8_t* packet = nullptr;
    // Room of the packet in hardware frames; nothing is written beyond it.
    uint32_t packetFrames = 0;
};

// Fills the packet; returns the hardware frames written. 0 when the channel
// count or a width has no conversion.
uint32_t convertRender(const RenderConversion& job);

struct CaptureConversion {
    // 32 entries; entry 2c + half, when not null, is the 32-bit accumulator
    // (frames entries) that channel c adds into.
    void* const* hostBuffers = nullptr;
    uint32_t half = 0;
    uint32_t channels = 0;
    uint32_t containerBits = 0;
    uint32_t hostBits = 0;
    // Host frames in every accumulator and staging buffer.
    uint32_t frames = 0;
    // Null, or one adapter per channel; their input buffers hold at least
    // capturedFrames samples.
    InputSamplerateConverterIf* const* adapters = nullptr;
    // One buffer of frames host samples per channel.
    void* const* staging = nullptr;
    const uint8_t* packet = nullptr;
    // Hardware frames in the packet; without adapters at most frames.
    uint32_t capturedFrames = 0;
};

// Converts the packet and adds it into the accumulators; returns the
// hardware frames taken (0 when nothing could be converted).
uint32_t convertCapture(const CaptureConversion& job);
