// The records, codes and selectors of the ASIO driver interface, with the
// layout hosts were compiled against: every `long` of the interface is a
// 32-bit integer here (it is 32 bits on Windows, 64 on Linux), pointers are
// native width, and records are packed to 4 bytes. The static_asserts below
// pin the layout; a mismatch would be a crash or garbage in a real host.
//
// The driver interface itself and the COM types live with the driver.
#pragma once

#include <cstddef>
#include <cstdint>

using ASIOBool = int32_t;
constexpr ASIOBool ASIOFalse = 0;
constexpr ASIOBool ASIOTrue = 1;

using ASIOError = int32_t;
constexpr ASIOError ASE_OK = 0;
// Answered by future() for a selector the driver supports.
constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;
constexpr ASIOError ASE_NotPresent = -1000;
constexpr ASIOError ASE_HWMalfunction = -999;
constexpr ASIOError ASE_InvalidParameter = -998;
constexpr ASIOError ASE_InvalidMode = -997;
constexpr ASIOError ASE_SPNotAdvancing = -996;
constexpr ASIOError ASE_NoClock = -995;
constexpr ASIOError ASE_NoMemory = -994;

// Hz.
using ASIOSampleRate = double;

using ASIOSampleType = int32_t;
// Big-endian types.
constexpr ASIOSampleType ASIOSTInt16MSB = 0;
constexpr ASIOSampleType ASIOSTInt24MSB = 1;
constexpr ASIOSampleType ASIOSTInt32MSB = 2;
constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
constexpr ASIOSampleType ASIOSTInt32MSB16 = 8;
constexpr ASIOSampleType ASIOSTInt32MSB18 = 9;
constexpr ASIOSampleType ASIOSTInt32MSB20 = 10;
constexpr ASIOSampleType ASIOSTInt32MSB24 = 11;
// Little-endian types: the big-endian value plus 16.
constexpr ASIOSampleType ASIOSTInt16LSB = 16;
// Three bytes per sample, no padding.
constexpr ASIOSampleType ASIOSTInt24LSB = 17;
constexpr ASIOSampleType ASIOSTInt32LSB = 18;
constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
// 32-bit containers holding 16, 18, 20 or 24 significant bits.
constexpr ASIOSampleType ASIOSTInt32LSB16 = 24;
constexpr ASIOSampleType ASIOSTInt32LSB18 = 25;
constexpr ASIOSampleType ASIOSTInt32LSB20 = 26;
constexpr ASIOSampleType ASIOSTInt32LSB24 = 27;

#pragma pack(push, 4)

// A 64-bit count as two 32-bit halves, high half first in memory.
struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};

// Nanoseconds of system time, split like ASIOSamples.
struct ASIOTimeStamp {
    uint32_t hi;
    uint32_t lo;
};

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;
    int32_t associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    int32_t channel;        // in
    ASIOBool isInput;       // in
    ASIOBool isActive;      // out
    int32_t channelGroup;   // out
    ASIOSampleType type;    // out
    char name[32];          // out
};

struct ASIOBufferInfo {
    ASIOBool isInput;   // in
    int32_t channelNum; // in
    void* buffers[2];   // out: buffer halves 0 and 1
};

// Flags of AsioTimeInfo.
constexpr uint32_t kAsioSystemTimeValid = 0x1;
constexpr uint32_t kAsioSamplePositionValid = 0x2;
constexpr uint32_t kAsioSampleRateValid = 0x4;
constexpr uint32_t kAsioSpeedValid = 0x8;
constexpr uint32_t kAsioSampleRateChanged = 0x10;
constexpr uint32_t kAsioClockSourceChanged = 0x20;

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};

// Flags of ASIOTimeCode.
constexpr uint32_t kAsioTimeCodeValid = 0x1;
constexpr uint32_t kAsioTimeCodeRunning = 0x2;
constexpr uint32_t kAsioTimeCodeReverse = 0x4;
constexpr uint32_t kAsioTimeCodeOnSpeed = 0x8;
constexpr uint32_t kAsioTimeCodeStill = 0x10;
constexpr uint32_t kAsioTimeCodeSpeedValid = 0x100;

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};

struct ASIOTime {
    int32_t reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

// The host's entry points, plain C calling convention.
struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

// Selectors of the host's asioMessage.
constexpr int32_t kAsioSelectorSupported = 1;
constexpr int32_t kAsioEngineVersion = 2;
constexpr int32_t kAsioResetRequest = 3;
constexpr int32_t kAsioBufferSizeChange = 4;
constexpr int32_t kAsioResyncRequest = 5;
constexpr int32_t kAsioLatenciesChanged = 6;
constexpr int32_t kAsioSupportsTimeInfo = 7;
constexpr int32_t kAsioSupportsTimeCode = 8;
constexpr int32_t kAsioMMCCommand = 9;
constexpr int32_t kAsioSupportsInputMonitor = 10;
constexpr int32_t kAsioSupportsInputGain = 11;
constexpr int32_t kAsioSupportsInputMeter = 12;
constexpr int32_t kAsioSupportsOutputGain = 13;
constexpr int32_t kAsioSupportsOutputMeter = 14;
constexpr int32_t kAsioOverload = 15;

// Selectors of the driver's future().
constexpr int32_t kAsioEnableTimeCodeRead = 1;
constexpr int32_t kAsioDisableTimeCodeRead = 2;
constexpr int32_t kAsioSetInputMonitor = 3;
constexpr int32_t kAsioTransport = 4;
constexpr int32_t kAsioSetInputGain = 5;
constexpr int32_t kAsioGetInputMeter = 6;
constexpr int32_t kAsioSetOutputGain = 7;
constexpr int32_t kAsioGetOutputMeter = 8;
constexpr int32_t kAsioCanInputMonitor = 9;
constexpr int32_t kAsioCanTimeInfo = 10;
constexpr int32_t kAsioCanTimeCode = 11;
constexpr int32_t kAsioCanTransport = 12;
constexpr int32_t kAsioCanInputGain = 13;
constexpr int32_t kAsioCanInputMeter = 14;
constexpr int32_t kAsioCanOutputGain = 15;
constexpr int32_t kAsioCanOutputMeter = 16;
constexpr int32_t kAsioSetIoFormat = 0x23111961;
constexpr int32_t kAsioGetIoFormat = 0x23111983;
constexpr int32_t kAsioCanDoIoFormat = 0x23112004;
constexpr int32_t kAsioCanReportOverload = 0x24042012;
constexpr int32_t kAsioGetInternalBufferSamples = 0x25042012;

// The 64-bit count of an ASIOSamples or ASIOTimeStamp record.
template <typename HalvesRecord>
constexpr uint64_t asioToUint64(const HalvesRecord& record) {
    return (static_cast<uint64_t>(record.hi) << 32) | record.lo;
}
template <typename HalvesRecord>
constexpr HalvesRecord asioFromUint64(uint64_t value) {
    return HalvesRecord{static_cast<uint32_t>(value >> 32), static_cast<uint32_t>(value)};
}

// The layout hosts rely on.
static_assert(sizeof(ASIOBool) == 4 && sizeof(ASIOError) == 4 && sizeof(ASIOSampleType) == 4, "32-bit scalars");
static_assert(sizeof(ASIOSamples) == 8 && offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4,
              "ASIOSamples layout");
static_assert(sizeof(ASIOTimeStamp) == 8 && offsetof(ASIOTimeStamp, hi) == 0 && offsetof(ASIOTimeStamp, lo) == 4,
              "ASIOTimeStamp layout");
static_assert(sizeof(ASIOClockSource) == 48, "ASIOClockSource size");
static_assert(offsetof(ASIOClockSource, associatedChannel) == 4 && offsetof(ASIOClockSource, associatedGroup) == 8 &&
                  offsetof(ASIOClockSource, isCurrentSource) == 12 && offsetof(ASIOClockSource, name) == 16,
              "ASIOClockSource offsets");
static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo size");
static_assert(offsetof(ASIOChannelInfo, isInput) == 4 && offsetof(ASIOChannelInfo, isActive) == 8 &&
                  offsetof(ASIOChannelInfo, channelGroup) == 12 && offsetof(ASIOChannelInfo, type) == 16 &&
                  offsetof(ASIOChannelInfo, name) == 20,
              "ASIOChannelInfo offsets");
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4 && offsetof(ASIOBufferInfo, buffers) == 8,
              "ASIOBufferInfo offsets");
static_assert(sizeof(AsioTimeInfo) == 48, "AsioTimeInfo size");
static_assert(offsetof(AsioTimeInfo, systemTime) == 8 && offsetof(AsioTimeInfo, samplePosition) == 16 &&
                  offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32 &&
                  offsetof(AsioTimeInfo, reserved) == 36,
              "AsioTimeInfo offsets");
static_assert(sizeof(ASIOTimeCode) == 84, "ASIOTimeCode size (4-byte packing)");
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8 && offsetof(ASIOTimeCode, flags) == 16 &&
                  offsetof(ASIOTimeCode, future) == 20,
              "ASIOTimeCode offsets");
static_assert(sizeof(ASIOTime) == 148, "ASIOTime size (4-byte packing)");
static_assert(offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64, "ASIOTime offsets");
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == sizeof(void*) &&
                  offsetof(ASIOCallbacks, asioMessage) == 2 * sizeof(void*) &&
                  offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == 3 * sizeof(void*),
              "ASIOCallbacks order");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(ASIOBufferInfo) == 16, "ASIOBufferInfo size (x86)");
static_assert(sizeof(ASIOCallbacks) == 16, "ASIOCallbacks size (x86)");
#else
static_assert(sizeof(ASIOBufferInfo) == 24, "ASIOBufferInfo size (x64)");
static_assert(sizeof(ASIOCallbacks) == 32, "ASIOCallbacks size (x64)");
#endif
