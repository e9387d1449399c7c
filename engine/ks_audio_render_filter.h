// The render side of a controller: converts the host's output halves into
// hardware packets and submits them for playback.
#pragma once

#include "engine/ks_audio_filter.h"

class KsAudioRenderFilter : public KsAudioFilter {
public:
    // Opens the controller's render KS filter and a pin with the first
    // format of its active configuration that the hardware takes; null on
    // any failure (no filter, no format, no memory).
    static KsAudioRenderFilter* instantiate(UnitRoutingIf* routing, uint16_t hostBits, UnitOpenFailure* failure = nullptr);

    ~KsAudioRenderFilter() override;

    bool isInput() const override { return false; }
    ASIOError createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits) override;
    ASIOError createBuffers(ASIOBufferInfo* infos, int32_t count, uint32_t frames) override;
    ASIOError disposeBuffers() override;
    bool supportsFormat(const WAVEFORMATEXTENSIBLE& format) override;
    CKsAudPin* createPin(const WAVEFORMATEXTENSIBLE& format, bool looped) override;
    ASIOError createConverters(uint32_t frames, uint32_t hostBits, uint32_t* hardwareFrames) override;
    void disposeConverters() override;

    // Streaming thread: fills packet `index` from host half `index` and
    // submits it, once the device has given it back. 0 when submitted;
    // S_FALSE when the device still holds the packet (nothing done);
    // negative when its last submission failed or it cannot be submitted.
    // Silent: the packet plays silence instead (the first packet of a unit
    // that joins a running stream, whose host half is gone).
    HRESULT writeData(uint32_t index, bool silent = false);

    void engage() override;
    void convertFromFirstPacket() override;

    bool hasConverters() const { return converters_[0] != nullptr; }
    OutputSamplerateConverterIf* getConverter(uint32_t channel) const {
        return channel < kMaxUnitChannels ? converters_[channel] : nullptr;
    }

protected:
    KsAudioRenderFilter(UnitRoutingIf* routing, CKsAudRenFilter* ksFilter, CKsAudPin* pin,
                        const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status);
    // The pin trial alone, for instantiate and for tests that build a
    // filter of their own: prepares the KS filter and opens the first pin.
    static CKsAudPin* openPin(UnitRoutingIf* routing, WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure);
    // Allocates the zeroed silence block of `bytes`; false when out of memory.
    bool allocateSilence(size_t bytes);
    void releaseSilence();
    SteerableAdapterIf* steeringOf(uint32_t channel) const override;

private:
    OutputSamplerateConverterIf* converters_[kMaxUnitChannels] = {};
    uint8_t* silence_ = nullptr;
    bool submitted_[kPackets] = {};
    bool fromFirstPacket_ = false;  // converting from the first packet, not yet made
    // A silent first packet that the converters left short, filled up with
    // silence in front to a host period's frames; the frames it now holds.
    uint32_t padToPeriod(uint32_t index, uint32_t frames);
    // Where each packet's end lies on the host's time line, kept from when
    // it was made until it comes back.
    double boundaries_[kPackets] = {};
};
