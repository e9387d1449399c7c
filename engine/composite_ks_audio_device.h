// The one audio device behind the driver: every attached controller as part
// of one ASIO device with 16 inputs and 16 outputs.
//
// The device owns its units (render and capture sides of the connected
// controllers) and the ASIO buffers. From createBuffers to disposeBuffers a
// time-critical streaming thread (engine/composite_stream.h) waits for the
// units' packet completions, lets each unit move its packet, mixes the
// captured audio into the host's inputs and calls the host's buffer switch;
// with no unit streaming it keeps the host going on a simulated clock.
//
// Threads and locking:
// - Host threads call the AudioDeviceIf operations; the device registry's
//   polling thread (and the registering thread) deliver device events.
//   Both take the control lock, which guards the unit list, the stream's
//   existence and the rate outside the streaming thread. So a device event
//   that arrives while a stream is torn down waits for the tear-down and is
//   then applied to the unit list directly: never lost, never waiting for a
//   thread that has gone.
// - While a stream exists only the streaming thread changes the unit lists;
//   a device event is handed to it as a command and waited for. Calls the
//   host makes from inside its buffer switch (on the streaming thread) take
//   no lock, since that thread is the only writer then.
// - The streaming thread takes no lock at all: the real-time path
//   allocates nothing and waits only in its one wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/vector.h"
#include "devices/device_info.h"
#include "engine/audio_device.h"
#include "engine/composite_buffers.h"
#include "engine/composite_clock.h"
#include "engine/composite_commands.h"
#include "engine/composite_unit.h"
#include "engine/crystal_memory.h"
#include "platform/device.h"
#include "platform/os.h"

class DeviceRegistry;
class CompositeStream;
class CompositeDrift;
class DriftObserverIf;

class CompositeKsAudioDevice final : public AudioDeviceIf,
                                     public DeviceInfo::EventHandlerIf,
                                     private os::DeviceNoticeSinkIf {
public:
    // Units that stream at once; the wait list has room for each one's event.
    static constexpr uint32_t kMaxActiveUnits = 16;

    // Registers with the registry as a device-event handler, which turns the
    // connected controllers into units at once. *result is S_OK, or E_FAIL
    // when the command objects could not be made (the device must then be
    // deleted). The clock is the system's unless a simulation gives another;
    // it must outlive the device. The registry may be null (no controllers).
    CompositeKsAudioDevice(DeviceRegistry* registry, HRESULT* result, CompositeClockIf* clock = nullptr);
    // Unregisters, then ends any stream and deletes every unit.
    ~CompositeKsAudioDevice() override;
    CompositeKsAudioDevice(const CompositeKsAudioDevice&) = delete;
    CompositeKsAudioDevice& operator=(const CompositeKsAudioDevice&) = delete;

    // AudioDeviceIf
    ASIOCallbacks* getCallbacks() override;
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError canSampleRate(ASIOSampleRate rate) override;
    ASIOError getSampleRate(ASIOSampleRate* rate) override;
    ASIOError setSampleRate(ASIOSampleRate rate) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels, int32_t bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getSamplePosition(ASIOSamples* samplePosition, ASIOTimeStamp* timeStamp) override;
    ASIOError outputReady() override;
    bool getUnitProblem(char* text, size_t size) override;
    ASIOError getLatencies(int32_t bufferSize, int32_t* inputLatency, int32_t* outputLatency) override;
    bool onCallbackThread() const override;

    // DeviceInfo::EventHandlerIf: a connected controller becomes units, a
    // disconnected one loses them (spliced into or out of a running stream).
    void deviceStateChanged(DeviceInfo* record, int32_t newState, int32_t oldState) override;
    // After each pass: units that could not open, or that left the stream
    // because their device failed it, are opened again.
    void devicesEnumerated() override;

    // Takes ownership of the unit: appended to the units, and spliced into a
    // running stream when it serves a requested channel.
    void addDevice(CompositeUnit* unit);
    // Removes (and deletes) the unit that wraps the KS filter, if any.
    void removeDevice(CKsAudFilter* ksFilter);

    // What a test or the demo may look at: the units attached, and whether a
    // streaming thread is alive (it ends at disposeBuffers or after a failed wait).
    size_t getNumberOfUnits() const;
    bool hasStream() const;
    // What the record's unit of that direction has lost while it streamed
    // (all zero when it has no unit); see UnitGaps.
    UnitGaps getUnitGaps(const DeviceInfo* record, bool input) const;
    // Clock-drift correction (engine/composite_drift.h): an observer that
    // sees every follower's measurement on the streaming thread (tests and
    // benchmarks; null for none), and the realignments by whole frames made
    // where they could be heard, since the device was made.
    void setDriftObserver(DriftObserverIf* observer) { driftObserver_.store(observer); }
    // The correction is on unless switched off here (before createBuffers;
    // a program that needs every controller bit for bit, whatever their
    // clocks do): then no unit is ever converted for drift.
    void setDriftCorrection(bool on) { driftCorrection_.store(on); }
    bool driftCorrection() const { return driftCorrection_.load(); }
    uint64_t driftRealignments() const { return driftRealignments_.load(); }

private:
    friend class CompositeStream;
    friend class CompositeDrift;

    // Holds the control lock unless the caller is the streaming thread.
    class ControlGuard {
    public:
        explicit ControlGuard(const CompositeKsAudioDevice& device);
        ~ControlGuard();
        ControlGuard(const ControlGuard&) = delete;
        ControlGuard& operator=(const ControlGuard&) = delete;

    private:
        const CompositeKsAudioDevice& device_;
        bool locked_;
    };

    // The converters' delays that getLatencies adds, in host frames: the
    // slowest of each direction among the units attached. Under the lock.
    struct ConversionDelays {
        uint32_t input = 0;
        uint32_t output = 0;
        bool operator!=(const ConversionDelays& o) const { return input != o.input || output != o.output; }
    };
    ConversionDelays conversionDelays() const;
    // Around a change of the units attached: when it changed what
    // getLatencies reports to a host with buffers, the host hears of it
    // (kAsioLatenciesChanged) at the next switch.
    class LatencyWatch {
    public:
        explicit LatencyWatch(CompositeKsAudioDevice& device)
            : device_(device), before_(device.conversionDelays()) {}
        ~LatencyWatch();
        LatencyWatch(const LatencyWatch&) = delete;
        LatencyWatch& operator=(const LatencyWatch&) = delete;

    private:
        CompositeKsAudioDevice& device_;
        ConversionDelays before_;
    };

    static bool isUsableRate(double rate);
    bool onStreamingThread() const;
    ASIOError applySampleRate(double rate);
    ASIOError prepareUnits();
    // A unit whose buffers were refused because its device wants larger
    // packets than the host's buffer makes: the problem text says so.
    bool refusedForFraming(const CompositeUnit& unit);
    void disposeUnitBuffers(size_t count);
    void releaseStreamResources();
    void endStream();
    void deleteUnits();
    // On the thread that adds a unit to a running stream, everything that
    // may take a while: the rate (a format search, maybe a new pin), the
    // buffers, the pin in pause. False when the unit does not stream now.
    bool prepareToJoin(CompositeUnit& unit);
    void connectRecord(DeviceInfo* record);
    void disconnectRecord(DeviceInfo* record);
    // Opens a record's unit of one direction, keeping a problem text when
    // another program holds its pins.
    CompositeUnit* openUnit(AsioDeviceInfo* record, bool input);
    CompositeUnit* findUnit(const DeviceInfo* record, bool input) const;
    // Opens again the routed units of available records that are missing
    // or have failed. With the registry's lock and the control lock held.
    void retryUnits();
    void setProblem(const DeviceInfo* record, bool input, const char* what);
    void clearProblem(const DeviceInfo* record, bool input);
    void clearProblems(const DeviceInfo* record);

    // os::DeviceNoticeSinkIf: query-remove, its failure and removals of the
    // units' devices (engine/composite_device_notices.cpp).
    void deviceNotice(uint64_t cookie, os::DeviceNotice notice) override;
    void handleDeviceNotice(uint64_t cookie, os::DeviceNotice notice);
    void closeUnitForRemoval(CompositeUnit* unit);
    bool heldForRemoval(const DeviceInfo* record, bool input) const;
    // Ends the watches kept for pending removals of the cookie's unit, or
    // of every unit of the record.
    void releaseHeld(uint64_t cookie, const DeviceInfo* record);
    void releaseHeldAll();
    // Ends every watch and waits for notices under way; without the lock.
    void stopWatchingDevices();
    static uint32_t threadEntry(void* device);

    DeviceRegistry* registry_;
    CompositeClockIf& clock_;
    const uint8_t sampleBits_;
    mutable os::RecursiveMutex control_;

    Vector<CompositeUnit*> units_;
    Vector<CompositeUnit*> active_;
    bool requested_[kAsioChannelTableSize] = {};
    CompositeBuffers buffers_;
    ASIOCallbacks* callbacks_ = nullptr;
    bool timeInfoMode_ = false;
    // The host takes kAsioOverload (asked with kAsioSelectorSupported).
    bool overloadMessages_ = false;
    // The host takes kAsioLatenciesChanged, and one is due at the next switch.
    bool latencyMessages_ = false;
    std::atomic<bool> latenciesChanged_{false};
    // Handed to bufferSwitchTimeInfo; written by the streaming thread only
    // while a stream exists.
    ASIOTime timeInfo_;
    int32_t channelCount_ = 0;
    bool rateApplied_ = false;
    std::atomic<double> rate_;
    // Time-info flags (rate changed) for the next buffer switch.
    std::atomic<uint32_t> pendingTimeFlags_{0};

    // Position and system time of the last buffer switch, written by the
    // streaming thread and read from any thread without a lock: readers
    // retry while the sequence count is odd or has moved.
    std::atomic<uint32_t> switchSequence_{0};
    std::atomic<uint64_t> samplePosition_{0};
    std::atomic<uint64_t> systemTime_{0};

    std::atomic<DriftObserverIf*> driftObserver_{nullptr};
    std::atomic<bool> driftCorrection_{true};
    std::atomic<uint64_t> driftRealignments_{0};
    // The crystals of the controllers that streamed, for the driver's life:
    // the streaming thread's alone (one runs at a time).
    CrystalMemory crystals_;

    CompositeCommands commands_;
    os::Handle thread_ = nullptr;
    std::atomic<uint32_t> threadId_{0};
    CompositeUnit* pendingUnit_ = nullptr;
    bool pendingReady_ = false;  // prepared to join
    CKsAudFilter* pendingKsFilter_ = nullptr;
    // The unit the streaming thread took out of the lists for a removal,
    // for the removing thread to delete.
    CompositeUnit* removedUnit_ = nullptr;

    // The latest reason an attached controller does not stream; guarded by
    // the control lock. The record is compared, never followed.
    struct UnitProblem {
        const DeviceInfo* record = nullptr;
        bool input = false;
        char text[kDeviceProblemTextSize] = {};
    };
    UnitProblem problem_;

    // Units closed for a removal the system asked for, until it happens or
    // is called off; their watches outlive them. Guarded by the control lock.
    struct HeldUnit {
        uint64_t cookie;
        os::DeviceWatch watch;
        AsioDeviceInfo* record;
        bool input;
    };
    std::vector<HeldUnit> heldForRemoval_;
    uint64_t nextCookie_ = 1;
};
