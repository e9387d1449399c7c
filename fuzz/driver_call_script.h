// The input format of the driver call-sequence fuzzer, shared by the fuzzer
// and the seed generator: one call after another, each an operation byte
// (taken modulo kOperations) and its argument bytes. An input that runs out
// reads zeros.
//
//   init, driver name, version, error message, start, stop, channels,
//   latencies, buffer size, get rate, output ready, control panel,
//   sample position, add reference, release        no arguments
//   can rate, set rate          rate: a byte below 8 picks a table entry
//                               (kRates), any other is followed by 8 bytes
//                               of a double
//   clock sources               1 byte: room the host says it has (signed)
//   set clock source            1 byte (signed)
//   channel info                1 byte channel (signed), 1 byte isInput
//   create buffers              1 byte count (255: no array), count times
//                               (1 byte isInput, 1 byte channel, signed),
//                               1 byte size kind (kSizes; 7: 4 bytes of a
//                               size; above: 2 bytes into the allowed
//                               range), 1 byte host flags (kHost...)
//   future                      1 byte: a selector of kSelectors, 255: 4
//                               bytes of a selector
//   query interface             1 byte: 0 IUnknown, 1 the class, 2 the
//                               class factory, 3 no out pointer
//   let time run                1 byte: milliseconds of virtual time
//   plug a unit                 1 byte: bit 0 its 8 out / 2 in layout,
//                               bit 1 loopback
//   pull a unit                 1 byte: which of those plugged
//   from a second thread        1 byte: 0 stop, 1 disposeBuffers, while
//                               time runs on the first
//   inside the buffer switch    1 byte: what the host does in its next
//                               switch (kInSwitch...), while time runs
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace driverfuzz {

enum Operation : uint8_t {
    kInit,
    kDriverName,
    kVersion,
    kErrorMessage,
    kStart,
    kStop,
    kChannels,
    kLatencies,
    kBufferSize,
    kCanRate,
    kGetRate,
    kSetRate,
    kClockSources,
    kSetClockSource,
    kSamplePosition,
    kChannelInfo,
    kCreateBuffers,
    kDisposeBuffers,
    kControlPanel,
    kFuture,
    kOutputReady,
    kQueryInterface,
    kAddReference,
    kRelease,
    kRunTime,
    kPlug,
    kPull,
    kSecondThread,
    kInSwitch,
    kOperations
};

constexpr double kRates[8] = {44100.0, 48000.0, 0.0, -44100.0, std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(), 1e300, 4.9e-324};

// Size kinds of create buffers: the step sizes at both ends, one either side
// of the range, a step in between, nonsense.
constexpr int32_t kSizes[7] = {89, 1764, 88, 1765, 265, 0, -1};
constexpr uint8_t kSizeRaw = 7;
constexpr int32_t kMinBuffer = 89;
constexpr int32_t kMaxBuffer = 1764;

constexpr int32_t kSelectors[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                  0x23111961, 0x23111983, 0x23112004, 0x24042012, 0x25042012};

// Host flags of create buffers.
constexpr uint8_t kHostNoCallbacks = 0x01;
constexpr uint8_t kHostTakesTimeInfo = 0x02;   // answers kAsioSupportsTimeInfo with yes
constexpr uint8_t kHostGivesTimeInfo = 0x04;   // provides bufferSwitchTimeInfo

enum InSwitch : uint8_t {
    kInSwitchStop,
    kInSwitchPosition,
    kInSwitchOutputReady,
    kInSwitchRelease,
    kInSwitchDispose,
    kInSwitchStart,
    kInSwitchLatencies,
    kInSwitchActions
};

// Appends one operation and its argument bytes, for seeds.
inline void append(std::vector<uint8_t>& input, Operation operation, std::vector<uint8_t> arguments = {}) {
    input.push_back(operation);
    input.insert(input.end(), arguments.begin(), arguments.end());
}

}  // namespace driverfuzz
