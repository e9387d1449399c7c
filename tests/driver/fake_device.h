// A scriptable audio device and backend under the driver object, so that
// its state machine is checked without discovery or streaming. Every call
// is logged by name; results are set per operation.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/driver_backend.h"
#include "engine/audio_device.h"
#include "platform/os.h"

struct FakeDeviceScript {
    std::mutex lock;
    std::vector<std::string> calls;
    ASIOSampleRate rate = 44100.0;
    ASIOError getSampleRateResult = ASE_OK;
    ASIOError canSampleRateResult = ASE_OK;
    ASIOError createBuffersResult = ASE_OK;
    ASIOError startResult = ASE_OK;
    ASIOError stopResult = ASE_OK;
    bool failCreation = false;
    bool failInitialize = false;
    std::string unitProblem;  // what getUnitProblem answers; empty: none
    int devicesAlive = 0;
    ASIOCallbacks* callbacks = nullptr;
    // What the device holds beyond the host's buffer, per direction.
    int32_t inputExtra = 0;
    int32_t outputExtra = 0;
    // The thread that plays the device's streaming thread, if any.
    std::atomic<uint32_t> callbackThread{0};

    void log(const std::string& call) {
        std::lock_guard<std::mutex> hold(lock);
        calls.push_back(call);
    }
    size_t count(const std::string& call) {
        std::lock_guard<std::mutex> hold(lock);
        size_t n = 0;
        for (const std::string& c : calls) n += c == call;
        return n;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> hold(lock);
        return calls;
    }
};

class FakeAudioDevice final : public AudioDeviceIf {
public:
    explicit FakeAudioDevice(std::shared_ptr<FakeDeviceScript> script) : script_(std::move(script)) {
        script_->devicesAlive++;
    }
    ~FakeAudioDevice() override {
        script_->log("destroyed");
        script_->devicesAlive--;
    }
    ASIOCallbacks* getCallbacks() override { return script_->callbacks; }
    ASIOError getChannels(int32_t* inputs, int32_t* outputs) override {
        script_->log("getChannels");
        *inputs = kAsioInputChannels;
        *outputs = kAsioOutputChannels;
        return ASE_OK;
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        script_->log("getChannelInfo");
        if (!isValidAsioChannel(info->channel, info->isInput != ASIOFalse)) return ASE_InvalidParameter;
        info->isActive = ASIOFalse;
        info->channelGroup = 0;
        info->type = ASIOSTInt16LSB;
        return ASE_OK;
    }
    ASIOError canSampleRate(ASIOSampleRate) override {
        script_->log("canSampleRate");
        return script_->canSampleRateResult;
    }
    ASIOError getSampleRate(ASIOSampleRate* rate) override {
        *rate = script_->rate;
        return script_->getSampleRateResult;
    }
    ASIOError setSampleRate(ASIOSampleRate rate) override {
        script_->log("setSampleRate");
        script_->rate = rate;
        return ASE_OK;
    }
    ASIOError createBuffers(ASIOBufferInfo*, int32_t, int32_t, ASIOCallbacks* callbacks) override {
        script_->log("createBuffers");
        if (script_->createBuffersResult == ASE_OK) script_->callbacks = callbacks;
        return script_->createBuffersResult;
    }
    ASIOError disposeBuffers() override {
        script_->log("disposeBuffers");
        script_->callbacks = nullptr;
        return ASE_OK;
    }
    ASIOError start() override {
        script_->log("start");
        return script_->startResult;
    }
    ASIOError stop() override {
        script_->log("stop");
        return script_->stopResult;
    }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_OK; }
    ASIOError outputReady() override { return ASE_NotPresent; }
    bool getUnitProblem(char* text, size_t size) override {
        if (script_->unitProblem.empty()) return false;
        std::snprintf(text, size, "%s", script_->unitProblem.c_str());
        return true;
    }
    ASIOError getLatencies(int32_t bufferSize, int32_t* input, int32_t* output) override {
        *input = bufferSize + script_->inputExtra;
        *output = bufferSize + script_->outputExtra;
        return ASE_OK;
    }
    bool onCallbackThread() const override {
        const uint32_t id = script_->callbackThread.load();
        return id != 0 && id == os::currentThreadId();
    }

private:
    std::shared_ptr<FakeDeviceScript> script_;
};

class FakeBackend final : public DriverBackendIf {
public:
    explicit FakeBackend(std::shared_ptr<FakeDeviceScript> script) : script_(std::move(script)) {}
    bool initialize() override { return !script_->failInitialize; }
    AudioDeviceIf* createAudioDevice() override {
        script_->log("createAudioDevice");
        return script_->failCreation ? nullptr : new FakeAudioDevice(script_);
    }
    void releaseAudioDevice(AudioDeviceIf* device) override {
        script_->log("releaseAudioDevice");
        delete device;
    }

private:
    std::shared_ptr<FakeDeviceScript> script_;
};
