// Controllers that are attached but do not stream: another program holds
// their pins, or their device failed the stream (packets, a stall, a sleep)
// and may work again. Such units are opened again after every enumeration
// pass and when the host creates buffers, without the host having to start
// over; what keeps one out is kept as a text for the host's error message.
#include <cstdio>
#include <initializer_list>

#include "devices/device_model.h"
#include "devices/device_registry.h"
#include "engine/composite_ks_audio_device.h"
#include "platform/trace.h"

namespace {

const char* directionName(bool input) { return input ? "recording" : "playback"; }

}  // namespace

bool CompositeKsAudioDevice::getUnitProblem(char* text, size_t size) {
    if (text == nullptr || size == 0) return false;
    ControlGuard guard(*this);
    if (problem_.text[0] == '\0') return false;
    std::snprintf(text, size, "%s", problem_.text);
    return true;
}

void CompositeKsAudioDevice::setProblem(const DeviceInfo* record, bool input, const char* what) {
    const DeviceModelIf* model = record->getModel();
    problem_.record = record;
    problem_.input = input;
    std::snprintf(problem_.text, sizeof(problem_.text), "%s %s: %s %s", model != nullptr ? model->getName() : "",
                  record->getSerialNumber(), directionName(input), what);
    TRACE("%s", problem_.text);
}

void CompositeKsAudioDevice::clearProblem(const DeviceInfo* record, bool input) {
    if (problem_.record != record || problem_.input != input) return;
    problem_ = UnitProblem();
}

void CompositeKsAudioDevice::clearProblems(const DeviceInfo* record) {
    if (problem_.record == record) problem_ = UnitProblem();
}

CompositeUnit* CompositeKsAudioDevice::openUnit(AsioDeviceInfo* record, bool input) {
    UnitOpenFailure failure = UnitOpenFailure::None;
    CompositeUnit* unit = CompositeUnit::create(record, input, sampleBits_, &failure);
    if (unit != nullptr) {
        unit->watchDevice(this, nextCookie_++);
        clearProblem(record, input);
        TRACE(input ? "Device's (%s) capture filter is available" : "Device's (%s) render filter is available",
              record->getSerialNumber());
        return unit;
    }
    TRACE(input ? "Failed to initialize device's (%s) capture filter"
                : "Failed to initialize device's (%s) render filter",
          record->getSerialNumber());
    if (failure == UnitOpenFailure::InUse) setProblem(record, input, "is in use by another program");
    // No handle to the device stays open for nothing (it would keep the
    // device from being disabled or updated).
    CKsAudFilter* ksFilter = input ? static_cast<CKsAudFilter*>(record->getCaptureFilter())
                                   : static_cast<CKsAudFilter*>(record->getRenderFilter());
    if (ksFilter != nullptr) ksFilter->Deinstantiate();
    return nullptr;
}

CompositeUnit* CompositeKsAudioDevice::findUnit(const DeviceInfo* record, bool input) const {
    for (CompositeUnit* unit : units_)
        if (unit->record() == record && unit->isInput() == input) return unit;
    return nullptr;
}

void CompositeKsAudioDevice::devicesEnumerated() {
    ControlGuard guard(*this);
    retryUnits();
}

void CompositeKsAudioDevice::retryUnits() {
    if (registry_ == nullptr) return;
    for (size_t i = 0; i < registry_->getNumberOfDevices(); ++i) {
        auto* record = dynamic_cast<AsioDeviceInfo*>(registry_->getDevice(i));
        if (record == nullptr || !record->isAvailable()) continue;
        for (const bool input : {false, true}) {
            if (!CompositeUnit::routesDirection(*record, input) || heldForRemoval(record, input)) continue;
            CompositeUnit* existing = findUnit(record, input);
            if (existing != nullptr && !existing->hasFailed()) continue;
            if (existing != nullptr) {
                // Its pin may be dead after what happened: a fresh unit opens
                // the filter and a pin anew.
                TRACE("Device (%s): the %s unit that failed is opened again", record->getSerialNumber(),
                      directionName(input));
                removeDevice(existing->ksFilter());
            }
            if (CompositeUnit* unit = openUnit(record, input)) addDevice(unit);
        }
    }
}
