// The soak's seeded schedule of what happens on the simulated device bus:
// controllers plugged, pulled, moved to another port, switched to their
// other layout, and faults armed and cleared, all through the bus file, as
// a user and a flaky USB hub would. A few controllers stay for the whole
// run and are never touched: what they lose is what the others' coming and
// going cost them.
//
// The same seed gives the same events in the same order.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace soak {

struct ScheduledUnit {
    std::string serial;
    uint32_t port = 0;
    bool eightTwo = false;   // layout 8+2, else 4+4
    std::string faults;      // bus-file keys, empty for none
    bool stays = false;      // plugged from start to end, never touched
};

// Counts of what the schedule did.
struct ScheduleCounts {
    uint32_t plugs = 0, pulls = 0, moves = 0, layouts = 0, faults = 0, clears = 0;
    // Faults that hold a half up to the stream's stall limit (a device that
    // stops completing): the host's switches come that much later.
    uint32_t stalls = 0;
};

class Schedule {
public:
    // `stayers` controllers stay; at most `maxUnits` are plugged at once.
    Schedule(uint32_t seed, uint32_t stayers, uint32_t maxUnits);

    // The bus file's text for the controllers plugged now.
    std::string busText() const;
    // Applies the next random event; returns a line saying what it did.
    std::string step();
    // Real milliseconds to wait before the next event (seeded as well).
    uint32_t nextDelayMs(uint32_t meanMs);

    const std::vector<ScheduledUnit>& units() const { return units_; }
    const ScheduleCounts& counts() const { return counts_; }

private:
    uint32_t freePort();
    // One of the few controllers that come and go, not plugged now.
    std::string freeSerial();
    ScheduledUnit* pickTouchable();
    std::string randomFault();
    uint32_t below(uint32_t limit);

    std::mt19937 random_;
    const uint32_t maxUnits_;
    std::vector<ScheduledUnit> units_;
    ScheduleCounts counts_;
};

}  // namespace soak
