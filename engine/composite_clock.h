// Where the composite device's streaming thread gets its time and does its
// one wait. The system clock is the real one; a simulation run can put a
// virtual clock in its place (engine/composite_virtual_clock.h), so that
// minutes of streaming take seconds and every run is the same.
#pragma once

#include <cstdint>

#include "platform/os.h"

class CompositeClockIf {
public:
    virtual ~CompositeClockIf() = default;
    // Milliseconds, wrapping at 2^32 (the multimedia timer).
    virtual uint32_t tickMs() = 0;
    // Monotonic nanoseconds: the system time stamped on buffer switches.
    virtual uint64_t nanoseconds() = 0;
    // os::waitForAny semantics.
    virtual uint32_t waitForAny(const os::Handle* handles, uint32_t count, uint32_t timeoutMs) = 0;
    // A wait that lasted at least this long (nanoseconds) blocked: what
    // ended it was signalled while it waited, not before.
    virtual uint64_t blockedWaitNs() const = 0;
    // Whether waits last as long as they say. A virtual clock's never
    // block: its streaming thread runs flat out for as long as a run lasts,
    // and at real-time priority it would hold a processor from everything
    // else on the machine that needs one on time (another driver's stream).
    virtual bool keepsRealTime() const { return true; }
};

// The operating system's clock and wait.
CompositeClockIf& systemCompositeClock();
