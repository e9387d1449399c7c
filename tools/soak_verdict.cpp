#include "tools/soak_verdict.h"

namespace soak {
namespace {

std::string count(const char* what, uint64_t n) { return std::to_string(n) + " " + what; }

}  // namespace

std::vector<std::string> unsoundReasons(const Figures& f) {
    std::vector<std::string> reasons = f.streamProblems;
    if (!f.streamed || f.switches == 0) reasons.push_back("the stream did not run");
    // A stall armed on a unit holds a half up to the stall limit: switches
    // come later then, but never fewer than half of what the time allows
    // while the stream lives.
    if (f.streamed && f.switches * 2 < f.expectedSwitches)
        reasons.push_back(count("buffer switches", f.switches) + ", fewer than half of the " +
                          std::to_string(f.expectedSwitches) + " expected");
    // The host's own view: the sample position must move by one buffer at
    // every switch, whatever came and went.
    if (f.missedSwitches != 0) reasons.push_back(count("missed buffer switches", f.missedSwitches));
    if (f.positionJumps != 0) reasons.push_back(count("sample position jumps", f.positionJumps));
    if (f.positionErrors != 0) reasons.push_back(count("failed position queries", f.positionErrors));
    if (f.repeatedHalves != 0) reasons.push_back(count("halves delivered twice", f.repeatedHalves));
    if (f.switchesAfterStop != 0) reasons.push_back(count("buffer switches after stop", f.switchesAfterStop));
    for (const StayerLoss& s : f.stayers) {
        // The driver dates a gap from when the other packet ended, which it
        // knows exactly only when it was waiting for that packet; otherwise
        // from an estimate that may end late, but never by more than a
        // packet. So it may count a gap short (a short one not at all), by
        // a packet's frames at most.
        if (s.driverFrames + s.hardwareGaps * f.packetFrames < s.hardwareFrames)
            reasons.push_back(s.unit + ": the hardware lost " + std::to_string(s.hardwareFrames) +
                              " frames, the driver counted " + std::to_string(s.driverFrames));
    }
    uint64_t lost = 0;
    for (const StayerLoss& s : f.stayers) lost += s.hardwareFrames;
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
