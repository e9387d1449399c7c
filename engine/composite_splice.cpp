// The streaming thread's splices: a unit that arrives joins the stream in
// step with it, one that goes leaves without the others missing a switch.
// Part of CompositeStream (engine/composite_stream.h).
//
// A joining unit comes ready: the thread that added it has set its rate,
// made its buffers and brought its pin to pause
// (CompositeKsAudioDevice::prepareToJoin), since a pin may take longer to
// open than the other units' two queued packets last. What is left here
// takes no longer than moving a packet. In a running stream the unit waits
// for the next buffer switch; just before it, it gets its two packets and
// its device starts. Its first packet then ends with the next half, when
// the others' do (or when the simulated clock would have switched), so the
// host's switches keep their cadence, and its device has a packet queued
// from its very first frame: nothing is lost at the join.
//
// What it plays: the others are three periods behind the host, and the
// host's half that they play during the unit's first period is gone; so the
// first packet is silence, and the second one carries the half the others
// play next. From then on it plays what they play, at the latency
// getLatencies reports. Its capture reaches the host two switches later, as
// theirs does, from its first frame on.
#include "engine/composite_stream.h"

#include "devices/device_model.h"
#include "platform/trace.h"

void CompositeStream::handleAddDevice() {
    CompositeKsAudioDevice& d = device_;
    CompositeUnit* unit = d.pendingUnit_;
    const bool ready = d.pendingReady_;
    d.pendingUnit_ = nullptr;
    d.pendingReady_ = false;
    if (unit == nullptr) {
        d.commands_.acknowledge();
        return;
    }
    if (!d.units_.push_back(unit)) {
        TRACE("Out of memory");
        delete unit;
        d.commands_.acknowledge();
        return;
    }
    if (ready) admitReadyUnit(unit);  // otherwise it joins at the next createBuffers
    d.commands_.acknowledge();
}

void CompositeStream::admitReadyUnit(CompositeUnit* unit) {
    CompositeKsAudioDevice& d = device_;
    if (d.active_.size() + joiningCount_ >= CompositeKsAudioDevice::kMaxActiveUnits) {
        turnAway(unit);  // joins at the next createBuffers
        return;
    }
    if (ksState_ == KSSTATE_RUN) {
        joining_[joiningCount_++] = unit;
        return;
    }
    if (!d.active_.push_back(unit)) {
        turnAway(unit);
        return;
    }
    d.buffers_.feedUnit(*unit);
    drift_.joined(*unit, false);
    // Paused after a run: primed now, in the order the others complete.
    // Before the first pause the pause primes it with the others.
    if (ksState_ != KSSTATE_PAUSE) return;
    const size_t index = d.active_.size() - 1;
    for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) {
        if (unit->primePacket(p == 0 ? half_ : 1 - half_) >= 0) continue;
        TRACE("Write data failed");
        leaveAfterFailure(index);
        return;
    }
    addWait(index, half_, true);
    watchPacket(index, 1 - half_);
}

void CompositeStream::spliceJoining() {
    CompositeKsAudioDevice& d = device_;
    for (uint32_t i = 0; i < joiningCount_; ++i) {
        CompositeUnit* unit = joining_[i];
        // First the packet that ends with the next half, silent; then the
        // one that ends with this half again, from the host's half that the
        // other units have just taken too.
        drift_.joined(*unit, true);
        HRESULT status = unit->primePacket(1 - half_, true);
        if (status >= 0) status = unit->primePacket(half_);
        if (status >= 0) status = unit->filter().moveToState(KSSTATE_RUN);
        if (status < 0 || !d.active_.push_back(unit)) {
            TRACE("A unit could not join the stream (error %i)", static_cast<int>(status));
            unit->markFailed();  // opened afresh after the next enumeration pass
            drift_.leaving(*unit);
            turnAway(unit);
            continue;
        }
        d.buffers_.feedUnit(*unit);
        unit->deviceRunning(d.clock_.nanoseconds());
    }
    joiningCount_ = 0;
}

void CompositeStream::turnAway(CompositeUnit* unit) {
    unit->filter().moveToState(KSSTATE_STOP);
    unit->deviceHalted();
    unit->filter().disposeBuffers();
}

bool CompositeStream::isJoining(const CompositeUnit* unit) const {
    for (uint32_t i = 0; i < joiningCount_; ++i)
        if (joining_[i] == unit) return true;
    return false;
}

void CompositeStream::forgetJoining(const CompositeUnit* unit) {
    uint32_t kept = 0;
    for (uint32_t i = 0; i < joiningCount_; ++i)
        if (joining_[i] != unit) joining_[kept++] = joining_[i];
    joiningCount_ = kept;
}

void CompositeStream::noteGap(const CompositeUnit& unit, uint64_t frames) {
    overloadPending_ = true;
#if defined(KSASIO_TRACE)
    const AsioDeviceInfo* record = unit.record();
    const DeviceModelIf* model = record != nullptr ? record->getModel() : nullptr;
    TRACE("%s %s: %s lost %llu frames (nothing queued)", model != nullptr ? model->getName() : "",
          record != nullptr ? record->getSerialNumber() : "", unit.directionName(),
          static_cast<unsigned long long>(frames));
#else
    (void)unit;
    (void)frames;
#endif
}

void CompositeStream::handleRemoveDevice() {
    CompositeKsAudioDevice& d = device_;
    CKsAudFilter* ksFilter = d.pendingKsFilter_;
    d.pendingKsFilter_ = nullptr;
    for (size_t i = 0; i < d.active_.size(); ++i) {
        if (d.active_[i]->ksFilter() != ksFilter) continue;
        TRACE("Active device was found");
        dropActive(i);
        completeIfNothingAwaited();
        break;
    }
    for (size_t i = 0; i < d.units_.size(); ++i) {
        CompositeUnit* unit = d.units_[i];
        if (unit->ksFilter() != ksFilter) continue;
        TRACE("Device was found");
        if (isJoining(unit)) {
            forgetJoining(unit);
            unit->filter().moveToState(KSSTATE_STOP);
        }
        // Deleted by the thread that asked: a device may take a while to
        // give back the packets it holds, and the other units must not wait.
        d.removedUnit_ = unit;
        d.units_.remove(i);
        break;
    }
    d.commands_.acknowledge();
}
