// The list of known controllers, kept in step with the system: once at start
// and then periodically on a thread of its own, a pass walks the system's KS
// audio interfaces, recognises controllers through the hardware models,
// identifies each by its serial number, creates or reuses its record, gives
// it KS render and capture filters, and marks records available or
// unavailable, telling every registered event handler.
//
// Records outlive unplugging: a controller that comes back, in whatever
// port, finds its record again by serial number.
//
// Locking: one re-enterable lock guards the records, their state and paths,
// and the handler list. Passes and removeDevice hold it for their whole run,
// handler notifications included; every lookup, handler (un)registration and
// restore-point operation takes it too, so they are safe from any thread, and
// a handler that unregistered is never called again once removeEventHandler
// has returned. Handlers run with the lock held and may call back into the
// registry on their own thread. A caller that keeps a record pointer across
// calls, or reads a record's paths or filters outside a notification, holds
// a Guard meanwhile. Never wait, while holding the lock, for something that
// a handler waits for, and never stop polling while holding it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/vector.h"
#include "devices/device_info.h"
#include "devices/device_model.h"
#include "platform/os.h"

class DeviceRegistry {
public:
    static constexpr uint32_t kPollingIntervalMs = 5000;
    // Buffers of one pass, terminator included.
    static constexpr size_t kHidDeviceIdLength = DeviceModelAbs::kHidDeviceIdLength;
    static constexpr size_t kSerialLength = DeviceModelAbs::kSerialLength;
    // SP_DEVICE_INTERFACE_DETAIL_DATA_A with its path: a 4-byte size, then
    // the path and its terminator.
    static constexpr size_t kInterfaceDetailBytes = 528;
    static constexpr size_t kMaxInterfacePathLength = kInterfaceDetailBytes - 4 - 1;

    using ModelList = Vector<DeviceModelIf*>;
    using RecordList = Vector<DeviceInfo*>;

    // Holds the registry's lock for its lifetime.
    class Guard {
    public:
        explicit Guard(const DeviceRegistry& registry) : hold_(registry.lock_) {}

    private:
        os::ScopedLock hold_;
    };

    // Takes the registry's lock only when no other thread holds it, so that
    // a thread which must keep serving requests of the polling thread (the
    // settings dialog's window thread, whose handler the polling thread
    // calls synchronously) can wait for the lock without blocking.
    class TryGuard {
    public:
        explicit TryGuard(const DeviceRegistry& registry) : lock_(registry.lock_) {}
        ~TryGuard() {
            if (held_) lock_.unlock();
        }
        TryGuard(const TryGuard&) = delete;
        TryGuard& operator=(const TryGuard&) = delete;

        // True once the lock is held (by this guard, until it is destroyed).
        bool acquire() {
            if (!held_) held_ = lock_.tryLock();
            return held_;
        }

    private:
        os::RecursiveMutex& lock_;
        bool held_ = false;
    };

    // Takes ownership of the models, kept in the order given. The polling
    // interval is a parameter for tests; the system polls every 5000 ms.
    DeviceRegistry(size_t numberOfModels, DeviceModelIf* const* models,
                   uint32_t pollingIntervalMs = kPollingIntervalMs);
    // Stops polling, then deletes every record (telling nobody) and every
    // model. A derived class whose hooks a pass calls stops polling in its
    // own destructor, before its part of the object is gone.
    virtual ~DeviceRegistry();
    DeviceRegistry(const DeviceRegistry&) = delete;
    DeviceRegistry& operator=(const DeviceRegistry&) = delete;

    // Hooks for the persisted settings: the base loads nothing and saves
    // nothing successfully.
    virtual void loadSettings() {}
    virtual bool saveSettings() { return true; }
    // A plain DeviceInfo with these values; derived registries create their
    // own kinds of record, or none (null) for a model they do not support.
    virtual DeviceInfo* createDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                                         const char* hidDeviceId, const char* audioDeviceId, uint64_t index,
                                         const char* serialNumber, DeviceModelIf* model);

    // loadSettings, one pass, then polling. False when polling could not start.
    bool initialize();

    size_t getNumberOfDevices() const;
    // Null for an index past the end.
    DeviceInfo* getDevice(size_t index) const;
    // The first record whose serial number equals it, ignoring case.
    DeviceInfo* getDeviceWithSerialNumber(const char* serialNumber) const;
    // The record whose audio device id equals the path, ignoring case: the
    // available one, else the first (records keep the path of an interface
    // that has gone).
    DeviceInfo* getDeviceWithAudioDeviceId(const char* interfacePath) const;

    size_t getNumberOfModels() const { return models_.size(); }
    DeviceModelIf* getModel(size_t index) const { return index < models_.size() ? models_[index] : nullptr; }

    // Appends the handler and replays every record to it (notifyAdded), in
    // record order. False when the list cannot grow (nothing replayed).
    bool addEventHandler(DeviceInfo::EventHandlerIf* handler);
    // Removes the first entry that is this handler; no notification.
    void removeEventHandler(DeviceInfo::EventHandlerIf* handler);

    void makeRestorePoint();
    // Restores every record's state word, telling nobody.
    void rollbackChanges();

    // Creates a record at the end of the list, available, and announces it
    // to every handler. Takes ownership of the filters: when no record can
    // be made they are deleted and the result is false.
    bool addDevice(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
                   const char* audioDeviceId, const char* serialNumber, DeviceModelIf* model);
    // Deletes an unavailable record, renumbers the later ones and announces
    // the removal first. False for an available record, one not in the list,
    // and when called from a handler during a pass.
    bool removeDevice(DeviceInfo* record);

    // One discovery pass. False when the system's interface list could not be
    // obtained (every device then counts as gone) or the pass could not run
    // (out of memory, or called from a handler during a pass).
    bool enumerateDevices();

    // Starts the polling thread; true when it runs (already or now).
    bool startPolledEnumeration();
    // Ends the polling thread and waits for it. Not from a handler, nor
    // with the lock held: the thread may be waiting for it.
    void stopPolledEnumeration();
    bool isPolling() const { return pollingThread_ != nullptr; }

protected:
    // The owned records, for derived registries that load records from their
    // settings: they call these before polling starts or holding a Guard, and
    // keep every record's index equal to its position.
    RecordList& records() { return records_; }
    const DeviceInfo::EventHandlerList& eventHandlers() const { return handlers_; }

private:
    class PollingThread;

    // What one pass knows about a record listed before it began.
    enum class Mark : uint8_t { Unavailable, AvailableUnseen, Seen };
    struct Pass;

    // A record at this path that was available when the pass began or that
    // the pass has matched already.
    DeviceInfo* findPresentRecordWithPath(Pass& pass, const char* path);
    void handleInterface(Pass& pass, const char* path, DEVINST node, bool renderUsable, bool captureUsable);
    void updateReturningRecord(Pass& pass, DeviceInfo* record, const char* hidId, const char* path,
                               bool renderUsable, bool captureUsable);
    void traceRecords() const;

    ModelList models_;
    RecordList records_;
    mutable os::RecursiveMutex lock_;
    DeviceInfo::EventHandlerList handlers_;
    const uint32_t pollingIntervalMs_;
    PollingThread* pollingThread_ = nullptr;
    // Set while a pass runs; read only by the thread holding the lock.
    bool passRunning_ = false;
};
