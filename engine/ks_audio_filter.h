// One direction of one attached controller as the audio engine streams it:
// an open KS pin, its hardware wave format, the two stream packets kept in
// flight on it with their completion events, the table of host buffer
// halves it reads or adds into, and the sample-rate adapters that bridge a
// host rate the hardware lacks.
//
// The composite device owns the units. It sets their rate, creates their
// buffers and moves their pins through the KS states from its control
// paths, and calls the per-packet operations of the two subclasses on its
// streaming thread when a packet event is signalled.
#pragma once

#include <cstdint>

#include "engine/asio.h"
#include "engine/sample_conversion.h"
#include "engine/unit_routing.h"
#include "ks/ks_aud_filter.h"
#include "src/adapter_factory.h"
#include "platform/os.h"

// Why a unit could not be opened.
enum class UnitOpenFailure {
    None,
    NoFilter,  // the controller has no KS filter of that direction, or it does not open
    InUse,     // another program holds the streaming pin
    NoFormat,  // no format of the configuration opens a pin
    NoMemory,
};

// A stream header with the completion record that travels with it.
struct StreamPacket {
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
};

class KsAudioFilter {
public:
    static constexpr uint32_t kPackets = 2;
    // How long a unit that lets go waits for the device to give back the
    // packets it holds.
    static constexpr uint32_t kSettleMs = 2000;

    // Cancels the packets still with the device and waits for them, then
    // closes the pin, frees the packet memory and closes the events.
    virtual ~KsAudioFilter();
    KsAudioFilter(const KsAudioFilter&) = delete;
    KsAudioFilter& operator=(const KsAudioFilter&) = delete;

    virtual bool isInput() const = 0;
    // The composite device's form: hostBuffers holds 32 entries, 2c + half
    // for hardware channel c (null where no host channel is assigned), each
    // `frames` samples of hostBits (16 or 24); capture entries are 32-bit
    // accumulators. Makes the adapters and both packets. On failure nothing
    // of this call is left allocated.
    virtual ASIOError createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits);
    // ASE_InvalidMode (with framingMinimumFrames set) when the packets would
    // fall short of the device's allocator framing.
    // The filter provides the host buffers itself, in the hardware's own
    // sample width, and hands them out through the records (isInput 0,
    // channelNum below the channel count, no channel twice).
    virtual ASIOError createBuffers(ASIOBufferInfo* infos, int32_t count, uint32_t frames);
    // Takes the packets back from the device first (cancelled, and waited
    // for), so that no completion can land in freed memory.
    virtual ASIOError disposeBuffers();
    // Whether one of the KS filter's pins accepts the format.
    virtual bool supportsFormat(const WAVEFORMATEXTENSIBLE& format) = 0;
    // Opens a pin of the KS filter with the format; null when none takes it.
    virtual CKsAudPin* createPin(const WAVEFORMATEXTENSIBLE& format, bool looped) = 0;
    // Makes one adapter per hardware channel when the rates differ and
    // stores the hardware frames per packet (frames without adapters).
    // ASE_NoClock when the rates cannot be bridged, ASE_NoMemory when an
    // adapter cannot be made; either way no adapter is left.
    virtual ASIOError createConverters(uint32_t frames, uint32_t hostBits, uint32_t* hardwareFrames) = 0;
    virtual void disposeConverters() = 0;

    uint16_t getChannels() const { return format_.Format.nChannels; }
    // The ASIO channel (0 to 15) hardware channel `channel` serves in this
    // direction, or 255 when it serves none (also for a channel at or past
    // the channel count).
    uint8_t getChannelInfo(uint32_t channel) const;
    // ASE_NotPresent without a pin; ASE_NoClock for a rate setSampleRate
    // would refuse; else ASE_OK, since rates the hardware lacks are converted.
    ASIOError canSampleRate(double rate) const;
    // Moves the hardware to the best format for the rate (reopening the pin)
    // and stores the rate for the converters of the next createBuffers.
    ASIOError setSampleRate(double rate);
    // Steps the pin one KS state at a time; the first failing step's status
    // is returned and the state stays at the last one reached.
    HRESULT moveToState(KSSTATE target);

    KSSTATE getState() const { return state_; }
    os::Handle getEvent(uint32_t index) const { return index < kPackets ? events_[index] : nullptr; }
    CKsAudPin* getPin() const { return pin_; }
    CKsAudFilter* getKsFilter() const { return ksFilter_; }
    UnitRoutingIf* getRouting() const { return routing_; }
    const WAVEFORMATEXTENSIBLE& getFormat() const { return format_; }
    double getHostSampleRate() const { return hostRate_; }
    uint16_t getHostSampleBits() const { return hostBits_; }
    uint32_t getBufferFrames() const { return bufferFrames_; }
    // Capacity of one packet in hardware frames; 0 while no buffers exist.
    uint32_t getHardwareFrames() const { return hardwareFrames_; }
    // The device's allocator framing (KSPROPERTY_CONNECTION_ALLOCATORFRAMING)
    // in bytes per packet; 0 when the pin does not tell.
    uint32_t getFramingBytes() const { return framingBytes_; }
    // After createBuffers refused a host buffer whose packets fall short of
    // the framing: the smallest host buffer, in frames, that would do.
    // 0 otherwise.
    uint32_t framingMinimumFrames() const { return framingMinimumFrames_; }
    const StreamPacket& getPacket(uint32_t index) const;

    // Clock-drift steering (docs/drift.md), for the composite device's units.
    // Asked before createBuffers: the adapters are made steerable (variable
    // rate, also where the rates agree) and the packets get room to be
    // realigned. Without it (the default) nothing of this changes a unit.
    void setSteering(bool steering) { steering_ = steering; }
    // Steerable adapters exist (rates a whole factor apart have none).
    bool steerable() const;
    // The adapters convert: from the start where the rates differ, else once
    // switched in.
    bool converting() const { return converting_; }
    // Switches the converters in from the next packet made (render) or asked
    // for (capture) on; a stream that ran unconverted goes on sample for
    // sample until it is steered.
    virtual void engage() = 0;
    // Before a joining unit's first packet: the converters run from its first
    // packet on, from silence, as they do where the rates differ (for a unit
    // whose drift is known already). Nothing changes once a packet was made.
    virtual void convertFromFirstPacket() = 0;
    // The follower's clock over the pacing unit's clock: every adapter's step
    // follows it. False when the adapters cannot take it.
    bool steer(double ratio);
    // Moves the unit's hardware time line against the host's by whole frames:
    // positive when its hardware runs ahead, and then the next packets span
    // that many hardware frames more (rendered frames repeated, captured
    // ones left out; the other way round when negative), the seam crossfaded.
    void realign(int32_t frames) { pendingShift_ += frames; }
    // Frames of a realignment still to be made (a packet moves at most what
    // it holds beyond the seam).
    bool shiftPending() const { return pendingShift_ != 0; }
    // About the packet moved last: whether it had come back from the device
    // (not its first use), and where its end lies on the host's time line
    // (SteerableAdapterIf::boundaryPosition; 0 unconverted).
    bool completedInFlight() const { return completedInFlight_; }
    double completedBoundary() const { return completedBoundary_; }
    // The hardware frames that packet spanned.
    uint32_t completedFrames() const { return completedFrames_; }
    // Whether the packet was handed to the pin and not yet taken back.
    bool packetInFlight(uint32_t index) const { return index < kPackets && inFlight_[index]; }
    // Whether a packet was handed to the pin since the buffers were made.
    bool anyPacketSubmitted() const { return anySubmitted_; }
    // Whether the device still holds the packet (handed over and not yet
    // completed); asks without taking it back.
    bool packetWithDevice(uint32_t index);
    // Whether the other packet was still with the device at the last
    // hand-over: asked the moment before the packet went, after its data
    // was made, so that a device that ran dry while the thread was busy with
    // the data (or not running) is not taken for one that had a packet.
    bool otherWithDeviceAtSubmit() const { return otherWithDevice_; }
    // Hardware frames of the packet as it was last handed over.
    uint32_t packetFrames(uint32_t index) const { return index < kPackets ? packetFrames_[index] : 0; }
    void* getHostBuffer(uint32_t entry) const { return entry < kHostBufferTableSize ? hostBuffers_[entry] : nullptr; }

protected:
    // *status is 0, or negative when an event could not be created (the
    // filter must then be deleted).
    KsAudioFilter(UnitRoutingIf* routing, CKsAudFilter* ksFilter, CKsAudPin* pin,
                  const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status);

    // Reopens the KS filter and enumerates its pins; false when it cannot be used.
    static bool prepareKsFilter(CKsAudFilter* ksFilter);
    using PinCreator = CKsAudPin* (*)(CKsAudFilter* ksFilter, const WAVEFORMATEXTENSIBLE& format);
    // The pin trial over the routing's formats in order: each as extensible
    // PCM with every speaker mask of its channel count (and 24 valid bits in
    // 32-bit containers), then as plain PCM. The first pin ends it; *format
    // is the format it was opened with. A pin another program holds ends it
    // too, with *failure InUse: no other format would open it either.
    static CKsAudPin* openFirstPin(UnitRoutingIf* routing, bool input, CKsAudFilter* ksFilter, PinCreator create,
                                   WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure);

    // The answer of createConverters for what the adapter factory did: the
    // hardware frames per packet in *hardwareFrames (unchanged unless
    // adapters were made), ASE_NoClock for rates that cannot be converted,
    // ASE_NoMemory when an adapter could not be allocated.
    static ASIOError convertersResult(SamplerateAdapterResult result, int32_t madeFrames, uint32_t* hardwareFrames);

    // Arguments of the composite device's createBuffers form that can be served.
    static bool validBufferRequest(const void* hostBuffers, uint32_t frames, uint32_t hostBits);
    // The candidate search: at the first candidate rate the pin's ranges
    // admit, every sample layout they admit there, in search order (at most
    // kMaxSearchWidths); 0 when the hardware takes none.
    size_t findHardwareFormats(uint32_t rate, WAVEFORMATEXTENSIBLE* out);
    // Host width the current buffers were made for.
    uint32_t bufferHostBits() const { return bufferHostBits_; }
    StreamPacket& packet(uint32_t index) { return packets_[index]; }
    // The outcome of the packet last handed to the pin (S_OK also when it was
    // not handed over since the buffers were made): S_FALSE while the device
    // still holds it, negative when it failed or was cancelled.
    HRESULT collectPacket(uint32_t index);
    // Hands the packet to the pin (WriteData or ReadData).
    HRESULT submitPacket(uint32_t index);
    void* const* hostBufferTable() const { return hostBuffers_; }
    // The adapter of a hardware channel, as far as steering goes; null
    // without one.
    virtual SteerableAdapterIf* steeringOf(uint32_t channel) const = 0;
    bool steering() const { return steering_; }
    // What createConverters found: whether the adapters made convert from
    // the start, and their step where the clocks agree.
    void setConversion(bool converting, double nominalStep) {
        converting_ = converting;
        nominalStep_ = nominalStep;
    }
    void setConverting() { converting_ = true; }
    // The shift still to be made in the next packets; taken by the caller.
    int32_t takeShift() {
        const int32_t shift = pendingShift_;
        pendingShift_ = 0;
        return shift;
    }
    void giveBackShift(int32_t frames) { pendingShift_ += frames; }
    void setCompleted(bool inFlight, double boundary, uint32_t frames) {
        completedInFlight_ = inFlight;
        completedBoundary_ = boundary;
        completedFrames_ = frames;
    }
    uint8_t* packetData(uint32_t index) const { return static_cast<uint8_t*>(packets_[index].header.Data); }
    bool hasBuffers() const { return bufferFrames_ != 0; }

private:
    ASIOError createPackets(uint32_t frames, uint32_t hostBits, uint32_t hostBlocks, uint8_t** hostArea);
    // Moves the pin to the best format for the rate: the first of the
    // search's formats a pin opens with, else the old format again. False
    // when not even that reopens (the unit is left without a pin).
    bool reopenForRate(uint32_t rate);
    // Reads the open pin's allocator framing.
    void readFraming();
    // Cancels what the device still holds and waits for it. A device that
    // never gives a packet back keeps the memory and events it may write:
    // they are left allocated rather than freed under it.
    void settlePackets();

    UnitRoutingIf* routing_;
    CKsAudFilter* ksFilter_;
    CKsAudPin* pin_;
    KSSTATE state_ = KSSTATE_STOP;
    WAVEFORMATEXTENSIBLE format_;
    uint16_t hostBits_;
    double hostRate_ = 0.0;
    uint32_t bufferFrames_ = 0;
    uint32_t bufferHostBits_ = 0;
    uint32_t hardwareFrames_ = 0;
    uint32_t framingBytes_ = 0;
    uint32_t framingMinimumFrames_ = 0;
    uint8_t* packetMemory_ = nullptr;
    void* hostBuffers_[kHostBufferTableSize] = {};
    os::Handle events_[kPackets] = {};
    // In the packet memory, so that a device that never lets go of them can
    // be left the whole block.
    StreamPacket* packets_ = nullptr;
    bool inFlight_[kPackets] = {};
    bool anySubmitted_ = false;
    bool otherWithDevice_ = false;
    uint32_t packetFrames_[kPackets] = {};

    bool steering_ = false;
    bool converting_ = false;
    double nominalStep_ = 1.0;
    int32_t pendingShift_ = 0;
    bool completedInFlight_ = false;
    double completedBoundary_ = 0.0;
    uint32_t completedFrames_ = 0;
};
