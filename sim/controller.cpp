#include "sim/controller.h"

#include <algorithm>
#include <cstring>

namespace sim {

SimController::SimController(std::shared_ptr<os::RecursiveMutex> lock, const ControllerConfig& config)
    : lock_(std::move(lock)), config_(config) {}

ControllerConfig SimController::config() const {
    os::ScopedLock hold(*lock_);
    return config_;
}

Model SimController::model() const {
    os::ScopedLock hold(*lock_);
    return config_.model;
}

std::u16string SimController::serial() const {
    os::ScopedLock hold(*lock_);
    return config_.serial;
}

uint32_t SimController::port() const {
    os::ScopedLock hold(*lock_);
    return config_.port;
}

bool SimController::isPlugged() const {
    os::ScopedLock hold(*lock_);
    return plugged_;
}

std::string SimController::interfacePath() const {
    os::ScopedLock hold(*lock_);
    return plugged_ ? interfacePath_ : std::string();
}

std::string SimController::hidPath() const {
    os::ScopedLock hold(*lock_);
    return plugged_ && !hidPaths_.empty() ? hidPaths_.front() : std::string();
}

std::vector<std::string> SimController::hidPaths() const {
    os::ScopedLock hold(*lock_);
    return plugged_ ? hidPaths_ : std::vector<std::string>();
}

uint32_t SimController::pinsClosedUnstopped() const {
    os::ScopedLock hold(*lock_);
    return pinsClosedUnstopped_;
}

uint32_t SimController::removalVetoes() const {
    os::ScopedLock hold(*lock_);
    return removalVetoes_;
}

DEVINST SimController::audioDeviceInstance() const {
    os::ScopedLock hold(*lock_);
    return plugged_ ? audioNode_ : 0;
}

Faults SimController::faults() const {
    os::ScopedLock hold(*lock_);
    return config_.faults;
}

void SimController::setFaults(const Faults& faults) {
    os::ScopedLock hold(*lock_);
    config_.faults = faults;
    if (config_.faults.driftPpm > kMaxDriftPpm) config_.faults.driftPpm = kMaxDriftPpm;
    if (config_.faults.driftPpm < -kMaxDriftPpm) config_.faults.driftPpm = -kMaxDriftPpm;
}

void SimController::setAliases(AliasState render, AliasState capture) {
    os::ScopedLock hold(*lock_);
    config_.renderAlias = render;
    config_.captureAlias = capture;
}

std::vector<uint8_t> SimController::renderedBytes() const {
    os::ScopedLock hold(*lock_);
    std::vector<uint8_t> bytes;
    bytes.reserve(rendered_.size());
    bytes.insert(bytes.end(), rendered_.begin() + static_cast<std::ptrdiff_t>(renderedStart_), rendered_.end());
    bytes.insert(bytes.end(), rendered_.begin(), rendered_.begin() + static_cast<std::ptrdiff_t>(renderedStart_));
    return bytes;
}

StreamFormat SimController::renderedFormat() const {
    os::ScopedLock hold(*lock_);
    return renderedFormat_;
}

uint64_t SimController::renderedByteTotal() const {
    os::ScopedLock hold(*lock_);
    return renderedTotal_;
}

void SimController::clearRendered() {
    os::ScopedLock hold(*lock_);
    rendered_.clear();
    renderedStart_ = 0;
    renderedTotal_ = 0;
}

void SimController::setRenderedCap(size_t bytes) {
    os::ScopedLock hold(*lock_);
    renderedCap_ = std::max<size_t>(bytes, 1);
    rendered_.clear();
    renderedStart_ = 0;
}

StreamStats SimController::renderStats() const {
    os::ScopedLock hold(*lock_);
    return stats_[0];
}

StreamStats SimController::captureStats() const {
    os::ScopedLock hold(*lock_);
    return stats_[1];
}

uint32_t SimController::openPins() const {
    os::ScopedLock hold(*lock_);
    return static_cast<uint32_t>(pins_.size());
}

KSSTATE SimController::pinState(bool capture) const {
    os::ScopedLock hold(*lock_);
    for (const StreamPin* pin : pins_)
        if (pin->isCapture() == capture) return pin->state();
    return KSSTATE_STOP;
}

void SimController::setLoopback(bool on, uint32_t delayFrames) {
    os::ScopedLock hold(*lock_);
    config_.loopback = on;
    config_.loopbackDelayFrames = std::min(delayFrames, kMaxLoopbackDelayFrames);
}

StreamPin* SimController::renderPin() const {
    for (StreamPin* pin : pins_)
        if (!pin->isCapture()) return pin;
    return nullptr;
}

bool SimController::consume(uint32_t& counter) {
    if (counter == 0) return false;
    if (counter != Faults::kAlways) --counter;
    return true;
}

void SimController::record(const uint8_t* data, size_t bytes, const StreamFormat& format) {
    if (format.blockAlign != renderedFormat_.blockAlign || format.rate != renderedFormat_.rate ||
        format.channels != renderedFormat_.channels || format.containerBits != renderedFormat_.containerBits) {
        // A new format starts a new recording: mixed formats could not be read.
        rendered_.clear();
        renderedStart_ = 0;
        renderedFormat_ = format;
    }
    renderedTotal_ += bytes;
    // Keep whole frames at the ring's edge so the recording stays aligned.
    size_t cap = renderedCap_;
    if (format.blockAlign != 0) cap -= cap % format.blockAlign;
    if (cap == 0) return;
    if (bytes > cap) {
        data += bytes - cap;
        bytes = cap;
    }
    while (bytes > 0) {
        if (rendered_.size() < cap) {
            const size_t n = std::min(bytes, cap - rendered_.size());
            rendered_.insert(rendered_.end(), data, data + n);
            data += n;
            bytes -= n;
            continue;
        }
        const size_t n = std::min(bytes, cap - renderedStart_);
        std::memcpy(rendered_.data() + renderedStart_, data, n);
        renderedStart_ = (renderedStart_ + n) % cap;
        data += n;
        bytes -= n;
    }
}

}  // namespace sim
