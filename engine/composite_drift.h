// Clock-drift correction between the composite device's units, on its
// streaming thread (docs/drift.md).
//
// One controller paces the host: its units stream as they would alone, and
// one of them is the reference. Every unit of another controller follows:
// at each half it measures how far the unit's hardware runs ahead of the
// reference in host frames (the fill error), from the moments their packets
// of that half came back and where each packet ends on the host's time
// line, and a DriftLoop turns that into the ratio its converters follow.
//
// - Units that stream from the start play unconverted, bit for bit, until
//   their drift shows (units sharing a clock never convert); then their
//   converters are switched in without a seam.
// - A unit that joins the running stream starts the same way, heard from
//   its first packet, and is switched in once its drift shows, its ratio
//   preset from the drift watched. A controller plugged back, whose crystal
//   the device remembers, converts from its first packet at that ratio.
// - When the reference leaves, another unit of its controller takes over,
//   else a follower, whose ratio then stays as it was: no unit sees a step.
// - An error beyond what the ratio should absorb (a device that stalled) is
//   realigned by whole frames with a crossfade, and counted.
//
// Nothing here allocates, locks or waits.
#pragma once

#include <cstdint>

#include "engine/composite_unit.h"

class CompositeKsAudioDevice;

// One follower's measurement at one half, for tests and benchmarks that
// watch the corrector (CompositeKsAudioDevice::setDriftObserver).
struct DriftSample {
    const CompositeUnit* unit = nullptr;
    const CompositeUnit* reference = nullptr;
    uint64_t completedNs = 0;  // when the unit's packet came back (the stream's clock)
    uint64_t referenceNs = 0;  // when the reference's did
    double boundary = 0.0;     // where each packet ends on the host's time line
    double referenceBoundary = 0.0;
    double fillError = 0.0;    // host frames the unit's hardware runs ahead, as measured
    double place = 0.0;        // the fill error the loop holds it at: 0, or where it joined
    bool placeKnown = true;    // false while a plugged-back unit's place is being measured
    double ratio = 1.0;        // what its converters follow from now on
    bool converting = false;
};

class DriftObserverIf {
public:
    virtual ~DriftObserverIf() = default;
    // On the streaming thread, at every half, for every follower measured.
    virtual void measured(const DriftSample& sample) = 0;
};

// What the corrector has done, for getDriftReport.
struct DriftReport {
    uint64_t realignments = 0;   // audible realignments by whole frames, all units
    uint64_t takeovers = 0;      // a unit took over from a reference that left
    uint32_t following = 0;      // units converting under steering now
};

class CompositeDrift {
public:
    // The stream's units and clock are the device's; the period and rate
    // are set by begin.
    explicit CompositeDrift(CompositeKsAudioDevice& device);

    // The stream's units start (or start again) together: a reference is
    // chosen; units that convert anyway are steered from now on, the others
    // watched until their drift shows.
    void begin(uint32_t periodFrames, double hostRate);
    // A unit's packet of the current half came back; nowNs is when the wait
    // that saw it returned.
    void completed(CompositeUnit& unit, uint64_t nowNs);
    // Every streaming unit has completed the current half: measure, steer.
    void halfCompleted();
    // A unit was spliced into the stream, before its first packets: into a
    // running one (its first packet silent), or one paused between runs.
    void joined(CompositeUnit& unit, bool running);
    // A unit leaves the stream (still in the active list).
    void leaving(const CompositeUnit& unit);

    const CompositeUnit* reference() const { return reference_; }
    void setObserver(DriftObserverIf* observer) { observer_ = observer; }
    const DriftReport& report() const { return report_; }

private:
    void chooseReference(const CompositeUnit* leaving);
    void measure(CompositeUnit& unit, double fillError);
    void reset(CompositeUnit& unit);
    // A watched unit's error shows a drift it should be switched in for.
    bool drifting(UnitDrift& d) const;
    void engage(CompositeUnit& unit);
    void realign(CompositeUnit& unit, int32_t frames);
    // The unit's clock over the pacing unit's, from its crystal as
    // remembered when it last left; 0 when not known.
    double rememberedRatio(const CompositeUnit& unit) const;

    CompositeKsAudioDevice& device_;
    CompositeUnit* reference_ = nullptr;
    uint32_t periodFrames_ = 0;
    double hostRate_ = 44100.0;
    DriftObserverIf* observer_ = nullptr;
    DriftReport report_;
};
