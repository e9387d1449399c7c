// A device-event handler that remembers every notification, safe to read
// from another thread than the one notifying.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "devices/device_info.h"

struct DeviceEvent {
    DeviceInfo* record;
    int32_t newState;
    int32_t oldState;
    bool operator==(const DeviceEvent& o) const {
        return record == o.record && newState == o.newState && oldState == o.oldState;
    }
};

class RecordingHandler : public DeviceInfo::EventHandlerIf {
public:
    void deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) override {
        std::lock_guard<std::mutex> hold(mutex_);
        events_.push_back({record, newState, oldState});
        if (onEvent) onEvent(record, newState, oldState);
    }
    std::vector<DeviceEvent> events() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return events_;
    }
    void clear() {
        std::lock_guard<std::mutex> hold(mutex_);
        events_.clear();
    }
    // Runs inside each notification (with the handler's own lock held).
    void (*onEvent)(DeviceInfo*, int32_t, int32_t) = nullptr;

private:
    mutable std::mutex mutex_;
    std::vector<DeviceEvent> events_;
};

// Forgets the order of events of different records: for each record the
// state words must chain, each old state being the previous new one, from
// the announcement (0 from -1) on.
inline bool eventsChainPerRecord(const std::vector<DeviceEvent>& events) {
    std::vector<std::pair<DeviceInfo*, int32_t>> last;
    for (const DeviceEvent& e : events) {
        int32_t* previous = nullptr;
        for (auto& entry : last)
            if (entry.first == e.record) previous = &entry.second;
        const int32_t expectedOld = previous != nullptr ? *previous : DeviceInfo::kStateNone;
        if (e.oldState != expectedOld) return false;
        if (previous != nullptr) {
            *previous = e.newState;
        } else {
            last.emplace_back(e.record, e.newState);
        }
    }
    return true;
}
