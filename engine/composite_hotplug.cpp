// Controllers that come and go: a connected controller becomes a render and
// a capture unit, a disconnected one loses them. While a stream exists the
// change is handed to the streaming thread, which splices the unit in or out
// between two packets (CompositeStream::handleAddDevice and
// handleRemoveDevice); otherwise it is made here, under the control lock.
#include <initializer_list>
#include <new>

#include "engine/composite_ks_audio_device.h"
#include "engine/ks_audio_filter.h"
#include "platform/trace.h"

void CompositeKsAudioDevice::deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) {
    if (record == nullptr) return;
    TRACE("Device (%s) state changed", record->getSerialNumber());
    // Tested first: -1 (no record) has every flag set.
    if (DeviceInfo::wasAdded(newState, oldState)) return;
    if (DeviceInfo::wasRemoved(newState, oldState)) {
        TRACE("Device (%s) removed", record->getSerialNumber());
        ControlGuard guard(*this);
        clearProblems(record);
        releaseHeld(0, record);
        return;
    }
    if (DeviceInfo::wasConnected(newState, oldState)) {
        TRACE("Device (%s) connected", record->getSerialNumber());
        connectRecord(record);
    } else if (DeviceInfo::wasDisconnected(newState, oldState)) {
        TRACE("Device (%s) disconnected", record->getSerialNumber());
        disconnectRecord(record);
    }
}

void CompositeKsAudioDevice::connectRecord(DeviceInfo* record) {
    AsioDeviceInfo* asio = dynamic_cast<AsioDeviceInfo*>(record);
    if (asio == nullptr || !asio->isAvailable()) return;
    ControlGuard guard(*this);
    for (const bool input : {false, true}) {
        if (!CompositeUnit::routesDirection(*asio, input)) continue;
        if (CompositeUnit* unit = openUnit(asio, input)) addDevice(unit);
    }
}

void CompositeKsAudioDevice::disconnectRecord(DeviceInfo* record) {
    ControlGuard guard(*this);
    clearProblems(record);
    releaseHeld(0, record);
    if (record->getRenderFilter() != nullptr) removeDevice(record->getRenderFilter());
    if (record->getCaptureFilter() != nullptr) removeDevice(record->getCaptureFilter());
}

bool CompositeKsAudioDevice::prepareToJoin(CompositeUnit& unit) {
    if (!unit.servesRequested(requested_)) return false;
    KsAudioFilter& filter = unit.filter();
    if (filter.setSampleRate(rate_.load()) != ASE_OK) {
        TRACE("Failed to set samplerate");
        return false;
    }
    void* table[kHostBufferTableSize];
    // The streaming thread reads which inputs are fed: it marks the unit's
    // once the unit streams.
    buffers_.buildUnitTable(unit, table, false);
    // A unit joining a stream may have to follow another controller's clock.
    filter.setSteering(driftCorrection());
    if (filter.createBuffers(table, buffers_.frames(), sampleBits_) != ASE_OK) {
        if (!refusedForFraming(unit)) TRACE("Buffer creation failed");
        return false;
    }
    const HRESULT status = filter.moveToState(KSSTATE_PAUSE);
    if (status < 0) {
        TRACE("Failed to set pin state (error %i)", static_cast<int>(status));
        filter.moveToState(KSSTATE_STOP);
        filter.disposeBuffers();
        return false;
    }
    unit.prepareGapWatch();
    clearProblem(unit.record(), unit.isInput());
    return true;
}

void CompositeKsAudioDevice::addDevice(CompositeUnit* unit) {
    if (unit == nullptr) return;
    ControlGuard guard(*this);
    LatencyWatch latencies(*this);
    if (thread_ != nullptr && !onStreamingThread()) {
        // The buffers and the rate do not change while the stream exists
        // and this thread holds the control lock.
        pendingReady_ = prepareToJoin(*unit);
        pendingUnit_ = unit;
        commands_.send(kCompositeAddUnit, true, thread_);
        if (pendingUnit_ == nullptr) return;  // the streaming thread took it
        // The streaming thread has ended: nothing streams, so the unit
        // waits in the list for the next stream.
        pendingUnit_ = nullptr;
        pendingReady_ = false;
        unit->filter().moveToState(KSSTATE_STOP);
        unit->filter().disposeBuffers();
    }
    if (!units_.push_back(unit)) {
        TRACE("Out of memory");
        delete unit;
    }
}

void CompositeKsAudioDevice::removeDevice(CKsAudFilter* ksFilter) {
    if (ksFilter == nullptr) return;
    ControlGuard guard(*this);
    LatencyWatch latencies(*this);
    if (thread_ != nullptr && !onStreamingThread()) {
        pendingKsFilter_ = ksFilter;
        commands_.send(kCompositeRemoveUnit, true, thread_);
        CompositeUnit* removed = removedUnit_;
        removedUnit_ = nullptr;
        delete removed;
        if (pendingKsFilter_ == nullptr) return;
        pendingKsFilter_ = nullptr;
    }
    // No streaming thread runs: the lists are this thread's to change.
    for (size_t i = 0; i < active_.size(); ++i) {
        if (active_[i]->ksFilter() != ksFilter) continue;
        active_[i]->filter().moveToState(KSSTATE_STOP);
        active_[i]->filter().disposeBuffers();
        active_.remove(i);
        break;
    }
    for (size_t i = 0; i < units_.size(); ++i) {
        if (units_[i]->ksFilter() != ksFilter) continue;
        CompositeUnit* unit = units_[i];
        units_.remove(i);
        delete unit;
        return;
    }
}
