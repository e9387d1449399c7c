// The ASIO driver interface as hosts call it: IUnknown's three slots, then
// 21 methods in this exact order. The methods use the compiler's default
// member convention (thiscall on 32-bit x86, which mingw's g++ also uses),
// so they are deliberately not stdcall. No virtual destructor: it would
// take slots and shift every method.
#pragma once

#include "driver/com.h"
#include "engine/asio.h"

class IASIO : public IUnknown {
public:
    virtual ASIOBool init(void* sysHandle) = 0;
    // 32 bytes.
    virtual void getDriverName(char* name) = 0;
    virtual int32_t getDriverVersion() = 0;
    // Hosts guarantee 124 bytes.
    virtual void getErrorMessage(char* text) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                    int32_t* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* rate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError setClockSource(int32_t reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(int32_t selector, void* options) = 0;
    virtual ASIOError outputReady() = 0;
};

// Sizes of the host's text buffers.
constexpr size_t kAsioDriverNameSize = 32;
constexpr size_t kAsioErrorMessageSize = 124;
