// Writes the seed corpus of driver_call_fuzzer into the folder given: the
// call sequences of ordinary hosts and of the awkward ones, one file each
// (fuzz/driver_call_script.h describes the format).
#include <string>
#include <vector>

#include "fuzz/driver_call_script.h"
#include "fuzz/seed_files.h"

using namespace driverfuzz;
using fuzzseeds::writeSeed;

namespace {

// Inputs 0-1 and outputs 0-1 at a step size; the host takes time info.
std::vector<uint8_t> stereoBuffers(uint8_t sizeKind = 4) {
    return {4, 1, 0, 1, 1, 0, 0, 0, 1, sizeKind, kHostTakesTimeInfo | kHostGivesTimeInfo};
}

// What a host asks before it streams.
std::vector<uint8_t> listing() {
    std::vector<uint8_t> input;
    append(input, kInit);
    append(input, kDriverName);
    append(input, kVersion);
    append(input, kChannels);
    append(input, kBufferSize);
    append(input, kCanRate, {0});
    append(input, kCanRate, {1});
    append(input, kGetRate);
    append(input, kChannelInfo, {0, 1});
    append(input, kChannelInfo, {15, 0});
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder;
    if (!fuzzseeds::corpusFolder(argc, argv, &folder)) return 2;

    std::vector<uint8_t> plain = listing();
    append(plain, kPlug, {0});
    append(plain, kCreateBuffers, stereoBuffers());
    append(plain, kLatencies);
    append(plain, kStart);
    append(plain, kRunTime, {20});
    append(plain, kStop);
    append(plain, kDisposeBuffers);
    append(plain, kRelease);

    std::vector<uint8_t> hotPlug = listing();
    append(hotPlug, kCreateBuffers, stereoBuffers(8));
    hotPlug.push_back(0x10);
    hotPlug.push_back(0x01);
    append(hotPlug, kStart);
    append(hotPlug, kRunTime, {10});
    append(hotPlug, kPlug, {1});
    append(hotPlug, kRunTime, {10});
    append(hotPlug, kPlug, {2});
    append(hotPlug, kRunTime, {10});
    append(hotPlug, kPull, {0});
    append(hotPlug, kRunTime, {10});
    append(hotPlug, kSecondThread, {0});
    append(hotPlug, kSecondThread, {1});

    std::vector<uint8_t> inSwitch = listing();
    append(inSwitch, kPlug, {0});
    append(inSwitch, kCreateBuffers, stereoBuffers(1));
    append(inSwitch, kStart);
    append(inSwitch, kInSwitch, {kInSwitchPosition});
    append(inSwitch, kInSwitch, {kInSwitchDispose});
    append(inSwitch, kInSwitch, {kInSwitchStop});
    append(inSwitch, kStart);
    append(inSwitch, kInSwitch, {kInSwitchRelease});

    std::vector<uint8_t> awkward;
    append(awkward, kControlPanel);
    append(awkward, kStart);
    append(awkward, kCreateBuffers, stereoBuffers());
    append(awkward, kLatencies);
    append(awkward, kInit);
    append(awkward, kSetRate, {3});
    append(awkward, kSetRate, {4});
    append(awkward, kClockSources, {0});
    append(awkward, kSetClockSource, {1});
    append(awkward, kErrorMessage);
    append(awkward, kFuture, {9});
    append(awkward, kFuture, {10});
    append(awkward, kQueryInterface, {1});
    append(awkward, kAddReference);
    append(awkward, kCreateBuffers, {33, 1, 0});
    append(awkward, kCreateBuffers, {2, 1, 3, 1, 3, 4, 0});
    append(awkward, kCreateBuffers, {1, 0, 16, 4, 0});
    append(awkward, kCreateBuffers, {1, 0, 0, 3, 0});
    append(awkward, kCreateBuffers, {255, 4, 0});
    append(awkward, kCreateBuffers, {1, 0, 0, 4, kHostNoCallbacks});
    append(awkward, kCreateBuffers, {1, 0, 0, 4, 0});
    append(awkward, kStart);
    append(awkward, kRunTime, {5});
    append(awkward, kDisposeBuffers);
    append(awkward, kCreateBuffers, {1, 1, 0, 0, 0});
    append(awkward, kStart);
    append(awkward, kRelease);
    append(awkward, kRunTime, {5});
    append(awkward, kRelease);

    const bool ok = writeSeed(folder, "plain-stream", plain) && writeSeed(folder, "hot-plug", hotPlug) &&
                    writeSeed(folder, "inside-the-switch", inSwitch) && writeSeed(folder, "awkward-host", awkward);
    return ok ? 0 : 1;
}
