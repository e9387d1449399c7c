#include "engine/composite_drift_figures.h"

#include <algorithm>
#include <cmath>

DriftFigures::DriftFigures(
    double hostRate, std::vector<std::pair<const AsioDeviceInfo*, std::shared_ptr<sim::SimController>>> controllers)
    : hostRate_(hostRate), controllers_(std::move(controllers)) {}

sim::SimController* DriftFigures::controllerOf(const CompositeUnit* unit) const {
    for (const auto& entry : controllers_)
        if (entry.first == unit->record()) return entry.second.get();
    return nullptr;
}

DriftFigures::Unit* DriftFigures::unitFor(const DriftSample& sample) {
    for (size_t i = 0; i < count_; ++i)
        if (units_[i].unit == sample.unit) return &units_[i];
    if (count_ == kMaxUnits) return nullptr;
    Unit& unit = units_[count_++];
    unit = Unit();
    unit.unit = sample.unit;
    unit.record = sample.unit->record();
    unit.input = sample.unit->isInput();
    return &unit;
}

void DriftFigures::measured(const DriftSample& sample) {
    sim::SimController* follower = controllerOf(sample.unit);
    sim::SimController* reference = controllerOf(sample.reference);
    Unit* u = unitFor(sample);
    if (follower == nullptr || reference == nullptr || u == nullptr) return;
    // The packets measured are the last each pin delivered: the true error
    // takes where their hardware really ended.
    const sim::CompletionTiming f = follower->lastCompletion(sample.unit->isInput());
    const sim::CompletionTiming r = reference->lastCompletion(sample.reference->isInput());
    if (f.count == 0 || r.count == 0) return;
    const double earlier = double(int64_t(r.hardwareEndNs - f.hardwareEndNs)) * 1e-9;
    const double raw = sample.boundary - sample.referenceBoundary + earlier * hostRate_;
    const uint64_t now = f.deliveredNs;
    if (!sample.placeKnown) {
        // The place is measured while the unit plays: what it did meanwhile
        // counts once the place is known.
        if (u->samples++ == 0) u->firstNs = now;
        u->unplacedLow = u->unplaced ? std::min(u->unplacedLow, raw) : raw;
        u->unplacedHigh = u->unplaced ? std::max(u->unplacedHigh, raw) : raw;
        u->unplaced = true;
        return;
    }
    // From the place the loop holds the unit at: 0, or for a unit plugged
    // back, where its hardware started.
    const double error = raw - sample.place;
    u->place = sample.place;
    if (u->unplaced) {
        u->peakBeforeSteady = std::max({u->peakBeforeSteady, std::fabs(u->unplacedLow - sample.place),
                                        std::fabs(u->unplacedHigh - sample.place)});
        u->unplaced = false;
    }
    if (u->samples++ == 0) u->firstNs = now;
    u->converting = sample.converting;
    u->lastError = error;
    if (u->windowNs == 0) {
        u->windowNs = now;
        u->windowError = error;
    }
    const double since = double(now - u->firstNs) * 1e-9;
    if (since < kSteadySeconds) {
        u->peakBeforeSteady = std::max(u->peakBeforeSteady, std::fabs(error));
    } else {
        u->steadyPeak = std::max(u->steadyPeak, std::fabs(error));
        u->steadySquares += error * error;
        ++u->steadyCount;
        u->largestRatioStep = std::max(u->largestRatioStep, std::fabs(sample.ratio - u->lastRatio));
    }
    u->lastRatio = sample.ratio;
    // Over each second the lead moves by how far the ratio was off.
    if (now - u->windowNs >= 1000000000ull) {
        const double seconds = double(now - u->windowNs) * 1e-9;
        if (since >= kSteadySeconds) {
            const double ratioError = (error - u->windowError) / (hostRate_ * seconds);
            u->ratioSquares += ratioError * ratioError;
            ++u->ratioWindows;
        }
        u->windowNs = now;
        u->windowError = error;
    }
}

double DriftFigures::worstSteadyRms() const {
    double worst = 0.0;
    for (const Unit& u : *this) worst = std::max(worst, u.steadyRms());
    return worst;
}

double DriftFigures::worstRatioErrorPpm() const {
    double worst = 0.0;
    for (const Unit& u : *this) worst = std::max(worst, u.ratioErrorRmsPpm());
    return worst;
}

