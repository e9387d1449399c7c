// What a soak measured, and whether the run was sound.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

// One direction of a controller that stayed for the whole run: what the
// driver counted, and what the simulated hardware lost.
struct StayerLoss {
    std::string unit;        // "SOAK-S1 playback"
    uint64_t driverGaps = 0, driverFrames = 0;
    uint64_t hardwareGaps = 0, hardwareFrames = 0;
    // Times its unit left the stream (a stall limit reached) and came back.
    uint32_t rejoins = 0;
};

struct Figures {
    bool streamed = false;
    uint64_t switches = 0, expectedSwitches = 0;
    double longestPeriodMs = 0;  // the longest time between two switches
    double longestPeriodEndSeconds = 0;  // when it ended, from the first switch
    uint64_t missedSwitches = 0, positionJumps = 0, positionErrors = 0, repeatedHalves = 0, switchesAfterStop = 0;
    uint32_t overloads = 0;
    std::vector<StayerLoss> stayers;
    uint64_t residentStart = 0, residentMiddle = 0, residentEnd = 0;
    uint32_t threadsStart = 0, threadsEnd = 0;
    uint32_t handlesStart = 0, handlesEnd = 0;
    // Memory is judged only where the allocator is the program's own (not
    // under the address sanitizer, whose quarantine grows by design).
    bool judgeMemory = true;
    std::vector<std::string> streamProblems;  // what the host found wrong
};

// The stream may stand still this long (between two switches) before the
// run counts as stuck: a stall armed on a unit holds a half up to the
// stall limit (100 ms at the default buffer), a loaded machine holds the
// process up for a while; a stream that stops is a fault.
constexpr double kLongestQuietMs = 2000;

// Memory may grow this much from the middle of the run to its end before
// the run counts as leaking: caches and the allocator settle in the first
// half, a leak goes on growing.
constexpr uint64_t kResidentGrowthSlack = 16u << 20;

// The reasons the run was not sound; empty when it was.
std::vector<std::string> unsoundReasons(const Figures& figures);

}  // namespace soak
