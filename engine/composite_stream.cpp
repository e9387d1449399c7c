#include "engine/composite_stream.h"

#include <algorithm>
#include <cmath>

#include "platform/trace.h"

namespace {

constexpr double kFixedOne = 4294967296.0;  // 2^32
// Periods stay far from the sign bit of the signed differences below.
constexpr uint64_t kMaxPeriod = uint64_t(1) << 62;
constexpr double kStallPeriods = 16.0;
constexpr double kMinStallLimitMs = 100.0;
constexpr double kMaxStallLimitMs = 3600000.0;

}  // namespace

CompositeStream::CompositeStream(CompositeKsAudioDevice& device) : device_(device), drift_(device) {}

void CompositeStream::execute() {
    initState();
    while (loop_) {
        const uint32_t result = device_.active_.empty() ? simulateWork() : waitPendingEvents();
        switch (result) {
            case kCompositeQuit: loop_ = false; break;
            case kCompositePause: handlePause(); break;
            case kCompositeRun: handleRun(); break;
            case kCompositeAddUnit: handleAddDevice(); break;
            case kCompositeRemoveUnit: handleRemoveDevice(); break;
            default: break;
        }
    }
    handleStop();
}

void CompositeStream::initState() {
    loop_ = true;
    ksState_ = KSSTATE_STOP;
    half_ = 0;
    updatePeriod();
    for (uint32_t i = 0; i < kCompositeCommands; ++i) waits_[i] = device_.commands_.events()[i];
    awaitHalf();
    restartSimulatedClock();
    drift_.begin(device_.buffers_.frames(), periodRate_);
}

void CompositeStream::updatePeriod() {
    periodRate_ = device_.rate_.load();
    const double periodMs = double(device_.buffers_.frames()) * 1000.0 / periodRate_;
    const double period = periodMs * kFixedOne;
    period_ = period >= double(kMaxPeriod) ? kMaxPeriod : period < 1.0 ? 1 : static_cast<uint64_t>(period);
    const double limit = std::ceil(std::max(kStallPeriods * periodMs, kMinStallLimitMs));
    stallLimitMs_ = static_cast<uint32_t>(std::min(limit, kMaxStallLimitMs));
}

uint64_t CompositeStream::simulatedNow() { return uint64_t(device_.clock_.tickMs()) << 32; }

void CompositeStream::restartSimulatedClock() { lastSwitch_ = simulatedNow(); }

uint32_t CompositeStream::simulateWork() {
    uint32_t timeout = os::kInfinite;
    // Without units the rate may still change while the stream exists.
    if (device_.rate_.load() != periodRate_) updatePeriod();
    if (running()) {
        const uint64_t now = simulatedNow();
        const int64_t behind = static_cast<int64_t>(now - lastSwitch_);
        const int64_t period = static_cast<int64_t>(period_);
        if (behind > -period && behind < period) {
            timeout = static_cast<uint32_t>(static_cast<uint64_t>(period - behind) >> 32);
        } else {
            // A stall (or a jump of the clock) of a whole period: switch at once.
            lastSwitch_ = now - period_;
            timeout = 0;
        }
    }
    const uint32_t result = device_.clock_.waitForAny(waits_, kCompositeCommands, timeout);
    if (result == os::kWaitTimeout) {
        lastSwitch_ += period_;
        // Units that join take the cadence over from here.
        spliceJoining();
        bufferSwitch();
        half_ = 1 - half_;
        if (!device_.active_.empty()) awaitHalf();
        return kNoCommand;
    }
    if (result < os::kWaitObject0 + kCompositeCommands) return result - os::kWaitObject0;
    TRACE("Wait failed");
    return kCompositeQuit;
}

uint32_t CompositeStream::stallTimeout() {
    // Packets only complete while the units run.
    if (!running()) return os::kInfinite;
    const uint32_t waited = device_.clock_.tickMs() - halfStartMs_;
    return waited >= stallLimitMs_ ? 0 : stallLimitMs_ - waited;
}

uint32_t CompositeStream::waitPendingEvents() {
    CompositeClockIf& clock = device_.clock_;
    const uint32_t timeout = stallTimeout();
    const uint64_t entered = clock.nanoseconds();
    const uint32_t result = clock.waitForAny(waits_, waitCount_, timeout);
    const uint64_t woke = clock.nanoseconds();
    if (result == os::kWaitTimeout) {
        // The limit may have passed while the thread did not run at all: a
        // loaded machine can hold the process up past the wait's timer while
        // the devices went on and completed. A unit is stalled only if its
        // device still holds the packet now; one it has finished with is
        // taken as if its event had woken the thread.
        const uint32_t back = firstAwaitedBack();
        if (back == kNoSlot || !takePacket(back, woke, false)) dropStalledUnits();
        return kNoCommand;
    }
    if (result >= os::kWaitObject0 + waitCount_) {
        TRACE("Wait failed");
        return kCompositeQuit;
    }
    const uint32_t index = result - os::kWaitObject0;
    if (index < kCompositeCommands) return index;
    // A packet whose event came while the thread waited came back then; one
    // signalled before came back at some time before. A wait that may not
    // block finds only events signalled before, however long it took (a
    // slow machine, a sanitizer).
    takePacket(index, woke, timeout != 0 && woke - entered >= clock.blockedWaitNs());
    return kNoCommand;
}

uint32_t CompositeStream::firstAwaitedBack() {
    for (uint32_t slot = kCompositeCommands; slot < waitCount_; ++slot)
        if (awaited_[slot] && !device_.active_[unitIndex_[slot]]->filter().packetWithDevice(slotPacket_[slot]))
            return slot;
    return kNoSlot;
}

bool CompositeStream::takePacket(uint32_t slot, uint64_t woke, bool timely) {
    if (!awaited_[slot]) {
        noteWatched(slot, woke, timely);
        return true;
    }
    const size_t unitIndex = unitIndex_[slot];
    CompositeUnit& unit = *device_.active_[unitIndex];
    uint64_t gap = 0;
    const HRESULT status = unit.transferPacket(half_, woke, timely, &gap);
    if (status == S_FALSE) return false;  // woken while the device still holds it: wait on
    if (gap != 0) noteGap(unit, gap);
    forgetWait(slot);
    if (status < 0) {
        TRACE("Write data failed");
        leaveAfterFailure(unitIndex);
    } else {
        watchPacket(unitIndex, half_);
        drift_.completed(unit, unit.lastReturnNs());
    }
    completeIfNothingAwaited();
    return true;
}

void CompositeStream::noteWatched(uint32_t slot, uint64_t woke, bool timely) {
    CompositeUnit& unit = *device_.active_[unitIndex_[slot]];
    const uint32_t packet = slotPacket_[slot];
    // Woken while the device still holds it: the slot watches on.
    if (unit.filter().packetWithDevice(packet)) return;
    unit.packetReturned(packet, woke, timely);
    forgetWait(slot);
}

void CompositeStream::dropStalledUnits() {
    // A USB hiccup, or a device back from a sleep that completes nothing.
    CompositeUnit* stalled[kMaxWaits];
    uint32_t count = 0;
    for (uint32_t slot = kCompositeCommands; slot < waitCount_; ++slot)
        if (awaited_[slot]) stalled[count++] = device_.active_[unitIndex_[slot]];
    for (uint32_t i = 0; i < count; ++i) {
        TRACE("A unit completed nothing for %u ms; it leaves the stream", stallLimitMs_);
        for (size_t index = 0; index < device_.active_.size(); ++index)
            if (device_.active_[index] == stalled[i]) {
                leaveAfterFailure(index);
                break;
            }
    }
    completeIfNothingAwaited();
}

void CompositeStream::completeIfNothingAwaited() {
    if (awaitedCount_ == 0 && !device_.active_.empty()) completeHalf();
}

void CompositeStream::completeHalf() {
    device_.buffers_.convertInputs(half_);
    drift_.halfCompleted();
    if (running()) {
        spliceJoining();
        bufferSwitch();
    }
    half_ = 1 - half_;
    awaitHalf();
}

void CompositeStream::awaitHalf() {
    halfStartMs_ = device_.clock_.tickMs();
    waitCount_ = kCompositeCommands;
    awaitedCount_ = 0;
    for (size_t i = 0; i < device_.active_.size(); ++i) {
        CompositeUnit& unit = *device_.active_[i];
        // Its event was taken when the packet was watched coming back: set
        // again, it is taken at once.
        if (unit.cameBack(half_)) os::setEvent(unit.filter().getEvent(half_));
        addWait(i, half_, true);
    }
    for (size_t i = 0; i < device_.active_.size(); ++i) watchPacket(i, 1 - half_);
}

void CompositeStream::addWait(size_t unitIndex, uint32_t packet, bool awaited) {
    if (waitCount_ >= kMaxWaits) return;
    waits_[waitCount_] = device_.active_[unitIndex]->filter().getEvent(packet);
    unitIndex_[waitCount_] = static_cast<uint32_t>(unitIndex);
    slotPacket_[waitCount_] = packet;
    awaited_[waitCount_] = awaited;
    ++waitCount_;
    if (awaited) ++awaitedCount_;
}

void CompositeStream::watchPacket(size_t unitIndex, uint32_t packet) {
    CompositeUnit& unit = *device_.active_[unitIndex];
    if (!unit.filter().packetInFlight(packet) || unit.cameBack(packet)) return;
    for (uint32_t slot = kCompositeCommands; slot < waitCount_; ++slot)
        if (unitIndex_[slot] == unitIndex && slotPacket_[slot] == packet) return;
    addWait(unitIndex, packet, false);
}

void CompositeStream::forgetWait(uint32_t slot) {
    if (awaited_[slot]) --awaitedCount_;
    for (uint32_t i = slot + 1; i < waitCount_; ++i) {
        waits_[i - 1] = waits_[i];
        unitIndex_[i - 1] = unitIndex_[i];
        slotPacket_[i - 1] = slotPacket_[i];
        awaited_[i - 1] = awaited_[i];
    }
    --waitCount_;
}

void CompositeStream::withdrawUnit(size_t unitIndex) {
    uint32_t kept = kCompositeCommands;
    awaitedCount_ = 0;
    for (uint32_t i = kCompositeCommands; i < waitCount_; ++i) {
        if (unitIndex_[i] == unitIndex) continue;
        waits_[kept] = waits_[i];
        // Every other event stays paired with its own unit, which moves
        // down one place in the active list if it came after.
        unitIndex_[kept] = unitIndex_[i] > unitIndex ? unitIndex_[i] - 1 : unitIndex_[i];
        slotPacket_[kept] = slotPacket_[i];
        awaited_[kept] = awaited_[i];
        if (awaited_[kept]) ++awaitedCount_;
        ++kept;
    }
    waitCount_ = kept;
}

void CompositeStream::bufferSwitch() {
    CompositeKsAudioDevice& d = device_;
    position_ += d.buffers_.frames();
    const uint64_t now = d.clock_.nanoseconds();
    d.switchSequence_.fetch_add(1);
    d.samplePosition_.store(position_);
    d.systemTime_.store(now);
    d.switchSequence_.fetch_add(1);
    TRACE("BufferSwitch %u", half_);
    ASIOCallbacks* callbacks = d.callbacks_;
    if (d.latenciesChanged_.load(std::memory_order_relaxed) && d.latenciesChanged_.exchange(false) &&
        d.latencyMessages_)
        callbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
    if (overloadPending_) {
        overloadPending_ = false;
        if (d.overloadMessages_) callbacks->asioMessage(kAsioOverload, 0, nullptr, nullptr);
    }
    if (d.timeInfoMode_) {
        AsioTimeInfo& info = d.timeInfo_.timeInfo;
        info.samplePosition.hi = static_cast<uint32_t>(position_ >> 32);
        info.samplePosition.lo = static_cast<uint32_t>(position_);
        info.systemTime.hi = static_cast<uint32_t>(now >> 32);
        info.systemTime.lo = static_cast<uint32_t>(now);
        info.sampleRate = d.rate_.load();
        info.flags |= d.pendingTimeFlags_.exchange(0);
        callbacks->bufferSwitchTimeInfo(&d.timeInfo_, static_cast<int32_t>(half_), ASIOFalse);
        info.flags &= ~(kAsioSampleRateChanged | kAsioClockSourceChanged);
    } else {
        callbacks->bufferSwitch(static_cast<int32_t>(half_), ASIOFalse);
    }
}

void CompositeStream::handlePause() {
    for (size_t i = 0; i < device_.active_.size();) {
        const HRESULT status = device_.active_[i]->filter().moveToState(KSSTATE_PAUSE);
        if (status < 0) {
            TRACE("Failed to set pin state (error %i)", static_cast<int>(status));
            leaveAfterFailure(i);
            continue;
        }
        device_.active_[i]->deviceHalted();
        ++i;
    }
    overloadPending_ = false;
    if (ksState_ == KSSTATE_STOP) {
        // Each unit submits its first two packets now, before any command
        // that follows (a run right after createBuffers) can be taken, so
        // that no switch ever stems from them.
        for (size_t i = 0; i < device_.active_.size();) {
            CompositeUnit* unit = device_.active_[i];
            bool submitted = true;
            for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) submitted = unit->primePacket(p) >= 0 && submitted;
            if (!submitted) {
                TRACE("Write data failed");
                leaveAfterFailure(i);
                continue;
            }
            ++i;
        }
        for (size_t i = 0; i < device_.active_.size(); ++i) watchPacket(i, 1 - half_);
    }
    ksState_ = KSSTATE_PAUSE;
    completeIfNothingAwaited();
    device_.commands_.acknowledge();
}

void CompositeStream::handleRun() {
    for (size_t i = 0; i < device_.active_.size();) {
        const HRESULT status = device_.active_[i]->filter().moveToState(KSSTATE_RUN);
        if (status < 0) {
            TRACE("Failed to set pin state (error %i)", static_cast<int>(status));
            leaveAfterFailure(i);
            continue;
        }
        device_.active_[i]->deviceRunning(device_.clock_.nanoseconds());
        ++i;
    }
    ksState_ = KSSTATE_RUN;
    position_ = 0;
    halfStartMs_ = device_.clock_.tickMs();
    restartSimulatedClock();
    completeIfNothingAwaited();
    device_.commands_.acknowledge();
}

void CompositeStream::handleStop() {
    for (CompositeUnit* unit : device_.active_) {
        const HRESULT status = unit->filter().moveToState(KSSTATE_STOP);
        if (status < 0) TRACE("Failed to set pin state (error %i)", static_cast<int>(status));
        unit->deviceHalted();
        for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) os::resetEvent(unit->filter().getEvent(p));
    }
    for (uint32_t i = 0; i < joiningCount_; ++i) joining_[i]->filter().moveToState(KSSTATE_STOP);
    joiningCount_ = 0;
    ksState_ = KSSTATE_STOP;
    device_.commands_.acknowledge();
}

void CompositeStream::leaveAfterFailure(size_t index) {
    // Opened afresh after the next enumeration pass, when the device may
    // work again.
    device_.active_[index]->markFailed();
    dropActive(index);
}

void CompositeStream::dropActive(size_t index) {
    CompositeUnit* unit = device_.active_[index];
    drift_.leaving(*unit);
    unit->filter().moveToState(KSSTATE_STOP);
    unit->deviceHalted();
    for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) os::resetEvent(unit->filter().getEvent(p));
    withdrawUnit(index);
    device_.active_.remove(index);
    if (unit->isInput()) refreshFed();
    if (device_.active_.empty()) restartSimulatedClock();
}

void CompositeStream::refreshFed() {
    CompositeBuffers& buffers = device_.buffers_;
    for (int32_t n = 0; n < kAsioInputChannels; ++n) {
        if (!buffers.isFed(n)) continue;
        bool stillFed = false;
        for (CompositeUnit* unit : device_.active_)
            if (unit->isInput() && unit->serves(n)) {
                stillFed = true;
                break;
            }
        if (!stillFed) buffers.silenceInput(n);
    }
}
