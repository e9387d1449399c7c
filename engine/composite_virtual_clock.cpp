#include "engine/composite_virtual_clock.h"

#include <algorithm>

namespace {

// Stamps start at one second, so a stamp of 0 always means "never".
constexpr uint64_t kEpochNs = 1000000000ull;
constexpr uint64_t kNoDeadline = ~uint64_t(0);

}  // namespace

VirtualCompositeClock::VirtualCompositeClock(sim::SimBus& bus, uint64_t stepNs)
    : bus_(bus),
      stepNs_(stepNs != 0 ? stepNs : kDefaultStepNs),
      epoch_(bus.manualTimeNs()),
      wake_(os::createEvent(false, false)),
      held_(os::createEvent(false, false)) {}

VirtualCompositeClock::~VirtualCompositeClock() {
    if (wake_ != nullptr) os::closeHandle(wake_);
    if (held_ != nullptr) os::closeHandle(held_);
}

uint32_t VirtualCompositeClock::tickMs() { return static_cast<uint32_t>((kEpochNs + now()) / 1000000ull); }

uint64_t VirtualCompositeClock::nanoseconds() { return kEpochNs + now(); }

uint32_t VirtualCompositeClock::waitForAny(const os::Handle* handles, uint32_t count, uint32_t timeoutMs) {
    const uint64_t enteredNs = os::nanoseconds();
    if (leftWaitNs_ != 0) busyNs_.fetch_add(enteredNs - leftWaitNs_);
    const uint64_t start = now();
    const uint64_t deadline = timeoutMs == os::kInfinite ? kNoDeadline : start + uint64_t(timeoutMs) * 1000000ull;
    uint32_t result = os::kWaitFailed;
    for (;;) {
        result = os::waitForAny(handles, count, 0);
        if (result != os::kWaitTimeout) break;
        const uint64_t now = this->now();
        if (now >= deadline) break;
        const uint64_t limit = limit_.load();
        if (now >= limit) {
            result = holdAtLimit(handles, count, limit);
            if (result == os::kWaitTimeout) continue;  // the limit moved on
            break;
        }
        // Straight to the next completion when it comes sooner: the stream
        // sees every completion at the very nanosecond the device delivers it.
        const uint64_t toCompletion = std::max<uint64_t>(bus_.nanosecondsToNextCompletion(), 1);
        const uint64_t step = std::min({stepNs_, deadline - now, limit - now, toCompletion});
        bus_.advanceTime(step);
    }
    leftWaitNs_ = os::nanoseconds();
    waitingNs_.fetch_add(leftWaitNs_ - enteredNs);
    return result;
}

// Blocks in real time until a handle is signalled (its wait result) or the
// limit is moved (kWaitTimeout).
uint32_t VirtualCompositeClock::holdAtLimit(const os::Handle* handles, uint32_t count, uint64_t limit) {
    if (count >= os::kMaxWaitHandles || wake_ == nullptr || held_ == nullptr) return os::kWaitFailed;
    os::Handle all[os::kMaxWaitHandles];
    std::copy(handles, handles + count, all);
    all[count] = wake_;
    heldAt_.store(limit);
    os::setEvent(held_);
    const uint32_t result = os::waitForAny(all, count + 1, os::kInfinite);
    return result == os::kWaitObject0 + count ? os::kWaitTimeout : result;
}

bool VirtualCompositeClock::runUntil(uint64_t timeNs, uint32_t realTimeoutMs) {
    if (wake_ == nullptr || held_ == nullptr) return false;
    limit_.store(std::max(timeNs, limit_.load()));
    os::setEvent(wake_);
    const uint64_t giveUp = os::nanoseconds() + uint64_t(realTimeoutMs) * 1000000ull;
    while (heldAt_.load() < timeNs) {
        const uint64_t realNow = os::nanoseconds();
        if (realNow >= giveUp) return false;
        os::waitForOne(held_, static_cast<uint32_t>(std::min<uint64_t>((giveUp - realNow) / 1000000ull + 1, 1000)));
    }
    return true;
}
