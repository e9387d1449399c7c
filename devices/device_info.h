// The system's memory of one physical controller: its serial number (its
// identity), its model, where it is found now, whether it is available, and
// the KS render and capture filters it is opened through.
//
// The device registry is the only writer of a record's state and paths; it
// tells every registered EventHandlerIf of each change of the state word.
//
// Threads: records change on the registry's polling thread or on the thread
// calling the registry, with the registry's lock held. The state word is
// atomic, so isAvailable() may be asked from any thread; the paths and
// filters are replaced by the registry, so other threads read them from
// within a notification or while holding DeviceRegistry::Guard.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "base/vector.h"
#include "ks/ks_aud_filter.h"

class DeviceModelIf;

class DeviceInfo {
public:
    // State flags.
    static constexpr int32_t kStateAvailable = 2;
    // Cleared by the ASIO registry when it releases the audio device; nothing
    // sets it.
    static constexpr int32_t kStateFlag8 = 8;
    // The state word of a record that does not exist (before creation, after
    // deletion) in notifications; it never occurs in a record.
    static constexpr int32_t kStateNone = -1;

    // The serial number field: 15 characters and a terminator.
    static constexpr size_t kSerialNumberSize = 16;
    static constexpr size_t kMaxSerialNumberLength = kSerialNumberSize - 1;

    class EventHandlerIf {
    public:
        virtual ~EventHandlerIf() = default;
        // A record's state word changed from oldState to newState; kStateNone
        // on either side means the record was created or deleted. Runs on the
        // thread that changed the record, with the registry's lock held
        // except during the replay of a newly registered handler.
        virtual void deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) = 0;
        // An enumeration pass has ended (after its state changes), on the
        // pass's thread with the registry's lock held: the moment to try
        // again what failed with a device that is still there.
        virtual void devicesEnumerated() {}
    };
    using EventHandlerList = Vector<EventHandlerIf*>;

    // Receivers test these in this order: kStateNone has every flag bit set.
    static bool wasAdded(int32_t newState, int32_t oldState) {
        return oldState == kStateNone && newState != kStateNone;
    }
    static bool wasRemoved(int32_t newState, int32_t oldState) {
        return newState == kStateNone && oldState != kStateNone;
    }
    static bool wasConnected(int32_t newState, int32_t oldState) {
        return (newState & kStateAvailable) != 0 && (oldState & kStateAvailable) == 0;
    }
    static bool wasDisconnected(int32_t newState, int32_t oldState) {
        return (oldState & kStateAvailable) != 0 && (newState & kStateAvailable) == 0;
    }

    // Takes ownership of the filters; copies the strings (null stays null,
    // a copy that cannot be allocated leaves null). A serial number longer
    // than kMaxSerialNumberLength is cut to fit the field.
    DeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
               const char* audioDeviceId, uint64_t index, const char* serialNumber, DeviceModelIf* model);
    // Frees both strings and deletes both filters.
    virtual ~DeviceInfo();
    DeviceInfo(const DeviceInfo&) = delete;
    DeviceInfo& operator=(const DeviceInfo&) = delete;

    virtual void makeRestorePoint();
    // Restores the state word without telling anyone.
    virtual void rollbackChanges();
    // Delete the current filter, if any, then keep the new one (or null).
    virtual void setRenderFilter(CKsAudRenFilter* filter);
    virtual void setCaptureFilter(CKsAudCapFilter* filter);

    const char* getHidDeviceId() const { return hidDeviceId_; }
    void setHidDeviceId(const char* id);
    const char* getAudioDeviceId() const { return audioDeviceId_; }
    void setAudioDeviceId(const char* id);
    const char* getSerialNumber() const { return serialNumber_; }
    uint64_t getIndex() const { return index_.load(); }
    void setIndex(uint64_t index) { index_.store(index); }
    DeviceModelIf* getModel() const { return model_; }
    CKsAudRenFilter* getRenderFilter() const { return renderFilter_; }
    CKsAudCapFilter* getCaptureFilter() const { return captureFilter_; }

    int32_t getState() const { return state_.load(); }
    bool isAvailable() const { return (state_.load() & kStateAvailable) != 0; }
    // Changes the available flag without notifying: only for a record not
    // yet published.
    void setAvailable(bool available);

    // When no bit of the mask is set yet: sets them and tells every handler
    // (this, new, old) in list order. Otherwise nothing.
    void setStateFlags(int32_t mask, const EventHandlerList& handlers);
    // When some bit of the mask is set: clears them and tells every handler.
    // Otherwise nothing.
    void clearStateFlags(int32_t mask, const EventHandlerList& handlers);
    // (this, 0, -1), then (this, state, 0) when the state is not 0.
    void notifyAdded(EventHandlerIf* handler);
    // (this, -1, state).
    void notifyRemoved(EventHandlerIf* handler);

private:
    void notifyAll(const EventHandlerList& handlers, int32_t newState, int32_t oldState);

    char* hidDeviceId_ = nullptr;
    char* audioDeviceId_ = nullptr;
    std::atomic<uint64_t> index_;
    DeviceModelIf* model_;
    std::atomic<int32_t> state_{0};
    int32_t savedState_ = 0;
    CKsAudRenFilter* renderFilter_;
    CKsAudCapFilter* captureFilter_;
    char serialNumber_[kSerialNumberSize];
};
