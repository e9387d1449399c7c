#include "tools/soak_verdict.h"

namespace soak {
namespace {

std::string count(const char* what, uint64_t n) { return std::to_string(n) + " " + what; }

}  // namespace

std::vector<std::string> unsoundReasons(const Figures& f) {
    std::vector<std::string> reasons = f.streamProblems;
    if (!f.streamed || f.switches == 0) reasons.push_back("the stream did not run");
    // Switches fall behind the wall clock while stalls hold halves up and
    // the machine holds the process up; how many came is reported, not
    // judged. A stream that stood still is a fault.
    if (f.longestPeriodMs > kLongestQuietMs)
        reasons.push_back("the stream stood still for " + std::to_string(static_cast<uint64_t>(f.longestPeriodMs)) +
                          " ms");
    // The host's own view: the sample position must move by one buffer at
    // every switch, whatever came and went.
    if (f.missedSwitches != 0) reasons.push_back(count("missed buffer switches", f.missedSwitches));
    if (f.positionJumps != 0) reasons.push_back(count("sample position jumps", f.positionJumps));
    if (f.positionErrors != 0) reasons.push_back(count("failed position queries", f.positionErrors));
    if (f.repeatedHalves != 0) reasons.push_back(count("halves delivered twice", f.repeatedHalves));
    if (f.switchesAfterStop != 0) reasons.push_back(count("buffer switches after stop", f.switchesAfterStop));
    // The driver sees a gap when a packet comes back before the next one
    // went to the device. On the simulator's real-time clock a packet comes
    // back as late as the simulator's clock thread runs, and one reported
    // late hides the gap behind it (as on a device that reported its
    // completions that late): after the whole process was held up, the unit
    // the streaming thread serves first often finds its other packet not yet
    // reported. So the counts are compared exactly on the virtual clock (the
    // engine's tests); here the driver must have seen that the staying units
    // lost frames, and told the host.
    uint64_t lost = 0, seen = 0;
    for (const StayerLoss& s : f.stayers) {
        lost += s.hardwareGaps;
        seen += s.driverGaps;
    }
    if (lost != 0 && seen == 0)
        reasons.push_back("the staying units lost frames " + std::to_string(lost) + " times, the driver saw none");
    if (lost != 0 && f.overloads == 0) reasons.push_back("units lost frames and the host was not told");
    if (f.threadsEnd > f.threadsStart)
        reasons.push_back(count("threads left behind", f.threadsEnd - f.threadsStart));
    if (f.handlesEnd > f.handlesStart)
        reasons.push_back(count("handles left open", f.handlesEnd - f.handlesStart));
    if (f.judgeMemory && f.residentMiddle != 0 && f.residentEnd > f.residentMiddle + kResidentGrowthSlack)
        reasons.push_back("resident memory grew by " + std::to_string((f.residentEnd - f.residentMiddle) >> 20) +
                          " MiB in the second half of the run");
    return reasons;
}

}  // namespace soak
