#include "engine/composite_clock.h"

namespace {

class SystemCompositeClock final : public CompositeClockIf {
public:
    uint32_t tickMs() override { return os::tickMs(); }
    uint64_t nanoseconds() override { return os::nanoseconds(); }
    uint32_t waitForAny(const os::Handle* handles, uint32_t count, uint32_t timeoutMs) override {
        return os::waitForAny(handles, count, timeoutMs);
    }
    // A wait for a handle signalled already returns within microseconds;
    // one that lasted longer was woken by what it returns.
    uint64_t blockedWaitNs() const override { return 50000; }
};

}  // namespace

CompositeClockIf& systemCompositeClock() {
    static SystemCompositeClock clock;
    return clock;
}
