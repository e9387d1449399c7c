// A unit's packets and the device: handing them to the pin, reading back
// each one's outcome, and taking them all back (cancel, wait) before their
// memory goes. Part of KsAudioFilter (engine/ks_audio_filter.h).
#include <cstring>

#include "engine/ks_audio_filter.h"
#include "platform/trace.h"

namespace {

const StreamPacket kNoPacket = {};

}  // namespace

void KsAudioFilter::readFraming() {
    framingBytes_ = 0;
    KSALLOCATOR_FRAMING framing;
    std::memset(&framing, 0, sizeof(framing));
    if (pin_ != nullptr && pin_->GetAllocatorFraming(&framing) >= 0) {
        framingBytes_ = framing.FrameSize;
        TRACE("KsAudioFilter: allocator framing %u frames of %u bytes", static_cast<unsigned>(framing.Frames),
              static_cast<unsigned>(framing.FrameSize));
    }
}

const StreamPacket& KsAudioFilter::getPacket(uint32_t index) const {
    return packets_ != nullptr ? packets_[index < kPackets ? index : 0] : kNoPacket;
}

HRESULT KsAudioFilter::collectPacket(uint32_t index) {
    if (!inFlight_[index]) return S_OK;
    // Devices complete requests with errors and set the event all the same:
    // the outcome, not the event, says whether the packet holds audio.
    const HRESULT outcome = pin_ != nullptr ? pin_->GetStreamResult(&packets_[index].overlapped) : E_FAIL;
    if (outcome == S_FALSE) return S_FALSE;
    inFlight_[index] = false;
    if (outcome < 0)
        TRACE("KsAudioFilter: %s packet %u failed (%#08x)", isInput() ? "capture" : "render", index,
              static_cast<unsigned>(outcome));
    return outcome;
}

bool KsAudioFilter::packetWithDevice(uint32_t index) {
    if (index >= kPackets || !inFlight_[index] || pin_ == nullptr) return false;
    return pin_->GetStreamResult(&packets_[index].overlapped) == S_FALSE;
}

HRESULT KsAudioFilter::submitPacket(uint32_t index) {
    StreamPacket& p = packets_[index];
    const uint32_t blockAlign = format_.Format.nBlockAlign;
    const uint32_t bytes = isInput() ? p.header.FrameExtent : p.header.DataUsed;
    packetFrames_[index] = blockAlign != 0 ? bytes / blockAlign : 0;
    otherWithDevice_ = packetWithDevice(1 - index);
    const HRESULT status = isInput() ? pin_->ReadData(&p.header, &p.overlapped) : pin_->WriteData(&p.header, &p.overlapped);
    inFlight_[index] = status >= 0;
    anySubmitted_ = true;
    return status;
}

void KsAudioFilter::settlePackets() {
    if (!inFlight_[0] && !inFlight_[1]) return;
    if (pin_ != nullptr) pin_->CancelStreams();
    bool abandoned = false;
    for (uint32_t i = 0; i < kPackets; ++i) {
        if (!inFlight_[i]) continue;
        if (pin_ != nullptr && pin_->AwaitStreamRequest(&packets_[i].overlapped, kSettleMs))
            inFlight_[i] = false;
        else
            abandoned = true;
    }
    if (!abandoned) {
        for (os::Handle event : events_)
            if (event != nullptr) os::resetEvent(event);
        return;
    }
    // The device may still write the packets and signal their events: both
    // stay allocated for it. The unit takes fresh events for later streams.
    TRACE("KsAudioFilter: the device kept its packets; their memory is left to it");
    packetMemory_ = nullptr;
    packets_ = nullptr;
    for (uint32_t i = 0; i < kPackets; ++i) {
        inFlight_[i] = false;
        events_[i] = os::createEvent(false, false);
    }
}
