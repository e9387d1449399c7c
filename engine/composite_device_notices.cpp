// What the system tells about the controllers' devices (device notices on
// the units' KS filter handles). A query-remove (the device is being
// disabled, or its driver updated) is answered by closing every handle the
// device holds open, so that the removal goes ahead instead of failing on
// the driver; if the removal is called off anyway, the units open again.
// A removal that happens gets the units out at once, before the next pass
// notices the interface has gone.
#include "devices/device_registry.h"
#include "engine/composite_ks_audio_device.h"
#include "platform/trace.h"

void CompositeKsAudioDevice::deviceNotice(uint64_t cookie, os::DeviceNotice notice) {
    if (notice == os::DeviceNotice::Arrival) return;
    // The registry's lock first, as a pass takes them: the KS filters
    // closed here belong to the records.
    if (registry_ != nullptr) {
        DeviceRegistry::Guard records(*registry_);
        ControlGuard guard(*this);
        handleDeviceNotice(cookie, notice);
    } else {
        ControlGuard guard(*this);
        handleDeviceNotice(cookie, notice);
    }
}

void CompositeKsAudioDevice::handleDeviceNotice(uint64_t cookie, os::DeviceNotice notice) {
    CompositeUnit* unit = nullptr;
    for (CompositeUnit* candidate : units_)
        if (candidate->cookie() == cookie) unit = candidate;
    switch (notice) {
        case os::DeviceNotice::QueryRemove:
            if (unit != nullptr) {
                // The watch stays, to hear whether the removal is called off.
                heldForRemoval_.push_back({cookie, unit->releaseWatch(), unit->record(), unit->isInput()});
                closeUnitForRemoval(unit);
            }
            break;
        case os::DeviceNotice::QueryRemoveFailed:
            for (size_t i = 0; i < heldForRemoval_.size(); ++i) {
                if (heldForRemoval_[i].cookie != cookie) continue;
                const HeldUnit held = heldForRemoval_[i];
                heldForRemoval_.erase(heldForRemoval_.begin() + static_cast<std::ptrdiff_t>(i));
                os::deviceBoundary().unwatch(held.watch);
                TRACE("Device (%s): its removal was called off", held.record->getSerialNumber());
                if (held.record->isAvailable() && findUnit(held.record, held.input) == nullptr)
                    if (CompositeUnit* reopened = openUnit(held.record, held.input)) addDevice(reopened);
                break;
            }
            break;
        case os::DeviceNotice::RemovePending:
        case os::DeviceNotice::RemoveComplete:
            if (unit != nullptr) closeUnitForRemoval(unit);
            releaseHeld(cookie, nullptr);
            break;
        case os::DeviceNotice::Arrival:
            break;
    }
}

void CompositeKsAudioDevice::closeUnitForRemoval(CompositeUnit* unit) {
    CKsAudFilter* ksFilter = unit->ksFilter();
    TRACE("Device (%s): closing its %s unit for the device's removal", unit->record()->getSerialNumber(),
          unit->isInput() ? "capture" : "render");
    removeDevice(ksFilter);
    // The filter's own handle too, or the removal fails on it.
    if (ksFilter != nullptr) ksFilter->Deinstantiate();
}

bool CompositeKsAudioDevice::heldForRemoval(const DeviceInfo* record, bool input) const {
    for (const HeldUnit& held : heldForRemoval_)
        if (held.record == record && held.input == input) return true;
    return false;
}

void CompositeKsAudioDevice::releaseHeld(uint64_t cookie, const DeviceInfo* record) {
    for (size_t i = heldForRemoval_.size(); i-- > 0;) {
        const HeldUnit& held = heldForRemoval_[i];
        if (held.cookie != cookie && held.record != record) continue;
        os::deviceBoundary().unwatch(held.watch);
        heldForRemoval_.erase(heldForRemoval_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void CompositeKsAudioDevice::stopWatchingDevices() {
    {
        ControlGuard guard(*this);
        for (CompositeUnit* unit : units_) os::deviceBoundary().unwatch(unit->releaseWatch());
        releaseHeldAll();
    }
    // No lock held: a notice under way may wait for the control lock.
    os::deviceBoundary().flushNotices();
}

void CompositeKsAudioDevice::releaseHeldAll() {
    for (const HeldUnit& held : heldForRemoval_) os::deviceBoundary().unwatch(held.watch);
    heldForRemoval_.clear();
}
