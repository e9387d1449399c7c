// The audio device behind the ASIO driver object. The driver forwards most
// host calls to it unchanged, so it speaks the ASIO records and error codes
// and the driver can pass host pointers straight through.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "brands/brand_asio.h"
#include "engine/asio.h"

// A device always offers 16 inputs and 16 outputs, numbered 0 to 15 in each
// direction, whatever hardware is attached; channels no unit feeds are silent.
constexpr int32_t kAsioInputChannels = 16;
constexpr int32_t kAsioOutputChannels = 16;
// Requested channels are indexed in one table: input n at n, output n at 16 + n.
constexpr int32_t kAsioChannelTableSize = kAsioInputChannels + kAsioOutputChannels;

constexpr bool isValidAsioChannel(int32_t channel, bool isInput) {
    return channel >= 0 && channel < (isInput ? kAsioInputChannels : kAsioOutputChannels);
}

// The table entry of a valid channel.
constexpr int32_t asioChannelTableIndex(int32_t channel, bool isInput) {
    return isInput ? channel : kAsioInputChannels + channel;
}

// No sample type for the bit depth.
constexpr ASIOSampleType kNoAsioSampleType = -1;

// The host sample type of a brand's sample width: 16 -> Int16LSB, 24 ->
// Int24LSB (packed), 32 -> Int32LSB; kNoAsioSampleType for any other width.
constexpr ASIOSampleType asioSampleTypeForBits(uint32_t bitsPerSample) {
    return bitsPerSample == 16   ? ASIOSTInt16LSB
           : bitsPerSample == 24 ? ASIOSTInt24LSB
           : bitsPerSample == 32 ? ASIOSTInt32LSB
                                 : kNoAsioSampleType;
}

class AudioDeviceIf {
public:
    // Releases everything the device holds.
    virtual ~AudioDeviceIf() = default;
    // The record passed to the last successful createBuffers, null while no buffers exist.
    virtual ASIOCallbacks* getCallbacks() = 0;
    // 16 and 16.
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    // Fills type, channelGroup (0) and isActive; the driver fills the name.
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    // ASE_OK when every attached unit can run at the rate, directly or by conversion.
    virtual ASIOError canSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* rate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate rate) = 0;
    // Allocates both halves of every channel, hands out those of the
    // requested ones, and starts the streaming thread paused. A failure
    // leaves no buffers and no thread.
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    // Resets the sample position and streams.
    virtual ASIOError start() = 0;
    // Returns once the streaming thread has paused. From inside the host's
    // buffer switch it cannot wait: the switch the host is in is then the
    // last one (ASE_InvalidMode when the stream cannot be told at once).
    virtual ASIOError stop() = 0;
    // Position and system time of the last buffer switch; callable from the buffer switch.
    virtual ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) = 0;
    virtual ASIOError outputReady() = 0;
    // What keeps an attached controller from streaming right now (another
    // program holds its pins, it cannot take the host's buffer size), as a
    // text for the host's error message; false when nothing does.
    virtual bool getUnitProblem(char* text, size_t size) {
        (void)text;
        (void)size;
        return false;
    }
    // Frames at the host rate that a sample spends in the device: input, from
    // its arrival at the hardware to the buffer switch that hands it to the
    // host; output, from the switch in which the host writes it to its first
    // playing. For the buffers that exist, else for buffers of bufferSize.
    virtual ASIOError getLatencies(int32_t bufferSize, int32_t* inputLatency, int32_t* outputLatency) = 0;
    // True on the thread that calls the host's buffer switch: the host is
    // calling from inside its callback.
    virtual bool onCallbackThread() const = 0;
};

// Room a unit problem's text may take: what hosts give getErrorMessage.
constexpr size_t kDeviceProblemTextSize = 124;

// The buffer size in samples of a buffer-length step, at the device's current
// rate when there is a device that reports a usable one (positive and
// finite), else at the brand's default rate.
inline uint32_t bufferSizeForStep(const AsioBrandIf& brand, size_t step, AudioDeviceIf* device) {
    double rate = brand.getDefaultSampleRate();
    ASIOSampleRate current = 0.0;
    if (device != nullptr && device->getSampleRate(&current) == ASE_OK && std::isfinite(current) && current > 0.0)
        rate = current;
    return bufferSizeForStep(*brand.getBufferSizeModel(), step, rate);
}
