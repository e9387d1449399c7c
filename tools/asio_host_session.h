// What the console host asks of a loaded driver: a description checked
// for sense (channel counts, buffer sizes, rates, channel records), and one
// stream with a test tone on chosen outputs, the inputs recorded, and the
// buffer switches checked for timing, missed periods, sample-position
// continuity and callbacks after stop.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "driver/iasio.h"

namespace host {

struct ChannelDescription {
    int32_t channel = 0;
    bool isInput = false;
    bool isActive = false;
    ASIOSampleType type = 0;
    std::string name;
    // The driver answered the query and the type is one the host handles.
    bool usable = false;
};

struct DriverDescription {
    std::string name;
    int32_t version = 0;
    int32_t inputs = 0;
    int32_t outputs = 0;
    int32_t minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
    ASIOSampleRate rate = 0;
    int32_t inputLatency = 0, outputLatency = 0;
    std::vector<ChannelDescription> channels;
    // Answers that made no sense; each is one line for the user.
    std::vector<std::string> problems;
};

// Queries a driver after init. False when it cannot stream at all (no sane
// channel count, buffer size or rate); the reason is in problems.
bool describeDriver(IASIO* driver, DriverDescription* description);

struct StreamOptions {
    double seconds = 3.0;
    int32_t bufferSize = 0;        // 0: the driver's preferred size
    std::vector<int32_t> toneOutputs{0, 1};
    double frequency = 440.0;
    std::vector<int32_t> inputs;   // empty: every input
    bool recordInputs = false;
    bool timeInfo = true;          // the answer to kAsioSupportsTimeInfo
    // End the stream early when the driver asks for a reset, so that the
    // caller can re-create the driver as hosts do.
    bool stopOnReset = false;
    // Called about every 10 ms while the stream runs, on the thread that
    // started it (a soak changes the device bus from here).
    std::function<void()> whileStreaming;
};

struct StreamReport {
    bool streamed = false;
    std::string failure;           // why it did not stream
    bool endedByReset = false;     // stopOnReset ended it before its time
    double secondsStreamed = 0;
    int32_t bufferSize = 0;
    double rate = 0;
    uint64_t switches = 0;
    uint64_t expectedSwitches = 0;
    double minPeriodMs = 0, meanPeriodMs = 0, maxPeriodMs = 0, nominalPeriodMs = 0;
    double maxPeriodEndSeconds = 0;  // when the longest period ended, from the first switch
    uint64_t missedSwitches = 0;
    uint64_t positionJumps = 0;
    uint64_t positionErrors = 0;
    uint64_t repeatedHalves = 0;
    uint64_t switchesAfterStop = 0;
    uint64_t timeInfoSwitches = 0;
    uint32_t resetRequests = 0;
    uint32_t resyncRequests = 0;
    uint32_t latencyChanges = 0;
    uint32_t overloads = 0;
    // Recorded inputs: channel numbers and their samples, interleaved.
    std::vector<int32_t> recordedChannels;
    std::vector<ASIOSampleType> recordedTypes;
    std::vector<int32_t> samples;
    uint64_t recordedFrames = 0;
    uint64_t droppedFrames = 0;
    std::vector<std::string> problems;
};

// One stream: createBuffers, start, the given time, stop, disposeBuffers.
// One stream at a time per process (the host callbacks carry no context).
StreamReport runStream(IASIO* driver, const DriverDescription& description, const StreamOptions& options);

// Whether a finished stream was sound. A stream a reset request ended at
// once may have had no buffer switch yet.
bool streamWasSound(const StreamReport& report);

}  // namespace host
