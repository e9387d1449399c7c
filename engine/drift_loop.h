// The loop filter that steers one follower unit to the pacing unit's clock
// (docs/drift.md): once per host period it takes the fill error, the host
// frames by which the follower's hardware runs ahead of the pacing unit's,
// and answers the ratio of the follower's clock to the pacing unit's, which
// its converters then follow.
//
// A PI loop on the error after a two-pole low-pass: the low-pass keeps the
// measurement's noise (USB's 1 ms frames, the completions' jitter) out of
// the ratio, so that it moves smoothly; the integral holds the clocks'
// difference, the proportional part pulls the phase in. The loop starts
// wide, to lock within a fraction of a second, and narrows geometrically to
// a bandwidth that rejects the noise. The ratio is clamped, and the integral
// stops growing while it is (anti-windup). Errors far beyond what the ratio
// should absorb are answered by a realignment in whole frames instead.
//
// Plain arithmetic on the streaming thread: no allocation, no lock.
#pragma once

#include <cstdint>

class DriftLoop {
public:
    struct Settings {
        // Natural frequencies (rad/s, critically damped): while acquiring,
        // from the end of acquisition (narrowing geometrically from there),
        // and at the end of the narrowing.
        double acquireOmega = 8.0;
        double lockOmega = 3.0;
        double trackOmega = 0.3;
        double acquireSeconds = 0.5;
        double narrowSeconds = 6.0;
        // The error's low-pass corner, in multiples of the natural frequency.
        double filterRatio = 6.0;
        // The ratio stays within 1 +- this.
        double maxOffset = 0.005;
        // A filtered error beyond this many host frames is realigned.
        double realignFrames = 12.0;
    };

    DriftLoop(uint32_t periodFrames, double hostRate);
    DriftLoop(uint32_t periodFrames, double hostRate, const Settings& settings);

    // Starts (or restarts) the loop wide, at the ratio given (1 without a
    // better guess).
    void start(double ratio);
    bool started() const { return started_; }

    // One host period's fill error in host frames (positive: the follower's
    // hardware runs ahead). Returns the ratio for what is converted from now
    // on.
    double update(double fillError);
    // A period without a measurement: the ratio holds, the narrowing goes on.
    void skip();
    // Only filters the error, as for a follower that is not converted yet:
    // filteredError() tells how far it has drifted.
    void watch(double fillError);

    double ratio() const { return ratio_; }
    // The error after the low-pass, less the target offset.
    double filteredError() const { return z2_; }
    double seconds() const { return seconds_; }
    // The loop's natural frequency now (rad/s).
    double omega() const;

    // Whole host frames the follower should move now, when the filtered
    // error lies beyond realignFrames: the mean of the last few
    // measurements, rounded, since the filter lags a jump. A muted follower
    // (force) moves for any filtered error of a frame or more, by that
    // error: nothing jumped, and the filter has averaged the noise longest.
    // 0 when within.
    int32_t realignment(bool force = false) const;
    // The follower was moved by `frames` (its hardware now runs that much
    // less ahead): the filter's memory of the error moves with it, and the
    // next `holdPeriods` measurements, taken before the move shows, are
    // skipped.
    void realigned(double frames, uint32_t holdPeriods);

    // The target lead starts at `frames` and glides to 0 at `framesPerSecond`
    // (a converter switched in from an unconverted stream whose delay shows
    // as a phase step): the ratio follows the glide directly, the error is
    // counted from the moving target.
    void glideTarget(double frames, double framesPerSecond);
    double targetOffset() const { return target_; }

private:
    double periodSeconds() const { return periodFrames_ / hostRate_; }

    Settings settings_;
    double periodFrames_;
    double hostRate_;
    bool started_ = false;
    double seconds_ = 0.0;
    double z1_ = 0.0;
    double z2_ = 0.0;
    double integral_ = 0.0;  // the clocks' difference: ratio - 1
    double ratio_ = 1.0;
    double target_ = 0.0;
    double glidePerPeriod_ = 0.0;
    uint32_t hold_ = 0;
    static constexpr int kRecent = 9;
    double recent_[kRecent] = {};
    int recentCount_ = 0;
    int recentNext_ = 0;
};
