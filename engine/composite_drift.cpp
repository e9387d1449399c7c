#include "engine/composite_drift.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "engine/composite_ks_audio_device.h"
#include "platform/trace.h"

namespace {

// A watched unit's converters are switched in once its filtered error has
// moved this many host frames: units that share a clock never get there,
// however their completions are scattered.
constexpr double kEngageFrames = 3.0;
constexpr double kEngageNoiseWidths = 5.0;
// A unit switched in is pulled in by its loop, not realigned, for this
// long after (the loop's clock, which starts where acquisition ends).
constexpr double kPullInSeconds = 0.5 + 2.0;
// A joining unit counts as placed within this many frames of its place
// (half a millisecond at 44.1 kHz), is heard this long after its first
// packet, and is moved into place at the end by the mean error of the last
// kSnapSeconds (enough to average USB's frames out).
constexpr double kPlacedFrames = 22.0;
constexpr int kPlacingMeasurements = 5;
constexpr double kHeardAfterSeconds = 0.5;
constexpr double kSnapSeconds = 0.15;
// A change made now shows in the packet made (render) or asked for
// (capture) next, which comes back three halves on.
constexpr uint32_t kChangeShowsAfter = 3;

}  // namespace

CompositeDrift::CompositeDrift(CompositeKsAudioDevice& device) : device_(device) {}

void CompositeDrift::begin(uint32_t periodFrames, double hostRate) {
    periodFrames_ = periodFrames;
    hostRate_ = hostRate > 0.0 ? hostRate : 44100.0;
    for (CompositeUnit* unit : device_.active_) {
        UnitDrift& d = unit->drift();
        const uint64_t realignments = d.realignments;
        d = UnitDrift();
        d.realignments = realignments;
        d.loop = DriftLoop(periodFrames_, hostRate_);
        // Units whose rates differ from the host's convert anyway.
        if (unit->filter().converting() && unit->filter().steerable()) {
            d.steered = true;
            d.loop.start(1.0);
        }
    }
    reference_ = nullptr;
    chooseReference(nullptr);
}

void CompositeDrift::chooseReference(const CompositeUnit* leaving) {
    const AsioDeviceInfo* clock = reference_ != nullptr ? reference_->record() : nullptr;
    CompositeUnit* next = nullptr;
    // Another unit on the same crystal takes over without anything changing;
    // else one that is heard, else any.
    for (int pass = 0; pass < 3 && next == nullptr; ++pass)
        for (CompositeUnit* unit : device_.active_) {
            if (unit == leaving) continue;
            if ((pass == 0 && clock != nullptr && unit->record() == clock) || (pass == 1 && !unit->drift().joining) ||
                pass == 2) {
                next = unit;
                break;
            }
        }
    if (leaving != nullptr && next != nullptr) {
        ++report_.takeovers;
        TRACE("Drift: the unit that paced leaves; another takes over");
    }
    reference_ = next;
    if (next == nullptr) return;
    // Its converters, if it has them running, stay at their ratio: the host's
    // clock goes on at the pace it had.
    UnitDrift& d = next->drift();
    d.steered = false;
    if (d.joining) {
        d.joining = false;
        next->filter().setMuted(false);
    }
}

void CompositeDrift::completed(CompositeUnit& unit, uint64_t nowNs) {
    // A packet's first use comes back at once and says nothing of the clock.
    const KsAudioFilter& filter = unit.filter();
    if (!filter.completedInFlight()) return;
    UnitDrift& d = unit.drift();
    d.clock.completed(filter.completedFrames(), nowNs, filter.getFormat().Format.nSamplesPerSec);
    d.completed = d.clock.settled();
    d.completedNs = nowNs;
    d.boundary = filter.completedBoundary();
}

void CompositeDrift::halfCompleted() {
    if (reference_ != nullptr && reference_->drift().completed) {
        const UnitDrift& r = reference_->drift();
        for (CompositeUnit* unit : device_.active_) {
            if (unit == reference_ || !unit->drift().completed) continue;
            const UnitDrift& d = unit->drift();
            // What the reference had left to play (or to capture) of this
            // half when the unit's hardware was through with its packet
            // (both filtered time lines), plus the difference of where the
            // two packets end on the host's time line.
            const double earlier = (r.clock.boundaryNs() - d.clock.boundaryNs()) * 1e-9;
            measure(*unit, d.boundary - r.boundary + earlier * hostRate_);
        }
    }
    for (CompositeUnit* unit : device_.active_) unit->drift().completed = false;
}

void CompositeDrift::measure(CompositeUnit& unit, double fillError) {
    UnitDrift& d = unit.drift();
    KsAudioFilter& filter = unit.filter();
    // A realignment that takes more than one packet: nothing is measured
    // until the last of it shows.
    if (filter.shiftPending()) {
        d.loop.realigned(0.0, kChangeShowsAfter);
        return;
    }
    if (d.steered) {
        d.loop.update(fillError);
        filter.steer(d.loop.ratio());
    } else {
        d.loop.watch(fillError);
    }
    if (d.joining) {
        join(unit, fillError);
    } else if (!d.steered) {
        const double threshold = kEngageFrames + kEngageNoiseWidths * d.loop.watchedNoise();
        if (std::fabs(d.loop.watchedChange()) > threshold && filter.steerable() && &unit != reference_)
            engage(unit);
    } else if (d.loop.seconds() >= kPullInSeconds) {
        const int32_t move = d.loop.realignment();
        if (move != 0) realign(unit, move, true);
    }
    DriftObserverIf* observer = device_.driftObserver_.load();
    if (observer == nullptr || reference_ == nullptr) return;
    DriftSample sample;
    sample.unit = &unit;
    sample.reference = reference_;
    sample.completedNs = d.completedNs;
    sample.referenceNs = reference_->drift().completedNs;
    sample.boundary = d.boundary;
    sample.referenceBoundary = reference_->drift().boundary;
    sample.fillError = fillError;
    sample.ratio = d.loop.ratio();
    sample.converting = filter.converting();
    sample.muted = filter.muted();
    observer->measured(sample);
}

// A joining unit is muted while it is moved into place and locked:
// - its first packets may end a period or more off the reference's: it is
//   moved by whole frames (the median of its last measurements, which USB's
//   frames cannot fool) until it is within half a millisecond;
// - then its loop acquires (a unit on another crystal);
// - at the end, the mean of its errors over the last stretch (which averages
//   USB's frames out) moves it by what is left, and it is heard when that
//   shows: within kHeardAfterSeconds of its first packet.
void CompositeDrift::join(CompositeUnit& unit, double fillError) {
    UnitDrift& d = unit.drift();
    const double period = periodFrames_ / hostRate_;
    d.joinedSeconds += period;
    if (d.heardIn > 0) {
        if (--d.heardIn == 0) {
            d.joining = false;
            unit.filter().setMuted(false);
        }
        return;
    }
    if (!d.placed) {
        if (d.loop.holding() || d.loop.recentCount() < kPlacingMeasurements) return;
        const double off = d.loop.recentMedian();
        if (std::fabs(off) > kPlacedFrames) {
            realign(unit, static_cast<int32_t>(std::lround(off)), false);
            d.loop.forgetRecent();
            return;
        }
        d.placed = true;
        d.placedSeconds = d.joinedSeconds;
        if (d.follows) {
            d.steered = true;
            d.loop.start(1.0);
        }
        return;
    }
    if (d.joinedSeconds >= kHeardAfterSeconds - kSnapSeconds) {
        d.snapSum += fillError - d.loop.targetOffset();
        ++d.snapCount;
    }
    if (d.joinedSeconds < kHeardAfterSeconds) return;
    const int32_t move = d.snapCount > 0 ? static_cast<int32_t>(std::lround(d.snapSum / d.snapCount)) : 0;
    if (move != 0) realign(unit, move, false);
    d.heardIn = move != 0 ? kChangeShowsAfter : 1;
}

void CompositeDrift::engage(CompositeUnit& unit) {
    UnitDrift& d = unit.drift();
    unit.filter().engage();
    d.steered = true;
    // Heard: the loop starts as it is once locked, and pulls in where the
    // unit has drifted to (and the step its switch-in makes, the converter's
    // delay) within a second or so, the ratio moving smoothly.
    d.loop.start(1.0, true);
    d.loop.realigned(0.0, kChangeShowsAfter);
    TRACE("Drift: a unit's clock drifts; its converters are switched in");
}

void CompositeDrift::realign(CompositeUnit& unit, int32_t frames, bool heard) {
    UnitDrift& d = unit.drift();
    if (getenv("DRIFT_TRACE")) printf("REALIGN %p in %d frames %d heard %d z2 %.3f secs %.3f\n", (void*)&unit, unit.isInput(), frames, heard, d.loop.filteredError(), d.loop.seconds());
    unit.filter().realign(frames);
    d.loop.realigned(frames, kChangeShowsAfter);
    if (!heard) return;
    ++d.realignments;
    ++report_.realignments;
    device_.driftRealignments_.fetch_add(1);
    TRACE("Drift: a unit %i frames off its place is realigned", static_cast<int>(frames));
}

void CompositeDrift::joined(CompositeUnit& unit) {
    UnitDrift& d = unit.drift();
    const uint64_t realignments = d.realignments;
    d = UnitDrift();
    d.realignments = realignments;
    d.loop = DriftLoop(periodFrames_, hostRate_);
    if (reference_ == nullptr) {
        reference_ = &unit;  // the first unit paces
        return;
    }
    d.joining = true;
    unit.filter().setMuted(true);
    // Its clock is unknown: converted from the first packet, unless it is
    // the reference's own crystal.
    if (unit.record() != reference_->record() && unit.filter().steerable()) {
        unit.filter().engage();
        d.follows = true;
    }
}

void CompositeDrift::leaving(const CompositeUnit& unit) {
    if (&unit == reference_) chooseReference(&unit);
}
