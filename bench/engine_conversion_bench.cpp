// Sample format conversion of one packet, per channel count and width
// pairing, beside a plain byte-by-byte interleave of the same packet for
// comparison. Items are samples (frames times channels).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "engine/sample_conversion.h"
#include "src/adapter_factory.h"

namespace {

constexpr uint32_t kFrames = 256;

struct Buffers {
    Buffers(uint32_t channels, uint32_t hostBits, uint32_t containerBits)
        : host(channels, std::vector<uint8_t>(2 * kFrames * 4, 0x5A)), table(kHostBufferTableSize, nullptr),
          silence(kFrames * 4, 0), packet(kFrames * 4 * channels * 4), accumulators(channels, std::vector<int32_t>(kFrames)),
          staging(channels, std::vector<uint8_t>(kFrames * 4)), stagingTable(channels) {
        for (uint32_t c = 0; c < channels; ++c) {
            table[2 * c] = host[c].data();
            table[2 * c + 1] = host[c].data() + kFrames * hostBits / 8;
            stagingTable[c] = staging[c].data();
        }
        render.hostBuffers = table.data();
        render.channels = channels;
        render.containerBits = containerBits;
        render.hostBits = hostBits;
        render.frames = kFrames;
        render.silence = silence.data();
        render.packet = packet.data();
        render.packetFrames = kFrames * 4;
        capture.hostBuffers = captureTable.data();
        capture.channels = channels;
        capture.containerBits = containerBits;
        capture.hostBits = hostBits;
        capture.frames = kFrames;
        capture.staging = stagingTable.data();
        capture.packet = packet.data();
        capture.capturedFrames = kFrames;
        for (uint32_t c = 0; c < channels; ++c) captureTable[2 * c] = accumulators[c].data();
    }
    std::vector<std::vector<uint8_t>> host;
    std::vector<void*> table;
    std::vector<uint8_t> silence;
    std::vector<uint8_t> packet;
    std::vector<std::vector<int32_t>> accumulators;
    std::vector<std::vector<uint8_t>> staging;
    std::vector<void*> stagingTable;
    std::vector<void*> captureTable = std::vector<void*>(kHostBufferTableSize, nullptr);
    RenderConversion render;
    CaptureConversion capture;
};

void Render(benchmark::State& state) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    Buffers b(channels, static_cast<uint32_t>(state.range(1)), static_cast<uint32_t>(state.range(2)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(convertRender(b.render));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * channels);
}

void Capture(benchmark::State& state) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    Buffers b(channels, static_cast<uint32_t>(state.range(1)), static_cast<uint32_t>(state.range(2)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(convertCapture(b.capture));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * channels);
}

// The baseline: three bytes at a time with a loop over the channels.
void RenderPlainBytes24(benchmark::State& state) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    Buffers b(channels, 24, 24);
    for (auto _ : state) {
        for (uint32_t f = 0; f < kFrames; ++f)
            for (uint32_t c = 0; c < channels; ++c)
                std::memcpy(&b.packet[(f * channels + c) * 3], &b.host[c][f * 3], 3);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * channels);
}

// The same packet through variable-rate adapters (44100 host, 48000 hardware).
void RenderVariableRate(benchmark::State& state) {
    const uint32_t channels = static_cast<uint32_t>(state.range(0));
    Buffers b(channels, 16, 16);
    OutputSamplerateConverterIf* adapters[kMaxUnitChannels];
    int32_t hardwareFrames = 0;
    if (createRenderAdapters(48000, 44100.0, 16, kFrames, static_cast<int>(channels), adapters, hardwareFrames) !=
        SamplerateAdapterResult::Made) {
        state.SkipWithError("adapters");
        return;
    }
    b.render.adapters = adapters;
    for (auto _ : state) {
        benchmark::DoNotOptimize(convertRender(b.render));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames * channels);
    deleteAdapters(adapters, static_cast<int>(channels));
}

}  // namespace

// Arguments: channels, host bits, container bits.
BENCHMARK(Render)->ArgsProduct({{2, 4, 6, 8}, {16}, {16}});
BENCHMARK(Render)->ArgsProduct({{2, 4, 6, 8}, {24}, {24}});
BENCHMARK(Render)->ArgsProduct({{2, 4, 6, 8}, {24}, {16}});
BENCHMARK(Render)->ArgsProduct({{2, 8}, {16}, {32}});
BENCHMARK(RenderPlainBytes24)->Arg(2)->Arg(4)->Arg(6)->Arg(8);
BENCHMARK(Capture)->ArgsProduct({{2, 4}, {16}, {16}});
BENCHMARK(Capture)->ArgsProduct({{2, 4}, {16}, {24}});
BENCHMARK(Capture)->ArgsProduct({{2, 4}, {24}, {24}});
BENCHMARK(RenderVariableRate)->Arg(2)->Arg(8);

BENCHMARK_MAIN();
