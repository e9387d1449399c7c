// The ASIO driver object a host receives from the class factory. It keeps
// the driver's state machine, the last error text and the buffer-size
// rules, and forwards everything that touches audio to the audio device it
// gets from its backend. A named auto-reset event ("<driver id>
// ConfigurationChanged") lets the settings dialog tell a running driver that
// settings changed; the worker thread watches it while buffers exist and
// asks the host to reset.
//
// Only one driver object of a process holds the audio device at a time:
// the hardware streams to one device. A second object may be created (hosts
// create a listing instance beside an open one), but its init fails with a
// clear error text until the first one is released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "brands/settings_store.h"
#include "driver/com_object.h"
#include "driver/iasio.h"
#include "platform/os.h"

class AudioDeviceIf;
class DriverBackendIf;
class Preferences;
class WorkerThread;

class WinAsio : public IASIO, public CUnknown {
public:
    enum State : int32_t { kConstructed = 0, kLoaded = 1, kInitialized = 2, kPrepared = 3, kRunning = 4 };

    static constexpr size_t kErrorTextSize = 128;
    static constexpr size_t kMaxControlPanelPath = 520;

    // The class factory's creation function: a driver object over the
    // registry backend and the user's settings; null when out of memory.
    static CUnknown* create(IUnknown* outer, HRESULT* result);

    // Takes ownership of the backend (null: it could not be made, which is
    // reported as E_OUTOFMEMORY like every other part that is missing).
    WinAsio(IUnknown* outer, HRESULT* result, DriverBackendIf* backend,
            SettingsStoreIf& settings = userSettingsStore());
    ~WinAsio() override;

    // IUnknown, forwarded to the owner.
    HRESULT KSASIO_COM_CALL QueryInterface(const GUID& iid, void** object) override;
    ULONG KSASIO_COM_CALL AddRef() override;
    ULONG KSASIO_COM_CALL Release() override;
    HRESULT KSASIO_COM_CALL NonDelegatingQueryInterface(const GUID& iid, void** object) override;

    // IASIO
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    int32_t getDriverVersion() override;
    void getErrorMessage(char* text) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getLatencies(int32_t* inputLatency, int32_t* outputLatency) override;
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate rate) override;
    ASIOError getSampleRate(ASIOSampleRate* rate) override;
    ASIOError setSampleRate(ASIOSampleRate rate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, int32_t* numSources) override;
    ASIOError setClockSource(int32_t reference) override;
    ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(int32_t selector, void* options) override;
    ASIOError outputReady() override;

    int32_t getState() const { return state_; }
    // Runs on the worker thread at every signal of the event while buffers exist.
    void configurationChanged();
    // Driver objects constructed in this process so far.
    static int32_t constructedCount();

protected:
    // The text getErrorMessage answers until the next failure sets another.
    void setErrorText(const char* text);
    // A host may let go of us from inside our own callbacks: its reset
    // request handler (on the worker thread) or its buffer switch (on the
    // device's streaming thread). Our destruction joins both threads, so it
    // then runs on a thread of its own; the host's buffer switches end at
    // once all the same.
    bool mayDestroyHere() override;

private:
    bool isInitialized();
    // Calls that wait for the streaming thread cannot come from inside the
    // host's buffer switch, which runs on it.
    bool refusedInCallback();
    uint32_t bufferSizeForStep(size_t step);
    uint32_t currentBufferSize();
    ASIOError checkSampleRate(ASIOSampleRate rate);

    std::atomic<int32_t> state_{kConstructed};
    DriverBackendIf* backend_ = nullptr;
    bool backendInitialized_ = false;
    Preferences* preferences_ = nullptr;
    AudioDeviceIf* device_ = nullptr;
    os::Handle configurationChangedEvent_ = nullptr;
    WorkerThread* worker_ = nullptr;
    char errorText_[kErrorTextSize] = {};
    // The size of the buffers that exist: hosts may ask for any size in range.
    uint32_t bufferSizeInUse_ = 0;
    // Held while a reset request goes to the host and while buffers go, so
    // the worker never calls a callback record the host has taken back.
    os::RecursiveMutex callbackLock_;
};
