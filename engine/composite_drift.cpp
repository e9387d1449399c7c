#include "engine/composite_drift.h"

#include <cmath>

#include "engine/composite_ks_audio_device.h"
#include "platform/trace.h"

namespace {

// A watched unit's converters are switched in once its filtered error has
// moved this many host frames beyond what its scatter explains: units that
// share a clock never get there, however late a busy machine sees their
// completions. Unconverted, a unit has two packets of slack before it runs
// dry, far more than this (at 100 ppm it takes 3 s to get here).
constexpr double kEngageFrames = 12.0;
constexpr double kEngageNoiseWidths = 5.0;
// And it must stay beyond for a while and still be moving away, as a drift
// does: a busy stretch that shows one unit's completions later for a
// while moves the error and holds it, a drift keeps it going. Far beyond
// (a crystal 0.5 % off runs out of slack within a second) it switches in
// at once.
constexpr double kEngageHoldSeconds = 0.5;
constexpr double kEngageMovingFrames = 0.5;
constexpr double kEngageAtOnce = 4.0;
// A unit switched in is pulled in by its loop, not realigned, for this
// long after (the loop's clock, which starts where acquisition ends).
constexpr double kPullInSeconds = 0.5 + 2.0;
// A change made now shows in the packet made (render) or asked for
// (capture) next, which comes back three halves on.
constexpr uint32_t kChangeShowsAfter = 3;
// A unit's crystal is remembered when it leaves, if its time line ran long
// enough to read its speed to a few ppm; a unit plugged back converts
// from its first packet when the remembered ratio lies this far from 1. A
// closer one (a shared clock, or crystals that agree) is watched as any
// unit is: a switch-in would cost it its bit-for-bit stream for little.
constexpr double kPresetAtLeast = 50e-6;
// Its own time line starts wide and scatters by frames for a while: the
// loop holds the remembered ratio until it has run this long, which at a
// ratio a few ppm off (what the memory is good to) costs a fraction of a
// frame.
constexpr double kPresetTrustSeconds = 1.0;

}  // namespace

CompositeDrift::CompositeDrift(CompositeKsAudioDevice& device) : device_(device) {}

void CompositeDrift::begin(uint32_t periodFrames, double hostRate) {
    periodFrames_ = periodFrames;
    hostRate_ = hostRate > 0.0 ? hostRate : 44100.0;
    for (CompositeUnit* unit : device_.active_) reset(*unit);
    reference_ = nullptr;
    chooseReference(nullptr);
}

void CompositeDrift::reset(CompositeUnit& unit) {
    UnitDrift& d = unit.drift();
    const uint64_t realignments = d.realignments;
    d = UnitDrift();
    d.realignments = realignments;
    d.loop = DriftLoop(periodFrames_, hostRate_);
    // Units whose rates differ from the host's convert anyway: steered from
    // their first packet. The others are watched until their drift shows.
    if (unit.filter().converting() && unit.filter().steerable()) {
        d.steered = true;
        d.loop.start(1.0);
    }
}

void CompositeDrift::chooseReference(const CompositeUnit* leaving) {
    const AsioDeviceInfo* clock = reference_ != nullptr ? reference_->record() : nullptr;
    CompositeUnit* next = nullptr;
    // Another unit on the same crystal takes over without anything changing;
    // else any.
    for (int pass = 0; pass < 2 && next == nullptr; ++pass)
        for (CompositeUnit* unit : device_.active_) {
            if (unit == leaving) continue;
            if ((pass == 0 && clock != nullptr && unit->record() == clock) || pass == 1) {
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
    next->drift().steered = false;
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
    if (d.steered && d.presetUntrusted) {
        // Its ratio is known; its young time line scatters by frames. The
        // place it holds is the one it started at (within a USB frame of the
        // others, as an unconverted join's: it starts when the streaming
        // thread hears of the others' packets, which USB reports up to a
        // millisecond late), averaged over the second half of the hold, and
        // from then on the loop keeps it there.
        d.loop.skip();
        if (d.clock.seconds() >= kPresetTrustSeconds / 2) {
            d.placeSum += fillError;
            ++d.placeCount;
        }
        if (d.clock.seconds() >= kPresetTrustSeconds && d.placeCount > 0) {
            d.place = d.placeSum / double(d.placeCount);
            d.presetUntrusted = false;
            d.loop.start(d.loop.ratio(), true);
        }
    } else if (d.steered) {
        d.loop.update(fillError - d.place);
        filter.steer(d.loop.ratio());
    } else {
        d.loop.watch(fillError);
    }
    if (!d.steered) {
        if (drifting(d) && filter.steerable() && &unit != reference_) engage(unit);
    } else if (d.loop.seconds() >= kPullInSeconds) {
        const int32_t move = d.loop.realignment();
        if (move != 0) realign(unit, move);
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
    sample.place = d.place;
    sample.placeKnown = !d.presetUntrusted;
    sample.ratio = d.loop.ratio();
    sample.converting = filter.converting();
    observer->measured(sample);
}

bool CompositeDrift::drifting(UnitDrift& d) const {
    const double threshold = kEngageFrames + kEngageNoiseWidths * d.loop.watchedNoise();
    const double change = std::fabs(d.loop.watchedChange());
    if (change <= threshold) {
        d.beyondSeconds = 0.0;
        return false;
    }
    if (change > kEngageAtOnce * threshold) return true;
    if (d.beyondSeconds == 0.0) d.crossedAt = change;
    d.beyondSeconds += periodFrames_ / hostRate_;
    return d.beyondSeconds >= kEngageHoldSeconds && change >= d.crossedAt + kEngageMovingFrames;
}

void CompositeDrift::engage(CompositeUnit& unit) {
    UnitDrift& d = unit.drift();
    unit.filter().engage();
    d.steered = true;
    // Heard: the loop starts as it is once locked, at the ratio the drift
    // watched so far shows, and pulls in where the unit has drifted to (and
    // the step its switch-in makes, the converter's delay) within a second
    // or so, the ratio moving smoothly.
    d.loop.start(d.loop.watchedRatio(), true);
    d.loop.realigned(0.0, kChangeShowsAfter);
    TRACE("Drift: a unit's clock drifts; its converters are switched in");
}

void CompositeDrift::realign(CompositeUnit& unit, int32_t frames) {
    UnitDrift& d = unit.drift();
    unit.filter().realign(frames);
    d.loop.realigned(frames, kChangeShowsAfter);
    ++d.realignments;
    ++report_.realignments;
    device_.driftRealignments_.fetch_add(1);
    TRACE("Drift: a unit %i frames off its place is realigned", static_cast<int>(frames));
}

void CompositeDrift::joined(CompositeUnit& unit, bool running) {
    // It starts as the units of a new stream do: unconverted and heard from
    // its first packet (units sharing the pacing unit's clock stay so),
    // watched until its drift shows, then switched in without a seam;
    // unless its crystal is remembered.
    reset(unit);
    if (reference_ == nullptr) {
        reference_ = &unit;  // the first unit paces
        return;
    }
    // Only into a running stream, whose time lines are current and which
    // gives the unit a silent first packet.
    const double ratio = running ? rememberedRatio(unit) : 0.0;
    if (ratio == 0.0) return;
    UnitDrift& d = unit.drift();
    KsAudioFilter& filter = unit.filter();
    if (d.steered) {
        d.loop.start(ratio, true);  // it converts anyway
        d.presetUntrusted = true;
    } else if (std::fabs(ratio - 1.0) >= kPresetAtLeast && filter.steerable()) {
        // Converted from its first packet (which is silence), at the ratio
        // it had: nothing to pull in, nothing to switch in later.
        filter.convertFromFirstPacket();
        if (!filter.converting()) return;
        d.steered = true;
        d.presetUntrusted = true;
        d.loop.start(ratio, true);
        TRACE("Drift: a unit whose crystal is known joins converting");
    } else {
        return;
    }
    filter.steer(d.loop.ratio());
}

double CompositeDrift::rememberedRatio(const CompositeUnit& unit) const {
    if (reference_ == nullptr || reference_->record() == unit.record()) return 0.0;
    const double speed = device_.crystals_.recall(unit.record()->getSerialNumber());
    const BoundaryClock& pacing = reference_->drift().clock;
    if (speed <= 0.0 || !pacing.speedSteady()) return 0.0;
    return speed / pacing.speed();
}

void CompositeDrift::leaving(const CompositeUnit& unit) {
    const BoundaryClock& clock = unit.drift().clock;
    if (clock.speedSteady())
        device_.crystals_.remember(unit.record()->getSerialNumber(), clock.speed());
    if (&unit == reference_) chooseReference(&unit);
}
