// What the simulated bus tells the driver beyond the replies to its calls:
// device notices (RegisterDeviceNotification) and the completions of
// cancelled requests that a device delivers late. Part of SimBus.
#include <algorithm>

#include "platform/errors.h"
#include "platform/trace.h"
#include "sim/bus.h"

namespace sim {
namespace {

// Notices this thread is delivering right now (a sink may cause more).
thread_local int deliveringHere = 0;

}  // namespace

os::DeviceWatch SimBus::watchDevice(HANDLE device, os::DeviceNoticeSinkIf* sink, uint64_t cookie) {
    os::ScopedLock hold(*lock_);
    HandleEntry* entry = findHandle(device);
    if (entry == nullptr || sink == nullptr) {
        os::setLastError(os::kErrorInvalidHandle);
        return 0;
    }
    const os::DeviceWatch watch = nextWatch_++;
    watches_[watch] = {sink, cookie, entry->controller, entry->generation, GUID_NULL};
    return watch;
}

os::DeviceWatch SimBus::watchInterfaceClass(const GUID& interfaceClass, os::DeviceNoticeSinkIf* sink,
                                            uint64_t cookie) {
    if (sink == nullptr) {
        os::setLastError(os::kErrorInvalidParameter);
        return 0;
    }
    os::ScopedLock hold(*lock_);
    const os::DeviceWatch watch = nextWatch_++;
    watches_[watch] = {sink, cookie, nullptr, 0, interfaceClass};
    return watch;
}

void SimBus::unwatch(os::DeviceWatch watch) {
    os::ScopedLock hold(*lock_);
    watches_.erase(watch);
}

void SimBus::flushNotices() {
    while (delivering_.load() > deliveringHere) os::sleepMs(1);
}

void SimBus::queueDeviceNotices(const SimController& controller, os::DeviceNotice notice) {
    for (const auto& watch : watches_)
        if (watch.second.controller.get() == &controller && watch.second.generation == controller.generation_)
            notices_.push_back({watch.first, notice});
}

void SimBus::queueClassNotices(os::DeviceNotice notice) {
    for (const auto& watch : watches_)
        if (!watch.second.controller && os::guidEquals(watch.second.interfaceClass, KSCATEGORY_AUDIO))
            notices_.push_back({watch.first, notice});
}

void SimBus::deliverNotices() {
    for (;;) {
        os::DeviceNoticeSinkIf* sink = nullptr;
        uint64_t cookie = 0;
        os::DeviceNotice notice = os::DeviceNotice::Arrival;
        {
            os::ScopedLock hold(*lock_);
            if (notices_.empty()) return;
            const PendingNotice next = notices_.front();
            notices_.erase(notices_.begin());
            auto watch = watches_.find(next.watch);
            if (watch == watches_.end()) continue;  // unwatched meanwhile
            sink = watch->second.sink;
            cookie = watch->second.cookie;
            notice = next.notice;
            ++delivering_;
        }
        ++deliveringHere;
        sink->deviceNotice(cookie, notice);
        --deliveringHere;
        --delivering_;
    }
}

uint32_t SimBus::openHandlesOf(const SimController& controller) const {
    uint32_t open = 0;
    for (const auto& entry : handles_)
        if (entry.second.controller.get() == &controller && entry.second.generation == controller.generation_) ++open;
    return open;
}

bool SimBus::requestRemoval(const std::shared_ptr<SimController>& controller) {
    {
        os::ScopedLock hold(*lock_);
        if (!controller || controller->lock_ != lock_ || !controller->plugged_) return false;
        queueDeviceNotices(*controller, os::DeviceNotice::QueryRemove);
    }
    deliverNotices();
    bool removed = false;
    {
        os::ScopedLock hold(*lock_);
        if (!controller->plugged_) return true;  // a sink unplugged it meanwhile
        if (openHandlesOf(*controller) != 0) {
            // Somebody kept a handle open: the system calls the removal off.
            TRACE("SimBus: removal of %s refused, %u handles open", narrow(controller->config_.serial).c_str(),
                  openHandlesOf(*controller));
            ++controller->removalVetoes_;
            queueDeviceNotices(*controller, os::DeviceNotice::QueryRemoveFailed);
        } else {
            detach(*controller);
            removed = true;
        }
    }
    deliverNotices();
    return removed;
}

void SimBus::removeRequestedByFile() {
    std::vector<std::shared_ptr<SimController>> removals;
    {
        os::ScopedLock hold(*lock_);
        removals.swap(fileRemovals_);
    }
    for (const auto& controller : removals) requestRemoval(controller);
}

uint64_t SimBus::completionsAfterClose() const {
    os::ScopedLock hold(*lock_);
    return completionsAfterClose_;
}

void SimBus::deliverLate() {
    if (late_.empty()) return;
    std::vector<LateCompletion> due;
    due.swap(late_);
    for (const LateCompletion& request : due) {
        // The request's memory is written whether or not its owner still
        // holds it: that is what a late completion does.
        if (handles_.find(request.pinHandle) == handles_.end()) ++completionsAfterClose_;
        if (request.capture) request.header->DataUsed = 0;
        request.overlapped->InternalHigh = 0;
        request.overlapped->Internal = ksabi::kStatusCancelled;
        if (request.event != nullptr) os::setEvent(request.event);
    }
}

}  // namespace sim
