// The per-packet operations must not allocate, and a unit whose adapters
// cannot all be made must refuse its buffers. Every operator new of this
// executable is counted, and can be made to fail.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "unit_fixture.h"

namespace {
std::atomic<long> allocations{0};
std::atomic<long> failAfter{-1};  // nothrow allocations left before they fail; -1 never

bool allocationFails() {
    long left = failAfter.load();
    if (left < 0) return false;
    if (left == 0) return true;
    failAfter.store(left - 1);
    return false;
}
}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    if (allocationFails()) return nullptr;
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& t) noexcept { return operator new(size, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace enginetest;

namespace {

class UnitAllocation : public UnitTest {};

TEST_F(UnitAllocation, WriteDataAndReadDataAllocateNothing) {
    for (double rate : {44100.0, 88200.0, 48000.0}) {
        SimUnitRouting& qelm = plugQelm();
        controllers.back()->setRenderedCap(4096);
        KsAudioRenderFilter* render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
        KsAudioCaptureFilter* capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
        ASSERT_NE(render, nullptr);
        ASSERT_NE(capture, nullptr);
        ASSERT_EQ(render->setSampleRate(rate), ASE_OK);
        ASSERT_EQ(capture->setSampleRate(rate), ASE_OK);
        HostHalves host(4, 128, 16);
        Accumulators acc(4, 128);
        ASSERT_EQ(render->createBuffers(host.table.data(), 128, 16), ASE_OK);
        ASSERT_EQ(capture->createBuffers(acc.table.data(), 128, 16), ASE_OK);
        long during = 0;
        auto packet = [&](uint32_t half) {
            const long before = allocations.load();
            EXPECT_EQ(render->writeData(half), 0);
            EXPECT_EQ(capture->readData(half), 0);
            during += allocations.load() - before;
        };
        packet(0);
        packet(1);
        ASSERT_EQ(render->moveToState(KSSTATE_RUN), S_OK);
        ASSERT_EQ(capture->moveToState(KSSTATE_RUN), S_OK);
        for (uint32_t block = 0; block < 200; ++block) {
            bus.advanceFrames(128);
            const uint32_t half = block % 2;
            if (signalled(render->getEvent(half))) {
                const long before = allocations.load();
                EXPECT_EQ(render->writeData(half), 0);
                during += allocations.load() - before;
            }
            if (signalled(capture->getEvent(half))) {
                const long before = allocations.load();
                EXPECT_EQ(capture->readData(half), 0);
                during += allocations.load() - before;
            }
        }
        EXPECT_GT(controllers.back()->renderStats().packetsCompleted, 100u) << rate;
        EXPECT_GT(controllers.back()->captureStats().packetsCompleted, 100u) << rate;
        EXPECT_EQ(during, 0) << rate;
        render->moveToState(KSSTATE_STOP);
        capture->moveToState(KSSTATE_STOP);
    }
}

TEST_F(UnitAllocation, AnAdapterThatCannotBeMadeLeavesNoAdaptersAndNoBuffers) {
    SimUnitRouting& qelm = plugQelm();
    KsAudioRenderFilter* render = keep(KsAudioRenderFilter::instantiate(&qelm, 16));
    KsAudioCaptureFilter* capture = keep(KsAudioCaptureFilter::instantiate(&qelm, 16));
    ASSERT_NE(render, nullptr);
    ASSERT_NE(capture, nullptr);
    ASSERT_EQ(render->setSampleRate(48000.0), ASE_OK);
    ASSERT_EQ(capture->setSampleRate(48000.0), ASE_OK);
    HostHalves host(4, 128, 16);
    Accumulators acc(4, 128);
    // Fail the n-th allocation for every n until the whole set can be made.
    bool renderMade = false, captureMade = false;
    int refusals = 0;
    for (long n = 0; n < 200 && !(renderMade && captureMade); ++n) {
        if (!renderMade) {
            failAfter.store(n);
            const ASIOError result = render->createBuffers(host.table.data(), 128, 16);
            failAfter.store(-1);
            if (result == ASE_OK) {
                renderMade = true;
            } else {
                ++refusals;
                EXPECT_EQ(result, ASE_NoMemory) << n;
                EXPECT_FALSE(render->hasConverters()) << n;
                for (uint32_t c = 0; c < kMaxUnitChannels; ++c) EXPECT_EQ(render->getConverter(c), nullptr);
                EXPECT_EQ(render->getBufferFrames(), 0u);
            }
        }
        if (!captureMade) {
            failAfter.store(n);
            const ASIOError result = capture->createBuffers(acc.table.data(), 128, 16);
            failAfter.store(-1);
            if (result == ASE_OK) {
                captureMade = true;
            } else {
                EXPECT_EQ(result, ASE_NoMemory) << n;
                for (uint32_t c = 0; c < kMaxUnitChannels; ++c) EXPECT_EQ(capture->getConverter(c), nullptr);
                EXPECT_EQ(capture->getBufferFrames(), 0u);
            }
        }
    }
    EXPECT_TRUE(renderMade);
    EXPECT_TRUE(captureMade);
    EXPECT_GT(refusals, 4) << "every adapter allocates, so several early failures must be refused";
    EXPECT_TRUE(render->hasConverters());
    for (uint32_t c = 0; c < 4; ++c) EXPECT_NE(capture->getConverter(c), nullptr);
}

}  // namespace
