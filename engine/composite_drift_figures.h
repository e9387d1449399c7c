// What a simulation run of the drift corrector achieved: a DriftObserverIf
// for tests and benchmarks on the virtual clock (docs/drift.md). It takes
// each follower's measurement and puts the simulated hardware's own timing
// in place of what the completions showed, which gives the true fill error:
// how many host frames the follower's hardware really runs ahead of the
// reference's. From it come the figures: lock, steady-state error, the
// ratio's error over a second, how smoothly the ratio moves.
//
// Called on the streaming thread; read the figures once the stream has
// stopped. Holds room for kMaxUnits followers and allocates nothing while
// it observes.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/composite_drift.h"
#include "sim/controller.h"

class DriftFigures final : public DriftObserverIf {
public:
    static constexpr size_t kMaxUnits = 16;
    // After how long a follower counts as steady.
    static constexpr double kSteadySeconds = 10.0;

    struct Unit {
        const CompositeUnit* unit = nullptr;  // may be gone once the stream stops
        const AsioDeviceInfo* record = nullptr;  // its controller's, which stays
        bool input = false;
        uint64_t samples = 0;
        uint64_t firstNs = 0;          // bus time of its first measurement
        double peakBeforeSteady = 0.0; // |true fill error| before it is steady
        double steadyPeak = 0.0;
        double steadySquares = 0.0;
        uint64_t steadyCount = 0;
        double ratioSquares = 0.0;     // the ratio's error averaged over each second, steady
        uint64_t ratioWindows = 0;
        double largestRatioStep = 0.0; // between two halves, steady
        double lastRatio = 1.0;
        double lastError = 0.0;        // true fill error at the last measurement
        uint64_t windowNs = 0;
        double windowError = 0.0;
        bool converting = false;
        // While a plugged-back unit's place is measured: the range of its
        // true error, judged against the place once it is known.
        double unplacedLow = 0.0;
        double unplacedHigh = 0.0;
        bool unplaced = false;
        double place = 0.0;

        double steadyRms() const { return steadyCount > 0 ? std::sqrt(steadySquares / double(steadyCount)) : 0.0; }
        double ratioErrorRmsPpm() const {
            return ratioWindows > 0 ? std::sqrt(ratioSquares / double(ratioWindows)) * 1e6 : 0.0;
        }
    };

    // The controllers behind the records the units stream from.
    DriftFigures(double hostRate, std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> controllers);

    void measured(const DriftSample& sample) override;

    const Unit* begin() const { return units_; }
    const Unit* end() const { return units_ + count_; }
    size_t followers() const { return count_; }
    // The worst of every follower.
    double worstSteadyRms() const;
    double worstRatioErrorPpm() const;

private:
    sim::SimController* controllerOf(const CompositeUnit* unit) const;
    Unit* unitFor(const DriftSample& sample);

    double hostRate_;
    std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> controllers_;
    Unit units_[kMaxUnits];
    size_t count_ = 0;
};
