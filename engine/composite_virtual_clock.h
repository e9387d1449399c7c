// A virtual clock for simulation runs of the composite device: time moves
// only while the streaming thread waits and nothing it waits for is
// signalled, and then it moves the simulated bus's manual clock along in
// small steps, landing on every completion the bus has coming, so that
// packets complete exactly when they would in real time (drift, USB frames
// and jitter included) but without the waiting. A test or benchmark lets time
// run up to a point with runUntil() and acts at that point (plugs a
// controller, stops the stream) while the streaming thread is held there.
//
// Host commands still wake a held streaming thread at once; they take no
// virtual time.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/composite_clock.h"
#include "sim/bus.h"

class VirtualCompositeClock final : public CompositeClockIf {
public:
    static constexpr uint64_t kDefaultStepNs = 50000;

    // The bus must run its manual clock and outlive this object.
    explicit VirtualCompositeClock(sim::SimBus& bus, uint64_t stepNs = kDefaultStepNs);
    ~VirtualCompositeClock() override;
    VirtualCompositeClock(const VirtualCompositeClock&) = delete;
    VirtualCompositeClock& operator=(const VirtualCompositeClock&) = delete;

    uint32_t tickMs() override;
    uint64_t nanoseconds() override;
    uint32_t waitForAny(const os::Handle* handles, uint32_t count, uint32_t timeoutMs) override;
    // Time passes only while nothing waited for is signalled.
    uint64_t blockedWaitNs() const override { return 1; }
    bool keepsRealTime() const override { return false; }

    // Virtual nanoseconds since construction: the bus's manual time, which
    // whoever moves it moves for this clock too (a stall, a device that
    // takes its time).
    uint64_t now() const { return bus_.manualTimeNs() - epoch_; }
    // Lets time run up to `timeNs` and returns once the streaming thread
    // waits there; false when that has not happened within realTimeoutMs of
    // real time (no stream waits on this clock, or it is stuck).
    bool runUntil(uint64_t timeNs, uint32_t realTimeoutMs = 120000);
    bool runFor(uint64_t durationNs, uint32_t realTimeoutMs = 120000) {
        return runUntil(now() + durationNs, realTimeoutMs);
    }
    // Lets `durationNs` pass at once, as a host that stalls inside its
    // buffer switch would; only from the streaming thread.
    void stall(uint64_t durationNs) { bus_.advanceTime(durationNs); }
    // Real nanoseconds spent inside waitForAny, the bus's work included:
    // what a benchmark subtracts to keep only the streaming thread's own work.
    uint64_t waitingNs() const { return waitingNs_.load(); }
    // Real nanoseconds the streaming thread spent between its waits: its own
    // work (packets, conversion, mixing, the host's callback).
    uint64_t busyNs() const { return busyNs_.load(); }

private:
    uint32_t holdAtLimit(const os::Handle* handles, uint32_t count, uint64_t limit);

    sim::SimBus& bus_;
    const uint64_t stepNs_;
    const uint64_t epoch_;
    std::atomic<uint64_t> limit_{0};
    std::atomic<uint64_t> heldAt_{0};
    std::atomic<uint64_t> waitingNs_{0};
    std::atomic<uint64_t> busyNs_{0};
    uint64_t leftWaitNs_ = 0;  // streaming thread only
    os::Handle wake_;
    os::Handle held_;
};
