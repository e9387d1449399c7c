#include "devices/device_info.h"

#include <cstring>
#include <new>

#include "platform/trace.h"

namespace {

char* copyText(const char* text) {
    if (text == nullptr) return nullptr;
    const size_t bytes = std::strlen(text) + 1;
    char* copy = new (std::nothrow) char[bytes];
    if (copy == nullptr) {
        TRACE("Out of memory");
        return nullptr;
    }
    std::memcpy(copy, text, bytes);
    return copy;
}

}  // namespace

DeviceInfo::DeviceInfo(CKsAudRenFilter* renderFilter, CKsAudCapFilter* captureFilter, const char* hidDeviceId,
                       const char* audioDeviceId, uint64_t index, const char* serialNumber, DeviceModelIf* model)
    : hidDeviceId_(copyText(hidDeviceId)),
      audioDeviceId_(copyText(audioDeviceId)),
      index_(index),
      model_(model),
      renderFilter_(renderFilter),
      captureFilter_(captureFilter) {
    std::memset(serialNumber_, 0, sizeof(serialNumber_));
    if (serialNumber != nullptr) std::strncpy(serialNumber_, serialNumber, kMaxSerialNumberLength);
}

DeviceInfo::~DeviceInfo() {
    delete[] hidDeviceId_;
    delete[] audioDeviceId_;
    delete renderFilter_;
    delete captureFilter_;
}

void DeviceInfo::makeRestorePoint() { savedState_ = state_.load(); }

void DeviceInfo::rollbackChanges() { state_.store(savedState_); }

void DeviceInfo::setRenderFilter(CKsAudRenFilter* filter) {
    CKsAudRenFilter* old = renderFilter_;
    renderFilter_ = filter;
    if (old != filter) delete old;
}

void DeviceInfo::setCaptureFilter(CKsAudCapFilter* filter) {
    CKsAudCapFilter* old = captureFilter_;
    captureFilter_ = filter;
    if (old != filter) delete old;
}

void DeviceInfo::setHidDeviceId(const char* id) {
    char* copy = copyText(id);
    delete[] hidDeviceId_;
    hidDeviceId_ = copy;
}

void DeviceInfo::setAudioDeviceId(const char* id) {
    char* copy = copyText(id);
    delete[] audioDeviceId_;
    audioDeviceId_ = copy;
}

void DeviceInfo::setAvailable(bool available) {
    const int32_t state = state_.load();
    state_.store(available ? (state | kStateAvailable) : (state & ~kStateAvailable));
}

void DeviceInfo::setStateFlags(int32_t mask, const EventHandlerList& handlers) {
    const int32_t old = state_.load();
    if ((old & mask) != 0) return;
    state_.store(old | mask);
    notifyAll(handlers, old | mask, old);
}

void DeviceInfo::clearStateFlags(int32_t mask, const EventHandlerList& handlers) {
    const int32_t old = state_.load();
    if ((old & mask) == 0) return;
    state_.store(old & ~mask);
    notifyAll(handlers, old & ~mask, old);
}

void DeviceInfo::notifyAdded(EventHandlerIf* handler) {
    if (handler == nullptr) return;
    handler->deviceStateChanged(this, 0, kStateNone);
    const int32_t state = state_.load();
    if (state != 0) handler->deviceStateChanged(this, state, 0);
}

void DeviceInfo::notifyRemoved(EventHandlerIf* handler) {
    if (handler != nullptr) handler->deviceStateChanged(this, kStateNone, state_.load());
}

void DeviceInfo::notifyAll(const EventHandlerList& handlers, int32_t newState, int32_t oldState) {
    // By index, with the size read afresh: a handler that registers or
    // unregisters handlers from within its notification changes the list
    // under this loop, which must then neither read past its end nor stop.
    for (size_t i = 0; i < handlers.size(); ++i) handlers[i]->deviceStateChanged(this, newState, oldState);
}
