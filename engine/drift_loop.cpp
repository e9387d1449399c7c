#include "engine/drift_loop.h"

#include <cmath>

DriftLoop::DriftLoop(uint32_t periodFrames, double hostRate) : DriftLoop(periodFrames, hostRate, Settings()) {}

DriftLoop::DriftLoop(uint32_t periodFrames, double hostRate, const Settings& settings)
    : settings_(settings), periodFrames_(periodFrames), hostRate_(hostRate > 0.0 ? hostRate : 44100.0) {
    if (periodFrames_ < 1.0) periodFrames_ = 1.0;
}

void DriftLoop::start(double ratio) {
    started_ = true;
    seconds_ = 0.0;
    z1_ = z2_ = 0.0;
    const double most = settings_.maxOffset;
    const double offset = std::isfinite(ratio) ? ratio - 1.0 : 0.0;
    integral_ = offset > most ? most : offset < -most ? -most : offset;
    ratio_ = 1.0 + integral_;
    target_ = 0.0;
    glidePerPeriod_ = 0.0;
    hold_ = 0;
    recentCount_ = recentNext_ = 0;
}

double DriftLoop::omega() const {
    if (seconds_ <= settings_.acquireSeconds) return settings_.acquireOmega;
    const double lock = settings_.lockOmega, track = settings_.trackOmega;
    const double into = (seconds_ - settings_.acquireSeconds) / settings_.narrowSeconds;
    if (into >= 1.0) return track;
    return lock * std::pow(track / lock, into);
}

void DriftLoop::watch(double fillError) {
    const double a = 1.0 - std::exp(-settings_.filterRatio * settings_.acquireOmega * periodSeconds());
    z1_ += a * (fillError - z1_);
    z2_ += a * (z1_ - z2_);
}

void DriftLoop::skip() { seconds_ += periodSeconds(); }

double DriftLoop::update(double fillError) {
    if (!started_) return ratio_;
    if (hold_ > 0 || !std::isfinite(fillError)) {
        if (hold_ > 0) --hold_;
        skip();
        return ratio_;
    }
    const double period = periodSeconds();
    // The target glides towards 0; the ratio moves the lead along with it.
    double glide = 0.0;
    if (target_ != 0.0) {
        glide = std::fabs(target_) <= glidePerPeriod_ ? -target_ : (target_ < 0.0 ? glidePerPeriod_ : -glidePerPeriod_);
        target_ += glide;
    }
    const double error = fillError - target_;
    recent_[recentNext_] = error;
    recentNext_ = (recentNext_ + 1) % kRecent;
    if (recentCount_ < kRecent) ++recentCount_;
    const double w = omega();
    const double a = 1.0 - std::exp(-settings_.filterRatio * w * period);
    z1_ += a * (error - z1_);
    z2_ += a * (z1_ - z2_);
    // Critically damped: proportional 2w, integral w^2, per host frame of
    // error; the lead changes by periodFrames x (true ratio - ratio) a period.
    const double proportional = 2.0 * w / hostRate_;
    const double integralGain = w * w / hostRate_ * period;
    const double before = integral_;
    integral_ += integralGain * z2_;
    const double feedForward = -glide / periodFrames_;
    const double most = settings_.maxOffset;
    double offset = integral_ + proportional * z2_ + feedForward;
    if (offset > most || offset < -most) {
        // Clamped: the integral does not wind further out.
        if ((offset > most && integral_ > before) || (offset < -most && integral_ < before)) integral_ = before;
        offset = integral_ + proportional * z2_ + feedForward;
        offset = offset > most ? most : offset < -most ? -most : offset;
    }
    ratio_ = 1.0 + offset;
    seconds_ += period;
    return ratio_;
}

int32_t DriftLoop::realignment(bool force) const {
    const double limit = force ? 1.0 : settings_.realignFrames;
    if (std::fabs(z2_) < limit || recentCount_ == 0) return 0;
    if (force) return static_cast<int32_t>(std::lround(z2_));
    double sum = 0.0;
    for (int i = 0; i < recentCount_; ++i) sum += recent_[i];
    return static_cast<int32_t>(std::lround(sum / recentCount_));
}

void DriftLoop::realigned(double frames, uint32_t holdPeriods) {
    z1_ -= frames;
    z2_ -= frames;
    for (int i = 0; i < recentCount_; ++i) recent_[i] -= frames;
    hold_ = holdPeriods;
}

void DriftLoop::glideTarget(double frames, double framesPerSecond) {
    target_ = frames;
    glidePerPeriod_ = std::fabs(framesPerSecond) * periodSeconds();
}
