#include "devices/device_registry.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/thread.h"
#include "platform/device.h"
#include "platform/trace.h"

namespace {

bool sameTextNoCase(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        const unsigned char x = static_cast<unsigned char>(*a);
        const unsigned char y = static_cast<unsigned char>(*b);
        const unsigned char lx = (x >= 'A' && x <= 'Z') ? x + ('a' - 'A') : x;
        const unsigned char ly = (y >= 'A' && y <= 'Z') ? y + ('a' - 'A') : y;
        if (lx != ly) return false;
    }
    return *a == *b;
}

bool aliasUsable(DWORD flags) { return flags != 0 && (flags & SPINT_REMOVED) == 0; }

// A filter object on the path, or null when it cannot be made.
template <typename Filter>
Filter* makeFilter(const char* path) {
    HRESULT result = E_FAIL;
    auto* filter = new (std::nothrow) Filter(path, "", &result);
    if (filter != nullptr && result < 0) {
        delete filter;
        filter = nullptr;
    }
    if (filter == nullptr) TRACE("Failed to create filter for %s", path);
    return filter;
}

}  // namespace

// Waits on its stop event for one interval at a time and runs a pass
// whenever the interval ran out, or at once when the system announces that
// an audio interface arrived or went (a unit plugged in, back from a sleep,
// enabled again, or removed).
class DeviceRegistry::PollingThread final : public ThreadAbs, private os::DeviceNoticeSinkIf {
public:
    PollingThread(DeviceRegistry& registry, uint32_t intervalMs)
        : registry_(registry), intervalMs_(intervalMs), wake_(os::createEvent(false, false)) {
        if (wake_ != nullptr) watch_ = os::deviceBoundary().watchInterfaceClass(KSCATEGORY_AUDIO, this, 0);
    }
    ~PollingThread() override {
        if (watch_ != 0) os::deviceBoundary().unwatch(watch_);
        // Stopped without the registry's lock (its documented rule), so a
        // notice under way finishes before its sink goes.
        os::deviceBoundary().flushNotices();
        if (wake_ != nullptr) os::closeHandle(wake_);
    }

private:
    void deviceNotice(uint64_t, os::DeviceNotice notice) override {
        if (notice == os::DeviceNotice::Arrival || notice == os::DeviceNotice::RemoveComplete) os::setEvent(wake_);
    }

    void threadEntry() override {
        os::Handle waits[2] = {getStopEvent(), wake_};
        const uint32_t count = wake_ != nullptr ? 2 : 1;
        for (;;) {
            const uint32_t result = os::waitForAny(waits, count, intervalMs_);
            if (result == os::kWaitTimeout || result == os::kWaitObject0 + 1) {
                registry_.enumerateDevices();
            } else if (result == os::kWaitObject0) {
                return;
            } else {
                // A wait on our own event fails only when the event is
                // unusable; it would fail again at once, and the stop
                // request could never arrive, so polling ends here.
                TRACE("Wait failed");
                return;
            }
        }
    }

    DeviceRegistry& registry_;
    const uint32_t intervalMs_;
    os::Handle wake_;
    os::DeviceWatch watch_ = 0;
};

// The state of one pass: what each record listed before it was, and which
// records this pass has matched to an interface.
struct DeviceRegistry::Pass {
    size_t snapshotCount = 0;
    std::vector<Mark> marks;            // by position, for positions below snapshotCount
    std::vector<DeviceInfo*> newlySeen;  // records created during the pass and already matched

    Mark* markOf(const RecordList& records, DeviceInfo* record) {
        const uint64_t index = record->getIndex();
        if (index < snapshotCount && records[static_cast<size_t>(index)] == record) return &marks[index];
        return nullptr;
    }
    bool wasAvailable(const RecordList& records, DeviceInfo* record) {
        const Mark* mark = markOf(records, record);
        return mark != nullptr && *mark == Mark::AvailableUnseen;
    }
    bool seen(const RecordList& records, DeviceInfo* record) {
        const Mark* mark = markOf(records, record);
        if (mark != nullptr) return *mark == Mark::Seen;
        for (DeviceInfo* other : newlySeen)
            if (other == record) return true;
        return false;
    }
    void markSeen(const RecordList& records, DeviceInfo* record) {
        if (Mark* mark = markOf(records, record)) {
            *mark = Mark::Seen;
        } else {
            // Only the check for a serial number seen twice needs this list;
            // without memory for it that check is merely weaker.
            try {
                newlySeen.push_back(record);
            } catch (const std::bad_alloc&) {
            }
        }
    }
};

DeviceRegistry::DeviceRegistry(size_t numberOfModels, DeviceModelIf* const* models, uint32_t pollingIntervalMs)
    : pollingIntervalMs_(pollingIntervalMs) {
    TRACE_ENTER("DeviceRegistry::DeviceRegistry");
    for (size_t i = 0; models != nullptr && i < numberOfModels; ++i) {
        if (models[i] == nullptr) continue;
        if (!models_.push_back(models[i])) {
            // Owned from here on, so it must not leak.
            TRACE("Out of memory");
            delete models[i];
        }
    }
    TRACE_LEAVE("DeviceRegistry::DeviceRegistry");
}

DeviceRegistry::~DeviceRegistry() {
    TRACE_ENTER("DeviceRegistry::~DeviceRegistry");
    stopPolledEnumeration();
    for (size_t i = 0; i < records_.size(); ++i) delete records_[i];
    records_.clear();
    for (size_t i = 0; i < models_.size(); ++i) delete models_[i];
    models_.clear();
    TRACE_LEAVE("DeviceRegistry::~DeviceRegistry");
}

DeviceInfo* DeviceRegistry::createDeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                                             const char* hidDeviceId, const char* audioDeviceId, uint64_t index,
                                             const char* serialNumber, DeviceModelIf* model) {
    return new (std::nothrow)
        DeviceInfo(renderFilter, captureFilter, hidDeviceId, audioDeviceId, index, serialNumber, model);
}

bool DeviceRegistry::initialize() {
    TRACE_ENTER("DeviceRegistry::initialize");
    loadSettings();
    enumerateDevices();
    const bool polling = startPolledEnumeration();
    TRACE_LEAVE_INT("DeviceRegistry::initialize", polling);
    return polling;
}

size_t DeviceRegistry::getNumberOfDevices() const {
    Guard hold(*this);
    return records_.size();
}

DeviceInfo* DeviceRegistry::getDevice(size_t index) const {
    Guard hold(*this);
    return index < records_.size() ? records_[index] : nullptr;
}

DeviceInfo* DeviceRegistry::getDeviceWithSerialNumber(const char* serialNumber) const {
    if (serialNumber == nullptr) return nullptr;
    Guard hold(*this);
    for (size_t i = 0; i < records_.size(); ++i)
        if (sameTextNoCase(records_[i]->getSerialNumber(), serialNumber)) return records_[i];
    return nullptr;
}

DeviceInfo* DeviceRegistry::getDeviceWithAudioDeviceId(const char* interfacePath) const {
    if (interfacePath == nullptr) return nullptr;
    Guard hold(*this);
    // Records keep the path of an interface that has gone, and another unit
    // may turn up there later: the one present now is the answer.
    DeviceInfo* first = nullptr;
    for (size_t i = 0; i < records_.size(); ++i) {
        const char* id = records_[i]->getAudioDeviceId();
        if (id == nullptr || !sameTextNoCase(id, interfacePath)) continue;
        if (records_[i]->isAvailable()) return records_[i];
        if (first == nullptr) first = records_[i];
    }
    return first;
}

DeviceInfo* DeviceRegistry::findPresentRecordWithPath(Pass& pass, const char* path) {
    for (size_t i = 0; i < records_.size(); ++i) {
        DeviceInfo* record = records_[i];
        const char* id = record->getAudioDeviceId();
        if (id == nullptr || !sameTextNoCase(id, path)) continue;
        if (pass.wasAvailable(records_, record) || pass.seen(records_, record)) return record;
    }
    return nullptr;
}

bool DeviceRegistry::addEventHandler(DeviceInfo::EventHandlerIf* handler) {
    TRACE_ENTER("DeviceRegistry::addEventHandler");
    if (handler == nullptr) return false;
    // Appending and replaying under one hold: a pass can neither slip a
    // change between the two nor announce a record twice.
    Guard hold(*this);
    const bool added = handlers_.push_back(handler);
    if (added) {
        for (size_t i = 0; i < records_.size(); ++i) records_[i]->notifyAdded(handler);
    } else {
        TRACE("Out of memory");
    }
    TRACE_LEAVE_INT("DeviceRegistry::addEventHandler", added);
    return added;
}

void DeviceRegistry::removeEventHandler(DeviceInfo::EventHandlerIf* handler) {
    TRACE_ENTER("DeviceRegistry::removeEventHandler");
    Guard hold(*this);
    for (size_t i = 0; i < handlers_.size(); ++i) {
        if (handlers_[i] == handler) {
            handlers_.remove(i);
            break;
        }
    }
    TRACE_LEAVE("DeviceRegistry::removeEventHandler");
}

void DeviceRegistry::makeRestorePoint() {
    Guard hold(*this);
    for (size_t i = 0; i < records_.size(); ++i) records_[i]->makeRestorePoint();
}

void DeviceRegistry::rollbackChanges() {
    Guard hold(*this);
    for (size_t i = 0; i < records_.size(); ++i) records_[i]->rollbackChanges();
}

bool DeviceRegistry::addDevice(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter,
                               const char* hidDeviceId, const char* audioDeviceId, const char* serialNumber,
                               DeviceModelIf* model) {
    TRACE_ENTER("DeviceRegistry::addDevice");
    Guard hold(*this);
    const uint64_t index = records_.size();
    DeviceInfo* record =
        createDeviceInfo(renderFilter, captureFilter, hidDeviceId, audioDeviceId, index, serialNumber, model);
    if (record == nullptr) {
        delete renderFilter;
        delete captureFilter;
        TRACE_LEAVE_INT("DeviceRegistry::addDevice", false);
        return false;
    }
    record->setAvailable(true);
    if (!records_.push_back(record)) {
        TRACE("Out of memory");
        delete record;
        TRACE_LEAVE_INT("DeviceRegistry::addDevice", false);
        return false;
    }
    for (size_t i = 0; i < handlers_.size(); ++i) record->notifyAdded(handlers_[i]);
    TRACE_LEAVE_INT("DeviceRegistry::addDevice", true);
    return true;
}

bool DeviceRegistry::removeDevice(DeviceInfo* record) {
    TRACE_ENTER("DeviceRegistry::removeDevice");
    Guard hold(*this);
    // The record is looked for before it is touched: a pointer to a record
    // deleted already is refused, not followed.
    size_t position = records_.size();
    for (size_t i = 0; record != nullptr && i < records_.size(); ++i) {
        if (records_[i] == record) {
            position = i;
            break;
        }
    }
    bool removed = false;
    if (position == records_.size()) {
        TRACE("Invalid parameters");
    } else if (passRunning_) {
        // A pass keeps positions of the records it started with.
        TRACE("Tried to remove device during enumeration");
    } else if (record->isAvailable()) {
        TRACE("Tried to remove device that was currently in the system");
    } else {
        records_.remove(position);
        for (size_t i = position; i < records_.size(); ++i) records_[i]->setIndex(i);
        for (size_t i = 0; i < handlers_.size(); ++i) record->notifyRemoved(handlers_[i]);
        delete record;
        removed = true;
    }
    TRACE_LEAVE_INT("DeviceRegistry::removeDevice", removed);
    return removed;
}

void DeviceRegistry::traceRecords() const {
    if (records_.empty()) TRACE("No devices found");
    for (size_t i = 0; i < records_.size(); ++i) {
        const DeviceInfo* r = records_[i];
        TRACE("Available %i %s %s %s %s", static_cast<int>(i), r->getSerialNumber(),
              r->isAvailable() ? "True" : "False", r->getRenderFilter() != nullptr ? "True" : "False",
              r->getCaptureFilter() != nullptr ? "True" : "False");
        (void)r;
    }
}

bool DeviceRegistry::enumerateDevices() {
    TRACE_ENTER("DeviceRegistry::enumerateDevices");
    Guard hold(*this);
    if (passRunning_) {
        TRACE("Enumeration requested from within enumeration");
        return false;
    }
    Pass pass;
    std::vector<os::AudioInterfaceInfo> interfaces;
    std::vector<bool> handled;
    bool listed = false;
    try {
        pass.snapshotCount = records_.size();
        pass.marks.resize(pass.snapshotCount);
        pass.newlySeen.reserve(4);
        for (size_t i = 0; i < pass.snapshotCount; ++i)
            pass.marks[i] = records_[i]->isAvailable() ? Mark::AvailableUnseen : Mark::Unavailable;
        listed = os::deviceBoundary().listAudioInterfaces(interfaces);
        if (!listed) interfaces.clear();
        handled.assign(interfaces.size(), false);
    } catch (const std::bad_alloc&) {
        // Nothing has changed yet: better to skip this pass than to take
        // every device for gone.
        TRACE("Out of memory");
        TRACE_LEAVE_INT("DeviceRegistry::enumerateDevices", false);
        return false;
    }
    traceRecords();
    if (!listed) TRACE("Failed to list the audio device interfaces");

    passRunning_ = true;
    // Units still at a known path first: no tree walk or HID open for them,
    // and none of them is taken for a unit that moved.
    for (size_t i = 0; i < interfaces.size(); ++i) {
        const std::string& path = interfaces[i].path;
        if (path.empty() || path.size() > kMaxInterfacePathLength) {
            TRACE("Skipping an interface whose path does not fit %u bytes",
                  static_cast<unsigned>(kInterfaceDetailBytes));
            handled[i] = true;
        } else if (interfaces[i].renderAliasFlags == 0 && interfaces[i].captureAliasFlags == 0) {
            // A USB audio function's topology filter, or its MIDI function:
            // the same device as the wave filter, listed before it at times,
            // but nothing that streams.
            TRACE("Skipping %s: it has neither a render nor a capture alias", path.c_str());
            handled[i] = true;
        } else if (DeviceInfo* known = findPresentRecordWithPath(pass, path.c_str())) {
            TRACE("Found already instantiated device %s", path.c_str());
            pass.markSeen(records_, known);
            handled[i] = true;
        }
    }
    for (size_t i = 0; i < interfaces.size(); ++i) {
        if (handled[i]) continue;
        const os::AudioInterfaceInfo& info = interfaces[i];
        handleInterface(pass, info.path.c_str(), info.deviceInstance, aliasUsable(info.renderAliasFlags),
                        aliasUsable(info.captureAliasFlags));
    }

    // Gone since the last pass. Handlers let go of the filters before they
    // are deleted.
    for (size_t i = 0; i < pass.snapshotCount; ++i) {
        if (pass.marks[i] != Mark::AvailableUnseen) continue;
        DeviceInfo* record = records_[i];
        record->clearStateFlags(DeviceInfo::kStateAvailable, handlers_);
        record->setRenderFilter(nullptr);
        record->setCaptureFilter(nullptr);
    }
    passRunning_ = false;
    for (size_t i = 0; i < handlers_.size(); ++i) handlers_[i]->devicesEnumerated();
    TRACE_LEAVE_INT("DeviceRegistry::enumerateDevices", listed);
    return listed;
}

void DeviceRegistry::handleInterface(Pass& pass, const char* path, DEVINST node, bool renderUsable,
                                     bool captureUsable) {
    // The same path twice in one listing.
    if (findPresentRecordWithPath(pass, path) != nullptr) return;

    char hidId[kHidDeviceIdLength];
    char serial[kSerialLength];
    DeviceModelIf* model = nullptr;
    for (size_t i = 0; i < models_.size() && model == nullptr; ++i) {
        DeviceModelIf* candidate = models_[i];
        hidId[0] = '\0';
        serial[0] = '\0';
        if (candidate->isAudioDevice(path) && candidate->findHidDevice(node, hidId, sizeof(hidId)) &&
            candidate->getSerial(hidId, serial, sizeof(serial)))
            model = candidate;
    }
    if (model == nullptr) return;
    // Guarantee termination whatever a model left behind.
    hidId[sizeof(hidId) - 1] = '\0';
    serial[sizeof(serial) - 1] = '\0';
    if (std::strlen(serial) > DeviceInfo::kMaxSerialNumberLength) {
        // A cut serial number could name another unit: such a unit is not
        // taken for one of ours.
        TRACE("Serial number %s is longer than %u characters", serial,
              static_cast<unsigned>(DeviceInfo::kMaxSerialNumberLength));
        return;
    }

    TRACE("Getting device with serial %s", serial);
    DeviceInfo* record = getDeviceWithSerialNumber(serial);
    if (record == nullptr) {
        CKsAudRenFilter* render = renderUsable ? makeFilter<CKsAudRenFilter>(path) : nullptr;
        CKsAudCapFilter* capture = captureUsable ? makeFilter<CKsAudCapFilter>(path) : nullptr;
        addDevice(render, capture, hidId, path, serial, model);
        if (DeviceInfo* added = getDeviceWithSerialNumber(serial)) pass.markSeen(records_, added);
        return;
    }
    if (pass.seen(records_, record)) {
        // Two interfaces with one serial number in one pass: the first keeps
        // the record, so the record does not flip between them every pass.
        TRACE("Device with serial %s is present twice; ignoring %s", serial, path);
        return;
    }
    updateReturningRecord(pass, record, hidId, path, renderUsable, captureUsable);
}

void DeviceRegistry::updateReturningRecord(Pass& pass, DeviceInfo* record, const char* hidId, const char* path,
                                           bool renderUsable, bool captureUsable) {
    TRACE("Existing but not instantiated device %s", record->getSerialNumber());
    if (pass.wasAvailable(records_, record)) {
        // It moved to another port between two passes: its filters name the
        // interface that has gone. It leaves and returns, so that handlers
        // drop what they opened through the old filters and take the new.
        TRACE("Device %s moved to %s", record->getSerialNumber(), path);
        record->clearStateFlags(DeviceInfo::kStateAvailable, handlers_);
        record->setRenderFilter(nullptr);
        record->setCaptureFilter(nullptr);
    }
    record->setHidDeviceId(hidId);
    record->setAudioDeviceId(path);
    if (record->getRenderFilter() == nullptr && renderUsable)
        record->setRenderFilter(makeFilter<CKsAudRenFilter>(path));
    if (record->getCaptureFilter() == nullptr && captureUsable)
        record->setCaptureFilter(makeFilter<CKsAudCapFilter>(path));
    if (record->getRenderFilter() != nullptr || record->getCaptureFilter() != nullptr)
        record->setStateFlags(DeviceInfo::kStateAvailable, handlers_);
    pass.markSeen(records_, record);
}

bool DeviceRegistry::startPolledEnumeration() {
    TRACE_ENTER("DeviceRegistry::startPolledEnumeration");
    if (pollingThread_ == nullptr) {
        auto* thread = new (std::nothrow) PollingThread(*this, pollingIntervalMs_);
        if (thread == nullptr || !thread->isCreated()) {
            TRACE("Failed to create thread");
            delete thread;
        } else {
            pollingThread_ = thread;
            thread->resume();
        }
    }
    const bool running = pollingThread_ != nullptr;
    TRACE_LEAVE_INT("DeviceRegistry::startPolledEnumeration", running);
    return running;
}

void DeviceRegistry::stopPolledEnumeration() {
    TRACE_ENTER("DeviceRegistry::stopPolledEnumeration");
    if (pollingThread_ != nullptr) {
        pollingThread_->stop();
        delete pollingThread_;
        pollingThread_ = nullptr;
    }
    TRACE_LEAVE("DeviceRegistry::stopPolledEnumeration");
}
