// The streaming thread must not allocate: every operator new in this
// executable is counted, and converting and processing must add none.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "src/adapter_factory.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

TEST(RealTimePath, ConvertAndProcessAllocateNothing) {
    struct Case {
        uint32_t hardware;
        double host;
        double spread;  // steered adapters, moved and started at every packet
    };
    const Case cases[] = {{44100, 48000.0, 0.0}, {48000, 44100.0, 0.0}, {44100, 88200.0, 0.0},
                          {96000, 48000.0, 0.0}, {44100, 44100.0, 0.005}, {44100, 48000.0, 0.005}};
    for (const Case& c : cases) {
        for (int bits : {16, 24}) {
            InputSamplerateConverterIf* in[2];
            OutputSamplerateConverterIf* out[2];
            int32_t hIn = 0, hOut = 0;
            ASSERT_EQ(createCaptureAdapters(c.hardware, c.host, bits, 256, 2, in, hIn, c.spread),
                      SamplerateAdapterResult::Made);
            ASSERT_EQ(createRenderAdapters(c.hardware, c.host, bits, 256, 2, out, hOut, c.spread),
                      SamplerateAdapterResult::Made);
            std::vector<uint8_t> host(256 * 3, 0x11), staging(256 * 3);
            const long before = allocations.load();
            for (int packet = 0; packet < 50; ++packet) {
                for (int ch = 0; ch < 2; ++ch) {
                    if (c.spread > 0.0) {
                        const double ratio = c.hardware / c.host * (1.0 + 0.004 * ((packet % 5) - 2) / 2.0);
                        in[ch]->steerTo(ratio);
                        out[ch]->steerTo(1.0 / ratio);
                        if (packet % 10 == 3) {
                            in[ch]->startAtNextBlock();
                            out[ch]->startAtNextBlock();
                        }
                        (void)(in[ch]->boundaryPosition() + out[ch]->boundaryPosition());
                    }
                    const int32_t r = in[ch]->hardwareFramesFor(256);
                    in[ch]->process(packet == 7 ? r / 2 : r, staging.data());
                    int32_t n = 0;
                    out[ch]->process(host.data(), 256, n);
                    int32_t made = 0;
                    out[ch]->convert(host.data(), 17, staging.data(), made);
                }
            }
            EXPECT_EQ(allocations.load(), before) << c.hardware << " " << c.host << " " << bits;
            deleteAdapters(in, 2);
            deleteAdapters(out, 2);
        }
    }
}

TEST(RealTimePath, TheCounterSeesAllocations) {
    const long before = allocations.load();
    InputSamplerateConverterIf* in[1];
    int32_t h = 0;
    ASSERT_EQ(createCaptureAdapters(44100, 48000.0, 16, 64, 1, in, h), SamplerateAdapterResult::Made);
    EXPECT_GT(allocations.load(), before);
    deleteAdapters(in, 1);
}
