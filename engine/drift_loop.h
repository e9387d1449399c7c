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

// How far a follower's ratio may stray from 1, either way: far beyond any
// crystal's, so that only a failing one is clamped. The converters of
// steerable units are made for this spread.
constexpr double kDriftSpread = 0.005;

// The time line of one unit's hardware, filtered from its completions (a
// delay-locked loop, as in "Using a DLL to filter time"): each completion
// says when the hardware was through with a packet of so many frames, late
// by the USB frame it waited for and by some jitter. The unit's crystal runs
// steadily, so a narrow loop over many completions gives where its packets
// really end, and how fast its frames really pass, far better than any one
// completion: USB's 1 ms frames, which move a completion by up to a
// millisecond, average out over the beat of the packets against them.
// Both units of a comparison are filtered alike, so what remains of the
// USB frames (their mean delay) is the same for both and cancels.
class BoundaryClock {
public:
    // Bandwidth (Hz) at the start and from settledSeconds on.
    static constexpr double kStartHz = 3.0;
    static constexpr double kSteadyHz = 0.5;
    static constexpr double kWideSeconds = 0.3;
    // From then on its time line is good to a fraction of a millisecond,
    // enough to place a unit that joins.
    static constexpr double kSettledSeconds = 0.1;
    // A completion further than this from where the clock expected it is
    // passed over (the thread that saw it was held up: a scheduling delay
    // on a busy machine); kRestartAfter of them in a row (the hardware ran
    // dry, or stalled) start the clock afresh.
    static constexpr double kJumpNs = 3000000.0;
    static constexpr uint32_t kRestartAfter = 16;

    // A packet of `frames` hardware frames came back at observedNs.
    // nominalRate is the hardware's rate, for the first guess.
    void completed(uint32_t frames, uint64_t observedNs, double nominalRate);
    // Whether the filtered time line can be trusted yet.
    bool settled() const { return started_ && seconds_ >= kSettledSeconds; }
    // The filtered time of the last packet's end, and of a frame.
    double boundaryNs() const { return double(firstNs_) + boundaryNs_; }
    double nsPerFrame() const { return nsPerFrame_; }
    // How fast the unit's frames pass against its nominal rate, by the
    // stream's clock (1 + its crystal's error against that clock); 0 before
    // the first completion. Read across seconds of completions once there
    // are (good to a ppm or two), else from the loop's own rate, which USB's
    // frames scatter by tens of ppm.
    double speed() const;
    // Whether speed() is read across kLeastSpanSeconds of completions.
    bool speedSteady() const;
    // For how long (seconds of its frames) the time line has run since it
    // started.
    double seconds() const { return started_ ? seconds_ : 0.0; }
    void restart() { started_ = false; }

private:
    bool started_ = false;
    double seconds_ = 0.0;
    double boundaryNs_ = 0.0;
    double nsPerFrame_ = 0.0;
    double nominalNsPerFrame_ = 0.0;
    uint64_t firstNs_ = 0;
    // A straight line fitted to the completions themselves (least squares,
    // kept as running means): USB's frames scatter each by up to a
    // millisecond, but over seconds of them the slope is good to a ppm or
    // two. Fitted afresh every kFitSeconds, so that a crystal that warms up
    // is read as it is now; the longer of the last two fits is read.
    struct Fit {
        double count = 0.0;
        double meanFrames = 0.0;
        double meanNs = 0.0;
        double framesSquares = 0.0;  // sums of products about the means
        double framesNs = 0.0;
        double firstFrames = 0.0;
        double lastFrames = 0.0;
        void add(double frames, double ns);
        double spanFrames() const { return count > 1.0 ? lastFrames - firstFrames : 0.0; }
    };
    static constexpr double kFitSeconds = 10.0;
    static constexpr double kLeastSpanSeconds = 4.0;
    const Fit& longerFit() const;
    double frames_ = 0.0;  // frames since the time line started
    Fit fits_[2];
    int current_ = 0;
    uint32_t outliers_ = 0;
};

class DriftLoop {
public:
    struct Settings {
        // Natural frequencies (rad/s, critically damped): while acquiring,
        // once acquired (then narrowing geometrically), and at the end of
        // the narrowing.
        double acquireOmega = 8.0;
        double lockOmega = 3.0;
        double trackOmega = 0.3;
        double acquireSeconds = 0.5;
        // Held at lockOmega this long before it narrows: what acquisition
        // (or a switch-in) left is pulled in while the loop is still quick.
        double pullInSeconds = 1.5;
        double narrowSeconds = 6.0;
        // The error's low-pass corner, in multiples of the natural frequency.
        double filterRatio = 6.0;
        // The ratio stays within 1 +- this.
        double maxOffset = kDriftSpread;
        // A filtered error beyond this many host frames is realigned.
        double realignFrames = 12.0;
    };

    DriftLoop() : DriftLoop(1, 44100.0) {}
    DriftLoop(uint32_t periodFrames, double hostRate);
    DriftLoop(uint32_t periodFrames, double hostRate, const Settings& settings);

    // Starts (or restarts) the loop wide, at the ratio given (1 without a
    // better guess). Started locked, it skips the wide part: for a unit that
    // is heard, whose error the wide loop would turn into pitch.
    void start(double ratio, bool locked = false);
    bool started() const { return started_; }

    // One host period's fill error in host frames (positive: the follower's
    // hardware runs ahead). Returns the ratio for what is converted from now
    // on.
    double update(double fillError);
    // A period without a measurement: the ratio holds, the narrowing goes on.
    void skip();
    // Only filters the error, as for a follower that is not converted yet:
    // realignment() tells how far to move it, and watchedChange() how far it
    // has drifted since watching settled. The filter is that of the loop
    // once locked: a single completion that USB's frame makes a millisecond
    // late moves it by well under a frame. A jump (as update() sees one) is
    // no drift: the watch moves along with it.
    void watch(double fillError);
    // The filtered error's change since kWatchSettleSeconds of watching, 0
    // before: an offset the units started with is no drift (controllers
    // started one after the other, a millisecond apart, stay that way).
    double watchedChange() const { return watched_ >= kWatchSettleSeconds ? z2_ - baseline_ : 0.0; }
    // How far the watched, filtered error strays by noise alone (one
    // standard deviation, estimated from the measurements' scatter as it
    // goes): USB's frames scatter them by a millisecond, the more often
    // the further apart the units' packets end.
    double watchedNoise() const;
    // The ratio the watched drift shows (the filtered error's slope since
    // watching settled), clamped; 1 before then: a converter switched in
    // starts there rather than learning the whole drift afresh.
    double watchedRatio() const;
    static constexpr double kWatchSettleSeconds = 0.1;

    double ratio() const { return ratio_; }
    // The error after the low-pass.
    double filteredError() const { return z2_; }
    double seconds() const { return seconds_; }
    // The loop's natural frequency now (rad/s).
    double omega() const;

    // Whole host frames the follower should move now (0 for none):
    // - after a jump (a measurement more than kJumpFrames from the one
    //   before, and kJumpPeriods in a row as far from that one: a device
    //   that skipped or stalled), by the jump, which never reaches the
    //   filter;
    // - when the filtered error lies beyond realignFrames (more than the
    //   clamped ratio makes up for), by the mean of the last measurements;
    // - a muted follower (force), for any filtered error of a frame or
    //   more, by that error.
    int32_t realignment(bool force = false) const;
    static constexpr double kJumpFrames = 8.0;
    static constexpr uint32_t kJumpPeriods = 3;
    // The follower was moved by `frames` (its hardware now runs that much
    // less ahead): the filter's memory of the error moves with it, and the
    // next `holdPeriods` measurements, taken before the move shows, are
    // skipped.
    void realigned(double frames, uint32_t holdPeriods);


private:
    double periodSeconds() const { return periodFrames_ / hostRate_; }
    void remember(double error);
    // Whether the measurement belongs to a jump (and stays out of the
    // filter); a measurement that does not ends any jump under way.
    bool heldAsJump(double error);
    double watchCoefficient() const;

    Settings settings_;
    double periodFrames_;
    double hostRate_;
    bool started_ = false;
    double seconds_ = 0.0;
    double z1_ = 0.0;
    double z2_ = 0.0;
    double integral_ = 0.0;  // the clocks' difference: ratio - 1
    double ratio_ = 1.0;
    uint32_t hold_ = 0;
    bool fresh_ = false;      // the filter starts from the next measurement
    uint32_t jumpCount_ = 0;
    double jumpSum_ = 0.0;
    double jumpBase_ = 0.0;   // the last measurement before a jump
    double jumpLow_ = 0.0;    // the least and most a jump's measurements lie off
    double jumpHigh_ = 0.0;
    double last_ = 0.0;
    bool hasLast_ = false;
    double watched_ = 0.0;
    double baseline_ = 0.0;
    double scatter_ = 0.0;  // mean square of the measurements about the filter
    static constexpr int kRecent = 9;
    double recent_[kRecent] = {};
    int recentCount_ = 0;
    int recentNext_ = 0;
};
