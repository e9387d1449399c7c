// The capture side of a controller: converts completed capture packets to
// the host's sample width and rate, adds them into the host's accumulators
// and submits the packets again.
#pragma once

#include "engine/ks_audio_filter.h"

class KsAudioCaptureFilter : public KsAudioFilter {
public:
    // Opens the controller's capture KS filter and a pin with the first
    // format of its active configuration that the hardware takes; null on
    // any failure.
    static KsAudioCaptureFilter* instantiate(UnitRoutingIf* routing, uint16_t hostBits, UnitOpenFailure* failure = nullptr);

    ~KsAudioCaptureFilter() override;

    bool isInput() const override { return true; }
    ASIOError createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits) override;
    // Refused (ASE_NoMemory): capture adds into accumulators, which only the
    // composite device's form provides.
    ASIOError createBuffers(ASIOBufferInfo* infos, int32_t count, uint32_t frames) override;
    ASIOError disposeBuffers() override;
    bool supportsFormat(const WAVEFORMATEXTENSIBLE& format) override;
    CKsAudPin* createPin(const WAVEFORMATEXTENSIBLE& format, bool looped) override;
    ASIOError createConverters(uint32_t frames, uint32_t hostBits, uint32_t* hardwareFrames) override;
    void disposeConverters() override;

    // Streaming thread: adds the captured contents of packet `index` into
    // host half `index` (unless it is the packet's first use) and submits
    // it for the next read. 0 when submitted; S_FALSE when the device still
    // holds the packet (nothing done); negative when the packet failed, came
    // back empty or could not be submitted: nothing was added then.
    HRESULT readData(uint32_t index);
    // Frames the packet readData took back last held fewer than it asked
    // for (a device that completed it short); 0 when it was whole.
    uint32_t lastShortfall() const { return lastShortfall_; }

    // The converters start with a packet asked for from now on, which asks
    // for the frames a start needs.
    void engage() override;
    void convertFromFirstPacket() override;

    bool hasConverters() const { return converters_[0] != nullptr; }
    InputSamplerateConverterIf* getConverter(uint32_t channel) const {
        return channel < kMaxUnitChannels ? converters_[channel] : nullptr;
    }
    // Hardware frames the next read of a packet asks for.
    uint32_t framesToRequest() const;

protected:
    KsAudioCaptureFilter(UnitRoutingIf* routing, CKsAudCapFilter* ksFilter, CKsAudPin* pin,
                         const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status);
    static CKsAudPin* openPin(UnitRoutingIf* routing, WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure);
    SteerableAdapterIf* steeringOf(uint32_t channel) const override;

private:
    // How a packet in flight was asked for: a read is sized for what its
    // conversion will be when it comes back, two packets later.
    enum class ReadKind : uint8_t { Unconverted, Start, Converted };
    struct Read {
        ReadKind kind = ReadKind::Unconverted;
        int32_t shift = 0;  // hardware frames beyond (or short of) what the conversion takes
    };
    // Sizes the next read of a packet and notes how it was sized.
    uint32_t nextRead(uint32_t index);
    // Drops or repeats the frames a read was sized beyond its conversion for.
    uint32_t undoShift(uint32_t index, uint32_t captured);

    InputSamplerateConverterIf* converters_[kMaxUnitChannels] = {};
    uint8_t* stagingMemory_ = nullptr;
    void* staging_[kMaxUnitChannels] = {};
    uint32_t lastShortfall_ = 0;
    Read reads_[kPackets];
    bool startWanted_ = false;
};
