#include "sim/controller.h"

#include <algorithm>
#include <cmath>
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
    Faults& f = config_.faults;
    if (!std::isfinite(f.wanderPpm)) f.wanderPpm = 0.0;
    if (!std::isfinite(f.rampPpmPerSecond)) f.rampPpmPerSecond = 0.0;
    f.wanderPpm = std::max(0.0, std::min(f.wanderPpm, kMaxWanderPpm));
    f.rampPpmPerSecond = std::max(-kMaxRampPpmPerSecond, std::min(f.rampPpmPerSecond, kMaxRampPpmPerSecond));
    f.jitterUs = std::min(f.jitterUs, kMaxJitterUs);
}

int64_t SimController::driftPpbAt(uint64_t nowNs) const {
    const Faults& f = config_.faults;
    const double seconds = nowNs > pluggedAtNs_ ? double(nowNs - pluggedAtNs_) * 1e-9 : 0.0;
    double ppm = f.driftPpm;
    if (f.wanderPpm != 0.0) {
        // Three slow sines of unrelated periods, phased by the serial: a
        // smooth, aperiodic wander within +-wanderPpm, moving by about that
        // much over a minute.
        static const double kPeriods[3] = {47.0, 73.0, 131.0};
        const uint64_t seed = jitterSeed(0);
        double sum = 0.0;
        for (int i = 0; i < 3; ++i) {
            const double phase = double((seed >> (16 * i)) & 0xFFFF) / 65536.0;
            sum += std::sin(2.0 * 3.14159265358979323846 * (seconds / kPeriods[i] + phase));
        }
        ppm += f.wanderPpm * sum / 3.0;
    }
    if (f.rampPpmPerSecond != 0.0)
        ppm += f.rampPpmPerSecond * std::min(seconds, double(f.rampSeconds));
    return std::llround(ppm * 1000.0);
}

CompletionTiming SimController::lastCompletion(bool capture) const {
    os::ScopedLock hold(*lock_);
    for (const StreamPin* pin : pins_)
        if (pin->isCapture() == capture) return pin->lastCompletion();
    return CompletionTiming();
}

double SimController::driftPpmAt(uint64_t busNs) const {
    os::ScopedLock hold(*lock_);
    return double(driftPpbAt(busNs)) / 1000.0;
}

uint64_t SimController::jitterSeed(uint32_t pinId) const {
    // FNV-1a over the serial and the pin.
    uint64_t hash = 14695981039346656037ull;
    for (char16_t unit : config_.serial) hash = (hash ^ static_cast<uint64_t>(unit)) * 1099511628211ull;
    return (hash ^ pinId) * 1099511628211ull;
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
