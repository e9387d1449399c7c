#include "tools/soak_schedule.h"

#include <algorithm>

namespace soak {
namespace {

constexpr uint32_t kMaxPort = 64;
// The controllers that come and go are a few, plugged again and again, as
// a DJ's are: the driver remembers every controller it met, so new serials
// without end would grow its memory by design and hide a leak.
constexpr uint32_t kComingAndGoing = 8;

}  // namespace

Schedule::Schedule(uint32_t seed, uint32_t stayers, uint32_t maxUnits)
    : random_(seed), maxUnits_(std::max(maxUnits, stayers + 1)) {
    for (uint32_t i = 0; i < stayers; ++i) {
        ScheduledUnit unit;
        unit.serial = "SOAK-S" + std::to_string(i + 1);
        unit.port = i + 1;
        unit.eightTwo = i % 2 == 1;
        unit.stays = true;
        units_.push_back(unit);
    }
}

uint32_t Schedule::below(uint32_t limit) { return limit == 0 ? 0 : static_cast<uint32_t>(random_() % limit); }

uint32_t Schedule::nextDelayMs(uint32_t meanMs) { return meanMs / 2 + below(meanMs + 1); }

std::string Schedule::busText() const {
    std::string text = "# soak schedule: one controller per line\n";
    for (const ScheduledUnit& unit : units_) {
        text += "QELM serial=" + unit.serial + " port=" + std::to_string(unit.port) +
                (unit.eightTwo ? " layout=8+2" : " layout=4+4");
        if (!unit.faults.empty()) text += " " + unit.faults;
        text += "\n";
    }
    return text;
}

uint32_t Schedule::freePort() {
    for (uint32_t tries = 0; tries < 4 * kMaxPort; ++tries) {
        const uint32_t port = 1 + below(kMaxPort);
        if (std::none_of(units_.begin(), units_.end(), [port](const ScheduledUnit& u) { return u.port == port; }))
            return port;
    }
    return 0;
}

std::string Schedule::freeSerial() {
    const uint32_t first = below(kComingAndGoing);
    for (uint32_t i = 0; i < kComingAndGoing; ++i) {
        const std::string serial = "SOAK-R" + std::to_string(1 + (first + i) % kComingAndGoing);
        if (std::none_of(units_.begin(), units_.end(), [&serial](const ScheduledUnit& u) { return u.serial == serial; }))
            return serial;
    }
    return std::string();
}

ScheduledUnit* Schedule::pickTouchable() {
    std::vector<ScheduledUnit*> touchable;
    for (ScheduledUnit& unit : units_)
        if (!unit.stays) touchable.push_back(&unit);
    return touchable.empty() ? nullptr : touchable[below(static_cast<uint32_t>(touchable.size()))];
}

std::string Schedule::randomFault() {
    const std::string count = std::to_string(1 + below(20));
    switch (below(13)) {
        case 0: return "fail-packets=" + count;
        case 1: return "empty-reads=" + count;
        case 2: return "short-reads=" + count;
        case 3: ++counts_.stalls; return "stall=1";
        case 4: return "fail-state=1";
        case 5: return "crc-writes=" + count;
        case 6: return "fail-pin=1";
        case 7: return "fail-open=1";
        case 8: return "late-cancel";
        case 9: return "in-use";
        case 10: return "pin-delay=" + std::to_string(below(80));
        case 11: return "drift=" + std::string(below(2) ? "-" : "") + std::to_string(below(200));
        default: return "fail-packets=always";
    }
}

std::string Schedule::step() {
    ScheduledUnit* unit = pickTouchable();
    const uint32_t choice = unit == nullptr ? 0 : below(10);
    if (choice <= 1 && units_.size() < maxUnits_) {
        ScheduledUnit plugged;
        plugged.serial = freeSerial();
        if (plugged.serial.empty()) return "no controller left to plug";
        plugged.port = freePort();
        plugged.eightTwo = below(2) == 1;
        if (plugged.port == 0) return "no free port";
        units_.push_back(plugged);
        ++counts_.plugs;
        return "plug " + plugged.serial;
    }
    if (unit == nullptr) return "nothing to do";
    switch (choice) {
        case 0:
        case 1:
        case 2: {
            const std::string serial = unit->serial;
            units_.erase(std::find_if(units_.begin(), units_.end(),
                                      [&serial](const ScheduledUnit& u) { return u.serial == serial; }));
            ++counts_.pulls;
            return "pull " + serial;
        }
        case 3: {
            const uint32_t port = freePort();
            if (port == 0) return "no free port";
            unit->port = port;
            ++counts_.moves;
            return "move " + unit->serial + " to port " + std::to_string(port);
        }
        case 4:
            unit->eightTwo = !unit->eightTwo;
            ++counts_.layouts;
            return "layout " + unit->serial + (unit->eightTwo ? " 8+2" : " 4+4");
        case 5:
            unit->faults.clear();
            ++counts_.clears;
            return "clear " + unit->serial;
        default:
            unit->faults = randomFault();
            ++counts_.faults;
            return "fault " + unit->serial + " " + unit->faults;
    }
}

}  // namespace soak
