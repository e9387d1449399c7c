// The streaming thread's splices: a unit that arrives joins the current
// half between two packets, one that goes leaves without the others
// missing a switch. Part of CompositeStream (engine/composite_stream.h).
#include "engine/composite_stream.h"

#include "platform/trace.h"

void CompositeStream::handleAddDevice() {
    CompositeKsAudioDevice& d = device_;
    CompositeUnit* unit = d.pendingUnit_;
    d.pendingUnit_ = nullptr;
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
    if (!unit->servesRequested(d.requested_) || d.active_.size() >= CompositeKsAudioDevice::kMaxActiveUnits ||
        !d.active_.push_back(unit)) {
        d.commands_.acknowledge();  // joins at the next createBuffers
        return;
    }
    const size_t index = d.active_.size() - 1;
    KsAudioFilter& filter = unit->filter();
    bool joined = false;
    bool buffered = false;
    if (filter.setSampleRate(d.rate_.load()) != ASE_OK) {
        TRACE("Failed to set samplerate");
    } else {
        void* table[kHostBufferTableSize];
        d.buffers_.buildUnitTable(*unit, table);
        if (filter.createBuffers(table, d.buffers_.frames(), d.sampleBits_) != ASE_OK) {
            // The thread that asked holds the control lock and waits: the
            // problem text is this thread's to write meanwhile.
            if (!d.refusedForFraming(*unit)) TRACE("Buffer creation failed");
        } else {
            buffered = true;
            const HRESULT status = ksState_ == KSSTATE_STOP ? S_OK : filter.moveToState(ksState_);
            if (status < 0)
                TRACE("Failed to set pin state (error %i)", static_cast<int>(status));
            else
                joined = true;
        }
    }
    if (joined) {
        if (waitCount_ < kMaxWaits) {
            waits_[waitCount_] = filter.getEvent(half_);
            unitIndex_[waitCount_] = static_cast<uint32_t>(index);
            ++waitCount_;
        }
        if (ksState_ != KSSTATE_STOP)
            for (uint32_t p = 0; p < KsAudioFilter::kPackets; ++p) os::setEvent(filter.getEvent(p));
    } else {
        filter.moveToState(KSSTATE_STOP);
        if (buffered) filter.disposeBuffers();
        d.active_.remove(index);
        if (unit->isInput()) refreshFed();
    }
    d.commands_.acknowledge();
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
        if (d.units_[i]->ksFilter() != ksFilter) continue;
        TRACE("Device was found");
        // Deleted by the thread that asked: a device may take a while to
        // give back the packets it holds, and the other units must not wait.
        d.removedUnit_ = d.units_[i];
        d.units_.remove(i);
        break;
    }
    d.commands_.acknowledge();
}
