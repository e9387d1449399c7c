// One unit of the composite device: the render or the capture side of one
// attached controller, as a KS audio filter together with the routing view
// of the controller's ASIO device record that the filter reads.
//
// The record outlives the unit: the device registry announces a
// disconnection (and the composite device deletes the unit) before it
// deletes the record's KS filters, and never deletes an available record.
#pragma once

#include <atomic>
#include <cstdint>

#include "brands/asio_device_info.h"
#include "engine/gap_meter.h"
#include "engine/drift_loop.h"
#include "engine/ks_audio_filter.h"
#include "engine/unit_routing.h"
#include "platform/device.h"

// What the drift corrector keeps of a unit while it streams: the streaming
// thread's alone (engine/composite_drift.h).
struct UnitDrift {
    DriftLoop loop;
    bool steered = false;     // the loop steers its converters
    bool presetUntrusted = false;  // steered at a remembered ratio; its time line is young
    double place = 0.0;       // the fill error the loop holds it at (where a plugged-back unit started)
    double placeSum = 0.0;
    uint32_t placeCount = 0;
    double beyondSeconds = 0.0;  // watched: how long its error has looked like a drift
    double crossedAt = 0.0;      // the error when it first did
    bool completed = false;   // its packet of the current half came back from the device
    uint64_t completedNs = 0;
    double boundary = 0.0;
    BoundaryClock clock;      // its hardware's time line
    uint64_t realignments = 0;
};

class CompositeUnit {
public:
    // Whether the record's active configuration routes at least one hardware
    // channel of that direction to an ASIO channel.
    static bool routesDirection(const AsioDeviceInfo& record, bool input);
    // Opens the record's KS filter of that direction; null when it cannot
    // stream (no filter, no accepted format, its pins held by another
    // program, no memory), with the reason in *failure when asked.
    static CompositeUnit* create(AsioDeviceInfo* record, bool input, uint16_t hostBits,
                                 UnitOpenFailure* failure = nullptr);

    // Ends its device watch, if it still has one.
    ~CompositeUnit();
    CompositeUnit(const CompositeUnit&) = delete;
    CompositeUnit& operator=(const CompositeUnit&) = delete;

    KsAudioFilter& filter() const { return *filter_; }
    bool isInput() const { return input_; }
    CKsAudFilter* ksFilter() const { return filter_->getKsFilter(); }
    AsioDeviceInfo* record() const { return routing_.record(); }
    uint32_t hardwareChannels() const { return filter_->getChannels(); }
    // ASIO channel (0 to 15) of a hardware channel, 255 for none.
    uint8_t asioChannel(uint32_t hardwareChannel) const { return filter_->getChannelInfo(hardwareChannel); }
    // Whether the unit serves the ASIO channel in its direction.
    bool serves(int32_t asioChannel) const;
    // Whether some hardware channel is routed to a requested channel of the
    // unit's direction; requested is the 32-entry table (inputs, then outputs).
    bool servesRequested(const bool* requested) const;
    // Streaming thread: moves the unit's packet of that half (readData or
    // writeData) at nowNs, and watches the device for gaps (timely: the
    // thread was waiting for this packet when it came back). 0 when
    // submitted, S_FALSE when the device still holds the packet, negative on
    // failure. *gapFrames (when asked) is the gap this packet revealed: the
    // hardware frames the device went without a packet, 0 for none.
    HRESULT transferPacket(uint32_t half, uint64_t nowNs = 0, bool timely = false, uint64_t* gapFrames = nullptr);
    // Streaming thread: hands the packet to the device before it runs (its
    // first use after createBuffers); silent plays silence instead of the
    // host's half (render).
    HRESULT primePacket(uint32_t packet, bool silent = false);
    // Streaming thread: the packet was seen coming back at atNs (timely as
    // for transferPacket) before its half is due; it is moved then.
    void packetReturned(uint32_t packet, uint64_t atNs, bool timely);
    bool cameBack(uint32_t packet) const { return packet < 2 && cameBack_[packet]; }
    // When the packet transferPacket moved last had come back from the device
    // (as seen by the streaming thread).
    uint64_t lastReturnNs() const { return lastReturnNs_; }
    // The gap watch: the unit's buffers were made (nothing is out), its
    // device starts or goes on playing at nowNs, its clock stands.
    void prepareGapWatch() {
        gaps_.prepare(filter_->getFormat().Format.nSamplesPerSec);
        cameBack_[0] = cameBack_[1] = false;
    }
    void deviceRunning(uint64_t nowNs) { gaps_.start(nowNs); }
    void deviceHalted() { gaps_.halt(); }
    // What the unit has lost while it streamed; from any thread.
    UnitGaps gaps() const { return gaps_.counts(); }
    // "playback" or "recording", for messages about the unit.
    const char* directionName() const { return input_ ? "recording" : "playback"; }
    // The unit left a stream because its device failed it (packets, a
    // stall, a state change): set by the streaming thread, read by the
    // thread that opens such units again.
    void markFailed() { failed_.store(true); }
    bool hasFailed() const { return failed_.load(); }

    // Watches the device behind its KS filter's handle for removal notices
    // (RegisterDeviceNotification); the cookie names the unit to the sink.
    void watchDevice(os::DeviceNoticeSinkIf* sink, uint64_t cookie);
    uint64_t cookie() const { return cookie_; }
    // Hands the watch over (it outlives the unit when a removal is pending).
    os::DeviceWatch releaseWatch();
    UnitDrift& drift() { return drift_; }
    const UnitDrift& drift() const { return drift_; }
    // Host frames by which the unit's rate conversion at that host rate
    // delays a sample, beyond the packets in flight (0 without conversion).
    uint32_t conversionDelay(double hostRate) const;

private:
    class Routing final : public UnitRoutingIf {
    public:
        explicit Routing(AsioDeviceInfo* record) : record_(record) {}
        AsioDeviceInfo* record() const { return record_; }
        CKsAudRenFilter* getRenderFilter() override { return record_->getRenderFilter(); }
        CKsAudCapFilter* getCaptureFilter() override { return record_->getCaptureFilter(); }
        size_t getNumberOfFormats() override;
        bool getFormat(size_t index, UnitWaveFormat* format) override;
        uint8_t getInputAsioChannel(size_t channel) override;
        uint8_t getOutputAsioChannel(size_t channel) override;

    private:
        AsioDeviceInfo* record_;
    };

    CompositeUnit(AsioDeviceInfo* record, bool input);

    Routing routing_;
    const bool input_;
    KsAudioFilter* filter_ = nullptr;
    std::atomic<bool> failed_{false};
    GapMeter gaps_;
    bool cameBack_[2] = {};
    uint64_t returnedNs_[2] = {};
    uint64_t lastReturnNs_ = 0;
    os::DeviceWatch watch_ = 0;
    uint64_t cookie_ = 0;
    UnitDrift drift_;
};
