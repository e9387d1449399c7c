#include "engine/drift_loop.h"

#include <algorithm>
#include <cmath>

DriftLoop::DriftLoop(uint32_t periodFrames, double hostRate) : DriftLoop(periodFrames, hostRate, Settings()) {}

DriftLoop::DriftLoop(uint32_t periodFrames, double hostRate, const Settings& settings)
    : settings_(settings), periodFrames_(periodFrames), hostRate_(hostRate > 0.0 ? hostRate : 44100.0) {
    if (periodFrames_ < 1.0) periodFrames_ = 1.0;
}

void DriftLoop::start(double ratio, bool locked) {
    started_ = true;
    seconds_ = locked ? settings_.acquireSeconds : 0.0;
    z1_ = z2_ = 0.0;
    const double most = settings_.maxOffset;
    const double offset = std::isfinite(ratio) ? ratio - 1.0 : 0.0;
    integral_ = offset > most ? most : offset < -most ? -most : offset;
    ratio_ = 1.0 + integral_;
    hold_ = 0;
    fresh_ = true;
    hasLast_ = false;
    jumpCount_ = 0;
    jumpSum_ = 0.0;
    recentCount_ = recentNext_ = 0;
}

double DriftLoop::omega() const {
    if (seconds_ <= settings_.acquireSeconds) return settings_.acquireOmega;
    const double lock = settings_.lockOmega, track = settings_.trackOmega;
    const double narrowing = seconds_ - settings_.acquireSeconds - settings_.pullInSeconds;
    if (narrowing <= 0.0) return lock;
    const double into = narrowing / settings_.narrowSeconds;
    if (into >= 1.0) return track;
    return lock * std::pow(track / lock, into);
}

bool DriftLoop::heldAsJump(double error) {
    // One measurement far off that the next ones do not confirm was no jump,
    // nor were measurements far off that scatter (a busy machine's late
    // wakes): a unit that skipped lies the same distance off every time.
    if (jumpCount_ == 0 && hasLast_ && std::fabs(error - last_) > kJumpFrames) jumpBase_ = last_;
    if ((jumpCount_ > 0 || (hasLast_ && std::fabs(error - last_) > kJumpFrames)) &&
        std::fabs(error - jumpBase_) > kJumpFrames) {
        const double off = error - jumpBase_;
        jumpLow_ = jumpCount_ == 0 ? off : std::min(jumpLow_, off);
        jumpHigh_ = jumpCount_ == 0 ? off : std::max(jumpHigh_, off);
        if (jumpHigh_ - jumpLow_ <= kJumpFrames) {
            jumpSum_ += off;
            ++jumpCount_;
            return true;
        }
    }
    jumpCount_ = 0;
    jumpSum_ = 0.0;
    last_ = error;
    hasLast_ = true;
    return false;
}

void DriftLoop::watch(double fillError) {
    if (hold_ > 0 || !std::isfinite(fillError)) {
        if (hold_ > 0) --hold_;
        return;
    }
    // A watched unit that jumped (it ran dry, or lost capture frames) has
    // moved, not drifted: the watch moves along with it.
    if (heldAsJump(fillError)) {
        if (jumpCount_ < kJumpPeriods) return;
        const double jump = jumpSum_ / jumpCount_;
        z1_ += jump;
        z2_ += jump;
        baseline_ += jump;
        for (int i = 0; i < recentCount_; ++i) recent_[i] += jump;
        jumpCount_ = 0;
        jumpSum_ = 0.0;
        last_ = fillError;
        return;
    }
    remember(fillError);
    // Watching starts where the unit is: an offset it started with (units
    // started a millisecond apart) is no drift, and must not pass for one
    // while the filter settles.
    if (watched_ == 0.0) z1_ = z2_ = fillError;
    const double a = watchCoefficient();
    // The scatter is learnt all along (a machine gets busy later): a drift
    // adds only the filter's lag behind it, well under a frame of scatter.
    const double deviation = fillError - z2_;
    scatter_ += (watched_ > 0.0 ? a : 1.0) * (deviation * deviation - scatter_);
    z1_ += a * (fillError - z1_);
    z2_ += a * (z1_ - z2_);
    const bool settling = watched_ < kWatchSettleSeconds;
    watched_ += periodSeconds();
    if (settling && watched_ >= kWatchSettleSeconds) baseline_ = z2_;
}

double DriftLoop::watchCoefficient() const {
    return 1.0 - std::exp(-settings_.filterRatio * settings_.lockOmega * periodSeconds());
}

double DriftLoop::watchedNoise() const {
    // Two one-pole stages of coefficient a pass about a (1 + a)... of white
    // noise's variance; a / 2 is near enough for small a.
    return std::sqrt(scatter_ * watchCoefficient() / 2.0);
}

double DriftLoop::watchedRatio() const {
    const double span = watched_ - kWatchSettleSeconds;
    if (span < periodSeconds()) return 1.0;
    const double offset = (z2_ - baseline_) / span / hostRate_;
    return 1.0 + std::max(-settings_.maxOffset, std::min(settings_.maxOffset, offset));
}

void DriftLoop::remember(double error) {
    recent_[recentNext_] = error;
    recentNext_ = (recentNext_ + 1) % kRecent;
    if (recentCount_ < kRecent) ++recentCount_;
}

void DriftLoop::skip() { seconds_ += periodSeconds(); }

void BoundaryClock::Fit::add(double frames, double ns) {
    // Running means and sums of products about them (Welford): no sums of
    // squares of large numbers to cancel.
    if (count == 0.0) firstFrames = frames;
    lastFrames = frames;
    count += 1.0;
    const double dFrames = frames - meanFrames;
    meanFrames += dFrames / count;
    meanNs += (ns - meanNs) / count;
    framesSquares += dFrames * (frames - meanFrames);
    framesNs += dFrames * (ns - meanNs);
}

const BoundaryClock::Fit& BoundaryClock::longerFit() const {
    const Fit& now = fits_[current_];
    const Fit& before = fits_[1 - current_];
    return now.spanFrames() >= before.spanFrames() ? now : before;
}

bool BoundaryClock::speedSteady() const {
    const Fit& fit = longerFit();
    return started_ && fit.spanFrames() * nominalNsPerFrame_ >= kLeastSpanSeconds * 1e9 && fit.framesNs > 0.0;
}

double BoundaryClock::speed() const {
    if (!started_ || !(nsPerFrame_ > 0.0)) return 0.0;
    if (!speedSteady()) return nominalNsPerFrame_ / nsPerFrame_;
    const Fit& fit = longerFit();
    return nominalNsPerFrame_ * fit.framesSquares / fit.framesNs;
}

double DriftLoop::update(double fillError) {
    if (!started_) return ratio_;
    if (hold_ > 0 || !std::isfinite(fillError)) {
        if (hold_ > 0) --hold_;
        skip();
        return ratio_;
    }
    const double period = periodSeconds();
    const double error = fillError;
    if (fresh_) {
        // Where the follower is when the loop starts is where it pulls in from.
        z1_ = z2_ = error;
        fresh_ = false;
    }
    // A jump is realigned, not followed: it stays out of the filter.
    if (heldAsJump(error)) {
        seconds_ += period;
        return ratio_;
    }
    remember(error);
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
    const double most = settings_.maxOffset;
    double offset = integral_ + proportional * z2_;
    if (offset > most || offset < -most) {
        // Clamped: the integral does not wind further out.
        if ((offset > most && integral_ > before) || (offset < -most && integral_ < before)) integral_ = before;
        offset = integral_ + proportional * z2_;
        offset = offset > most ? most : offset < -most ? -most : offset;
    }
    ratio_ = 1.0 + offset;
    seconds_ += period;
    return ratio_;
}

int32_t DriftLoop::realignment(bool force) const {
    if (jumpCount_ >= kJumpPeriods) return static_cast<int32_t>(std::lround(jumpSum_ / jumpCount_));
    const double limit = force ? 1.0 : settings_.realignFrames;
    if (std::fabs(z2_) < limit || recentCount_ == 0) return 0;
    if (force) return static_cast<int32_t>(std::lround(z2_));
    double sum = 0.0;
    for (int i = 0; i < recentCount_; ++i) sum += recent_[i];
    return static_cast<int32_t>(std::lround(sum / recentCount_));
}

void DriftLoop::realigned(double frames, uint32_t holdPeriods) {
    // A jump never reached the filter; any other move takes its memory along.
    if (jumpCount_ == 0) {
        z1_ -= frames;
        z2_ -= frames;
        last_ -= frames;
    }
    jumpCount_ = 0;
    jumpSum_ = 0.0;
    for (int i = 0; i < recentCount_; ++i) recent_[i] -= frames;
    hold_ = holdPeriods;
}


void BoundaryClock::completed(uint32_t frames, uint64_t observedNs, double nominalRate) {
    const double observed = double(observedNs - firstNs_);
    if (started_ && frames > 0) {
        const double expected = boundaryNs_ + frames * nsPerFrame_;
        const double error = observed - expected;
        if (std::fabs(error) > kJumpNs && ++outliers_ < kRestartAfter) {
            // Seen far from where it should have ended: the thread that saw
            // it was held up (or the device hiccupped). The time line coasts
            // over it; only a run of them says the hardware really moved.
            boundaryNs_ = expected;
            frames_ += frames;  // the fit's frame count stays that of the hardware
            return;
        }
        if (std::fabs(error) <= kJumpNs) {
            outliers_ = 0;
            // Second order, critically damped: b = sqrt(2) w dt, c = (w dt)^2.
            const double span = frames * nsPerFrame_ * 1e-9;
            seconds_ += span;
            const double hz = seconds_ < kWideSeconds ? kStartHz : std::max(kSteadyHz, kStartHz * kWideSeconds / seconds_);
            const double w = 2.0 * 3.14159265358979323846 * hz * span;
            boundaryNs_ = expected + std::sqrt(2.0) * w * error;
            nsPerFrame_ += w * w * error / frames;
            frames_ += frames;
            if (fits_[current_].spanFrames() * nominalNsPerFrame_ >= kFitSeconds * 1e9) {
                current_ = 1 - current_;
                fits_[current_] = Fit();
            }
            fits_[current_].add(frames_, observed);
            return;
        }
    }
    // The first completion, or one far off: the time line starts here.
    const bool keepRate = started_ && nsPerFrame_ > 0.0;
    nominalNsPerFrame_ = nominalRate > 0.0 ? 1e9 / nominalRate : 1e9 / 44100.0;
    started_ = true;
    outliers_ = 0;
    seconds_ = 0.0;
    firstNs_ = observedNs;
    boundaryNs_ = 0.0;
    frames_ = 0.0;
    fits_[0] = fits_[1] = Fit();
    current_ = 0;
    if (!keepRate) nsPerFrame_ = nominalNsPerFrame_;
}
