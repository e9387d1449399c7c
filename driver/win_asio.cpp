#include "driver/win_asio.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/functor.h"
#include "base/worker_thread.h"
#include "brands/brand_asio.h"
#include "brands/preferences.h"
#include "driver/driver_backend.h"
#include "engine/audio_device.h"
#include "platform/trace.h"

namespace {

std::atomic<int32_t> constructedDrivers{0};
// The driver object that holds the process's audio device, if any.
std::atomic<WinAsio*> deviceHolder{nullptr};

const AsioBrandIf& brand() { return *AsioBrandIf::getActiveBrand(); }

constexpr int32_t kDriverVersion = 2;
// How long init waits for a driver object that a host released from inside
// our callbacks to finish going and free the device.
constexpr uint32_t kReleasedObjectWaitMs = 2000;

}  // namespace

int32_t WinAsio::constructedCount() { return constructedDrivers.load(); }

WinAsio::WinAsio(IUnknown* outer, HRESULT* result, DriverBackendIf* backend, SettingsStoreIf& settings)
    : CUnknown(AsioBrandIf::getActiveBrand() ? brand().getDriverId() : "", outer, result), backend_(backend) {
    TRACE("Reset #%i", static_cast<int>(++constructedDrivers));
    if (result != nullptr && !comSucceeded(*result)) {
        TRACE("Initialization of CUnknown failed");
        return;
    }
    bool complete = AsioBrandIf::getActiveBrand() != nullptr;
    if (complete) {
        char name[128];
        std::snprintf(name, sizeof(name), "%sConfigurationChanged", brand().getDriverId());
        configurationChangedEvent_ = os::createEvent(false, false, name);
        if (configurationChangedEvent_ == nullptr) {
            TRACE("Failed to create event");
            complete = false;
        }
    }
    if (complete) {
        worker_ = new (std::nothrow) WorkerThread();
        complete = worker_ != nullptr && worker_->isCreated();
    }
    if (complete) {
        preferences_ = new (std::nothrow) Preferences(settings);
        complete = preferences_ != nullptr;
    }
    if (complete) {
        complete = backend_ != nullptr && backend_->initialize();
        backendInitialized_ = complete;
    }
    if (!complete) {
        TRACE("Out of memory");
        if (result != nullptr) *result = kComOutOfMemory;
        return;
    }
    state_ = kLoaded;
}

WinAsio::~WinAsio() {
    stop();
    disposeBuffers();
    if (worker_ != nullptr) {
        worker_->stop();
        delete worker_;
    }
    if (configurationChangedEvent_ != nullptr) os::closeHandle(configurationChangedEvent_);
    if (device_ != nullptr) {
        backend_->releaseAudioDevice(device_);
        device_ = nullptr;
        WinAsio* self = this;
        deviceHolder.compare_exchange_strong(self, nullptr);
    }
    delete backend_;
    delete preferences_;
}

// ------------------------------------------------------------------ IUnknown

HRESULT KSASIO_COM_CALL WinAsio::QueryInterface(const GUID& iid, void** object) {
    return ownerQueryInterface(iid, object);
}

ULONG KSASIO_COM_CALL WinAsio::AddRef() { return ownerAddRef(); }

ULONG KSASIO_COM_CALL WinAsio::Release() { return ownerRelease(); }

HRESULT KSASIO_COM_CALL WinAsio::NonDelegatingQueryInterface(const GUID& iid, void** object) {
    GUID classId;
    if (object != nullptr && AsioBrandIf::getActiveBrand() != nullptr &&
        os::guidEquals(iid, *brand().getClassId(&classId))) {
        *object = static_cast<IASIO*>(this);
        AddRef();
        return kComOk;
    }
    return CUnknown::NonDelegatingQueryInterface(iid, object);
}

bool WinAsio::mayDestroyHere() {
    const bool streaming = device_ != nullptr && device_->onCallbackThread();
    const bool worker = worker_ != nullptr && worker_->isCurrentThread();
    if (!streaming && !worker) return true;
    TRACE("Released from inside a callback: destroyed on a thread of its own");
    // From the buffer switch the stream pauses once the callback returns;
    // from the worker thread it pauses now. No switch follows either way.
    if (state_ == kRunning) device_->stop();
    return false;
}

// ----------------------------------------------------------------- helpers

bool WinAsio::refusedInCallback() {
    if (device_ == nullptr || !device_->onCallbackThread()) return false;
    TRACE("Called from inside the buffer switch");
    setErrorText("Invalid mode");
    return true;
}

bool WinAsio::isInitialized() {
    if (device_ != nullptr) return true;
    setErrorText("Device not initialized");
    return false;
}

void WinAsio::setErrorText(const char* text) {
    std::snprintf(errorText_, sizeof(errorText_), "%s", text);
}

uint32_t WinAsio::bufferSizeForStep(size_t step) { return ::bufferSizeForStep(brand(), step, device_); }

uint32_t WinAsio::currentBufferSize() {
    if (state_ >= kPrepared && bufferSizeInUse_ != 0) return bufferSizeInUse_;
    return bufferSizeForStep(preferences_->getBufferSizeStep());
}

// Rates that are not a finite number above zero never reach arithmetic or
// the device.
ASIOError WinAsio::checkSampleRate(ASIOSampleRate rate) {
    if (!(std::isfinite(rate) && rate > 0.0)) {
        TRACE("Unsupported samplerate %.1f", rate);
        return ASE_NoClock;
    }
    if (rate < brand().getMinSampleRate() || rate > brand().getMaxSampleRate()) {
        TRACE("Unsupported samplerate %.1f", rate);
        return ASE_NoClock;
    }
    return device_->canSampleRate(rate);
}

// --------------------------------------------------------------------- IASIO

ASIOBool WinAsio::init(void* sysHandle) {
    TRACE_ENTER("WinAsio::init");
    (void)sysHandle;
    if (!backendInitialized_ || state_ != kLoaded) {
        TRACE("Invalid state");
        TRACE_LEAVE_INT("WinAsio::init", ASIOTrue);
        return ASIOTrue;
    }
    WinAsio* none = nullptr;
    bool holding = deviceHolder.compare_exchange_strong(none, this);
    // A host that re-creates us right after letting go of us from inside a
    // callback finds the old object still on its way out.
    if (!holding && com::pendingDestructions() != 0 && com::awaitDestructions(kReleasedObjectWaitMs)) {
        none = nullptr;
        holding = deviceHolder.compare_exchange_strong(none, this);
    }
    if (!holding) {
        setErrorText("The driver is in use by another driver object of this program");
        TRACE_LEAVE_INT("WinAsio::init", ASIOFalse);
        return ASIOFalse;
    }
    device_ = backend_->createAudioDevice();
    if (device_ == nullptr) {
        deviceHolder.store(nullptr);
        setErrorText("Failed to instantiate device");
        TRACE_LEAVE_INT("WinAsio::init", ASIOFalse);
        return ASIOFalse;
    }
    worker_->resume();
    state_ = kInitialized;
    TRACE_LEAVE_INT("WinAsio::init", ASIOTrue);
    return ASIOTrue;
}

void WinAsio::getDriverName(char* name) {
    if (name == nullptr) return;
    std::snprintf(name, kAsioDriverNameSize, "%s", brand().getAsioDriverName());
}

int32_t WinAsio::getDriverVersion() { return kDriverVersion; }

void WinAsio::getErrorMessage(char* text) {
    if (text == nullptr) return;
    // What keeps a controller from streaming (another program holds it) is
    // what the user can act on; the text of the driver's last failure
    // otherwise.
    char problem[kAsioErrorMessageSize];
    const bool unitProblem = device_ != nullptr && device_->getUnitProblem(problem, sizeof(problem));
    const char* source = unitProblem ? problem : errorText_;
    // Hosts guarantee 124 bytes, not the 128 the text is kept in.
    size_t i = 0;
    for (; i + 1 < kAsioErrorMessageSize && source[i] != '\0'; ++i) text[i] = source[i];
    text[i] = '\0';
}

ASIOError WinAsio::start() {
    TRACE_ENTER("WinAsio::start");
    ASIOError result = ASE_OK;
    if (refusedInCallback()) {
        result = ASE_InvalidMode;
    } else if (state_ == kPrepared) {
        result = device_->start();
        if (result == ASE_OK)
            state_ = kRunning;
        else
            TRACE("Failed to start");
    } else if (state_ != kRunning) {
        setErrorText("Invalid mode");
        result = ASE_InvalidMode;
    }
    TRACE_LEAVE_INT("WinAsio::start", result);
    return result;
}

ASIOError WinAsio::stop() {
    TRACE_ENTER("WinAsio::stop");
    ASIOError result = ASE_OK;
    if (state_ == kRunning && device_ != nullptr) {
        // A device that could not stop is still running.
        result = device_->stop();
        if (result == ASE_OK) state_ = kPrepared;
    }
    TRACE_LEAVE_INT("WinAsio::stop", result);
    return result;
}

ASIOError WinAsio::getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) {
    if (!isInitialized()) return ASE_NotPresent;
    if (numInputChannels == nullptr || numOutputChannels == nullptr) return ASE_InvalidParameter;
    return device_->getChannels(numInputChannels, numOutputChannels);
}

ASIOError WinAsio::getLatencies(int32_t* inputLatency, int32_t* outputLatency) {
    if (preferences_ == nullptr) {
        setErrorText("Device not initialized");
        return ASE_InvalidMode;
    }
    if (inputLatency == nullptr || outputLatency == nullptr) return ASE_InvalidParameter;
    // The device knows what it holds beyond the host's buffers (packets in
    // flight, converters); without one there is only the buffer itself.
    const int32_t size = static_cast<int32_t>(currentBufferSize());
    if (device_ != nullptr && device_->getLatencies(size, inputLatency, outputLatency) == ASE_OK) return ASE_OK;
    *inputLatency = size;
    *outputLatency = size;
    return ASE_OK;
}

ASIOError WinAsio::getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize, int32_t* granularity) {
    if (preferences_ == nullptr) {
        setErrorText("Device not initialized");
        return ASE_InvalidMode;
    }
    if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr)
        return ASE_InvalidParameter;
    const int32_t size = static_cast<int32_t>(bufferSizeForStep(preferences_->getBufferSizeStep()));
    *minSize = size;
    *maxSize = size;
    *preferredSize = size;
    *granularity = 0;
    return ASE_OK;
}

ASIOError WinAsio::canSampleRate(ASIOSampleRate rate) {
    if (device_ == nullptr) {
        setErrorText("Device not initialized");
        return ASE_NoClock;
    }
    return checkSampleRate(rate);
}

ASIOError WinAsio::getSampleRate(ASIOSampleRate* rate) {
    if (!isInitialized()) return ASE_NotPresent;
    if (rate == nullptr) return ASE_InvalidParameter;
    return device_->getSampleRate(rate);
}

ASIOError WinAsio::setSampleRate(ASIOSampleRate rate) {
    TRACE_ENTER("WinAsio::setSampleRate");
    if (!isInitialized()) return ASE_NotPresent;
    // A rate the driver would not offer is never reported as set.
    ASIOError result = checkSampleRate(rate);
    if (result == ASE_OK) result = device_->setSampleRate(rate);
    TRACE_LEAVE_INT("WinAsio::setSampleRate", result);
    return result;
}

ASIOError WinAsio::getClockSources(ASIOClockSource* clocks, int32_t* numSources) {
    if (clocks == nullptr || numSources == nullptr) return ASE_InvalidParameter;
    // Hosts pass an array of *numSources entries; there is room for ours
    // unless they said there is none.
    if (*numSources < 1) {
        *numSources = 1;
        return ASE_InvalidParameter;
    }
    std::memset(clocks, 0, sizeof(*clocks));
    clocks->index = 0;
    clocks->associatedChannel = -1;
    clocks->associatedGroup = -1;
    clocks->isCurrentSource = ASIOTrue;
    std::snprintf(clocks->name, sizeof(clocks->name), "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError WinAsio::setClockSource(int32_t reference) {
    if (reference == 0) return ASE_OK;
    setErrorText("Invalid index");
    return ASE_NotPresent;
}

ASIOError WinAsio::getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) {
    if (!isInitialized()) return ASE_NotPresent;
    if (samplePosition == nullptr || timeStamp == nullptr) return ASE_InvalidParameter;
    return device_->getSamplePosition(samplePosition, timeStamp);
}

ASIOError WinAsio::getChannelInfo(ASIOChannelInfo* info) {
    if (!isInitialized()) return ASE_NotPresent;
    if (info == nullptr) return ASE_InvalidParameter;
    ASIOError result = device_->getChannelInfo(info);
    if (result != ASE_OK) return result;
    brand().formatChannelName(info->name, sizeof(info->name), info->channel, info->isInput != ASIOFalse);
    return ASE_OK;
}

ASIOError WinAsio::createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                                 ASIOCallbacks* callbacks) {
    TRACE_ENTER("WinAsio::createBuffers");
    ASIOError result = ASE_OK;
    if (state_ == kLoaded) {
        setErrorText("Invalid mode");
        result = ASE_InvalidMode;
    } else if (state_ != kInitialized) {
        // Buffers exist already (or the object is incomplete): nothing changes.
    } else if (!isInitialized()) {
        result = ASE_NotPresent;
    } else if (bufferInfos == nullptr || numChannels <= 0 || callbacks == nullptr) {
        TRACE("Invalid parameters");
        result = ASE_InvalidParameter;
    } else {
        const uint32_t minimum = bufferSizeForStep(0);
        const uint32_t maximum = bufferSizeForStep(brand().getBufferSizeModel()->getNumberOfSteps() - 1);
        if (bufferSize < static_cast<int32_t>(minimum) || bufferSize > static_cast<int32_t>(maximum)) {
            TRACE("Invalid parameters");
            result = ASE_InvalidParameter;
        } else {
            result = device_->createBuffers(bufferInfos, numChannels, bufferSize, callbacks);
            if (result != ASE_OK) {
                TRACE("Failed to create buffers");
            } else {
                {
                    // Prepared before the watch starts, so that a signal
                    // already pending is delivered by its first run.
                    os::ScopedLock hold(callbackLock_);
                    bufferSizeInUse_ = static_cast<uint32_t>(bufferSize);
                    state_ = kPrepared;
                }
                auto* watch = new (std::nothrow) MemberFunctor<WinAsio>(this, &WinAsio::configurationChanged);
                if (watch == nullptr || !worker_->addWait(configurationChangedEvent_, watch))
                    TRACE("Failed to watch the configuration-changed event");
            }
        }
    }
    TRACE_LEAVE_INT("WinAsio::createBuffers", result);
    return result;
}

ASIOError WinAsio::disposeBuffers() {
    TRACE_ENTER("WinAsio::disposeBuffers");
    ASIOError result = ASE_OK;
    if (refusedInCallback()) {
        TRACE_LEAVE_INT("WinAsio::disposeBuffers", ASE_InvalidMode);
        return ASE_InvalidMode;
    }
    // A host that disposes without stopping takes its buffers back while the
    // stream still calls it: the stream is stopped first, so no switch
    // follows the return and the next createBuffers really creates buffers.
    if (state_ == kRunning && device_ != nullptr) stop();
    if (state_ == kPrepared && device_ != nullptr) {
        worker_->removeWait(configurationChangedEvent_);
        os::ScopedLock hold(callbackLock_);
        state_ = kInitialized;
        bufferSizeInUse_ = 0;
        result = device_->disposeBuffers();
    }
    TRACE_LEAVE_INT("WinAsio::disposeBuffers", result);
    return result;
}

void WinAsio::configurationChanged() {
    os::ScopedLock hold(callbackLock_);
    if (state_ < kPrepared) {
        // The watch is on its way out: disposeBuffers queued its removal
        // before leaving the prepared state, and the worker runs that queue
        // before it waits on this event again. Signal the event anew so the
        // change is not lost but reported by the next watch.
        os::setEvent(configurationChangedEvent_);
        return;
    }
    if (device_ == nullptr) return;
    ASIOCallbacks* callbacks = device_->getCallbacks();
    if (callbacks != nullptr && callbacks->asioMessage != nullptr)
        callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
}

ASIOError WinAsio::future(int32_t selector, void* options) {
    (void)options;
    if (selector == kAsioCanTimeInfo || selector == kAsioCanTimeCode) return ASE_SUCCESS;
    setErrorText("Not supported");
    return ASE_NotPresent;
}

ASIOError WinAsio::outputReady() { return device_ != nullptr ? device_->outputReady() : ASE_NotPresent; }
