#include "engine/ks_audio_filter.h"

#include <algorithm>
#include <cstring>

#include "base/heap.h"
#include "engine/drift_loop.h"
#include "engine/hardware_format.h"
#include "platform/trace.h"
#include "src/conversion_limits.h"

namespace {

[[maybe_unused]] const char* stateLabel(int state) {
    switch (state) {
        case KSSTATE_STOP: return "STOP";
        case KSSTATE_ACQUIRE: return "ACQUIRE";
        case KSSTATE_PAUSE: return "PAUSE";
        case KSSTATE_RUN: return "RUN";
        default: return "?";
    }
}

// Packets and host halves are sized from 32-bit fields of the stream header.
constexpr uint64_t kMaxPacketMemory = uint64_t(1) << 31;

bool usableFrames(uint32_t frames) { return frames >= 1 && frames <= src_detail::kMaxAdapterFrames; }

}  // namespace

bool KsAudioFilter::validBufferRequest(const void* hostBuffers, uint32_t frames, uint32_t hostBits) {
    return hostBuffers != nullptr && usableFrames(frames) && isConvertibleHostBits(hostBits);
}

KsAudioFilter::KsAudioFilter(UnitRoutingIf* routing, CKsAudFilter* ksFilter, CKsAudPin* pin,
                             const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status)
    : routing_(routing), ksFilter_(ksFilter), pin_(pin), format_(format), hostBits_(hostBits) {
    readFraming();
    HRESULT result = S_OK;
    for (os::Handle& event : events_) {
        event = os::createEvent(false, false);
        if (event == nullptr) {
            TRACE("KsAudioFilter: Failed to create event");
            result = E_FAIL;
        }
    }
    if (status != nullptr) *status = result;
}

KsAudioFilter::~KsAudioFilter() {
    // Cancel, wait, close, free: in this order, or a late completion of a
    // cancelled packet writes into freed memory.
    settlePackets();
    if (pin_ != nullptr) pin_->ClosePin();
    heap::release(packetMemory_);
    for (os::Handle event : events_)
        if (event != nullptr) os::closeHandle(event);
}

uint8_t KsAudioFilter::getChannelInfo(uint32_t channel) const {
    if (channel >= getChannels() || channel >= kMaxUnitChannels || routing_ == nullptr) {
        TRACE("KsAudioFilter::getChannelInfo: Invalid parameters (channel %i)", static_cast<int>(channel));
        return kUnitChannelUnrouted;
    }
    const uint8_t routed = isInput() ? routing_->getInputAsioChannel(channel) : routing_->getOutputAsioChannel(channel);
    return routed < 16 ? routed : kUnitChannelUnrouted;
}

ASIOError KsAudioFilter::canSampleRate(double rate) const {
    if (pin_ == nullptr) {
        TRACE("KsAudioFilter::canSampleRate: Invalid state");
        return ASE_NotPresent;
    }
    if (!isUsableHostRate(rate)) {
        TRACE("KsAudioFilter::canSampleRate: Samplerate not supported %.2f", rate);
        return ASE_NoClock;
    }
    return ASE_OK;
}

size_t KsAudioFilter::findHardwareFormats(uint32_t rate, WAVEFORMATEXTENSIBLE* out) {
    WAVEFORMATEXTENSIBLE format = format_;
    uint32_t candidates[kMaxRateCandidates];
    const size_t count = hardwareRateCandidates(rate, candidates);
    for (size_t i = 0; i < count; ++i) {
        setFormatRate(format, candidates[i]);
        size_t found = 0;
        for (SampleWidth width : kSearchWidths) {
            // Plain PCM cannot say that a container carries fewer valid bits.
            if (width.valid != width.container && format.Format.wFormatTag != WAVE_FORMAT_EXTENSIBLE) continue;
            setFormatSampleWidth(format, width);
            if (supportsFormat(format)) out[found++] = format;
        }
        if (found == 0) continue;
        if (i == 0)
            TRACE("Samplerate %uHz is supported by hardware. Using %u bits/sample.", rate,
                  out[0].Format.wBitsPerSample);
        else
            TRACE("Samplerate %uHz not supported by hardware. Using %u bits/sample at %uHz.", rate,
                  out[0].Format.wBitsPerSample, candidates[i]);
        return found;
    }
    return 0;
}

ASIOError KsAudioFilter::setSampleRate(double rate) {
    TRACE_ENTER("KsAudioFilter::setSampleRate");
    if (pin_ == nullptr) {
        TRACE("KsAudioFilter::setSampleRate: Invalid mode");
        return ASE_NotPresent;
    }
    if (!isUsableHostRate(rate)) {
        TRACE("KsAudioFilter::setSampleRate: Samplerate not supported %.2f", rate);
        return ASE_NoClock;
    }
    if (rate == hostRate_) return ASE_OK;
    // The adapters and packets of existing buffers are sized for the old rate.
    if (hasBuffers()) {
        TRACE("KsAudioFilter::setSampleRate: Invalid mode (buffers exist)");
        return ASE_InvalidMode;
    }
    if (!reopenForRate(static_cast<uint32_t>(rate))) return ASE_HWMalfunction;
    hostRate_ = rate;
    TRACE("Samplerate set to %.2f / %u", hostRate_, static_cast<unsigned>(format_.Format.nSamplesPerSec));
    return ASE_OK;
}

bool KsAudioFilter::reopenForRate(uint32_t rate) {
    WAVEFORMATEXTENSIBLE wanted[kMaxSearchWidths];
    const size_t count = findHardwareFormats(rate, wanted);
    // When the hardware takes no candidate the open pin stays as it is:
    // closing it for a format nobody accepts could only lose it.
    for (size_t i = 0; i < count; ++i)
        if (sameWaveFormat(wanted[i], format_)) return true;
    if (count == 0) return true;
    pin_->ClosePin();
    state_ = KSSTATE_STOP;
    // The ranges name valid bits only: which container the device carries
    // them in (24 bits in 24 or in 32) only opening a pin tells.
    for (size_t i = 0; i < count; ++i) {
        if (CKsAudPin* pin = createPin(wanted[i], false)) {
            pin_ = pin;
            format_ = wanted[i];
            readFraming();
            return true;
        }
    }
    TRACE("KsAudioFilter::setSampleRate: Failed to create %s pin for new samplerate", isInput() ? "capture" : "render");
    pin_ = createPin(format_, false);
    readFraming();
    if (pin_ != nullptr) return true;
    TRACE("KsAudioFilter::setSampleRate: Failed to fall back to previous %s pin", isInput() ? "capture" : "render");
    return false;
}

bool KsAudioFilter::steerable() const { return steering_ && steeringOf(0) != nullptr && hasBuffers(); }

bool KsAudioFilter::steer(double ratio) {
    if (!steerable() || !(ratio > 0.0)) return false;
    // Render converts host to hardware frames, capture the other way. The
    // step stays within the spread the converters were made for: a ratio at
    // the edge of the loop's clamp is one over the spread's edge when
    // inverted, and a step beyond it would be refused and the unit left at
    // its last step, unsteered.
    const double wanted = isInput() ? nominalStep_ * ratio : nominalStep_ / ratio;
    const double spread = kDriftSpread * (1.0 - 1e-6);
    const double step = std::min(std::max(wanted, nominalStep_ * (1.0 - spread)), nominalStep_ * (1.0 + spread));
    bool taken = true;
    for (uint32_t c = 0; c < getChannels(); ++c) {
        SteerableAdapterIf* adapter = steeringOf(c);
        taken = adapter != nullptr && adapter->steerTo(step) && taken;
    }
    return taken;
}

ASIOError KsAudioFilter::createPackets(uint32_t frames, uint32_t hostBits, uint32_t hostBlocks, uint8_t** hostArea) {
    uint32_t hardwareFrames = 0;
    converting_ = false;
    nominalStep_ = 1.0;
    pendingShift_ = 0;
    completedInFlight_ = false;
    completedBoundary_ = 0.0;
    anySubmitted_ = false;
    const ASIOError made = createConverters(frames, hostBits, &hardwareFrames);
    if (made != ASE_OK) return made;
    const uint64_t containerBytes = format_.Format.wBitsPerSample / 8;
    const uint64_t usualBytes = uint64_t(hardwareFrames) * getChannels() * containerBytes;
    framingMinimumFrames_ = 0;
    if (framingBytes_ > usualBytes && usualBytes > 0) {
        // The device wants larger packets than the host's buffer makes: what
        // it would do with the short ones is no audio anybody asked for.
        const uint64_t blockAlign = uint64_t(getChannels()) * containerBytes;
        const uint64_t neededHardware = (framingBytes_ + blockAlign - 1) / blockAlign;
        framingMinimumFrames_ = static_cast<uint32_t>((neededHardware * frames + hardwareFrames - 1) / hardwareFrames);
        TRACE("KsAudioFilter: the device needs packets of %u bytes, the host's buffer of %u frames makes %u; "
              "%u frames would do",
              framingBytes_, frames, static_cast<unsigned>(usualBytes), framingMinimumFrames_);
        disposeConverters();
        return ASE_InvalidMode;
    }
    // A steered unit's packets have room to be realigned by up to a host
    // buffer at a time.
    if (steering_ && steeringOf(0) != nullptr) hardwareFrames += frames;
    const uint64_t packetBytes = uint64_t(hardwareFrames) * getChannels() * containerBytes;
    const uint64_t hostHalfBytes = uint64_t(frames) * (hostBits / 8);
    const uint64_t dataBytes = kPackets * packetBytes + hostBlocks * hostHalfBytes;
    // The stream headers with their OVERLAPPED records follow, aligned.
    const uint64_t headerOffset = (dataBytes + alignof(StreamPacket) - 1) / alignof(StreamPacket) * alignof(StreamPacket);
    const uint64_t total = headerOffset + kPackets * sizeof(StreamPacket);
    uint8_t* memory = nullptr;
    if (hardwareFrames > 0 && packetBytes > 0 && total <= kMaxPacketMemory)
        memory = static_cast<uint8_t*>(heap::reallocate(nullptr, static_cast<size_t>(total)));
    if (memory == nullptr) {
        TRACE("KsAudioFilter::createBuffers: Out of memory");
        disposeConverters();
        return ASE_NoMemory;
    }
    std::memset(memory, 0, static_cast<size_t>(total));
    packetMemory_ = memory;
    bufferFrames_ = frames;
    bufferHostBits_ = hostBits;
    hardwareFrames_ = hardwareFrames;
    *hostArea = memory;
    uint8_t* data = memory + hostBlocks * hostHalfBytes;
    packets_ = reinterpret_cast<StreamPacket*>(memory + headerOffset);
    for (uint32_t i = 0; i < kPackets; ++i) {
        inFlight_[i] = false;
        KSSTREAM_HEADER& header = packets_[i].header;
        header.Size = sizeof(KSSTREAM_HEADER);
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.Data = data + i * packetBytes;
        header.FrameExtent = static_cast<ULONG>(packetBytes);
        header.DataUsed = static_cast<ULONG>(packetBytes);
        header.OptionsFlags = KSSTREAM_HEADER_OPTIONSF_PREROLL;
        packets_[i].overlapped.hEvent = events_[i];
    }
    return ASE_OK;
}

ASIOError KsAudioFilter::createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits) {
    TRACE_ENTER("KsAudioFilter::createBuffers");
    if (pin_ == nullptr) return ASE_NotPresent;
    if (hasBuffers()) return ASE_InvalidMode;
    if (!validBufferRequest(hostBuffers, frames, hostBits)) {
        TRACE("KsAudioFilter::createBuffers: Invalid parameters");
        return ASE_InvalidParameter;
    }
    if (!isConvertibleContainerBits(format_.Format.wBitsPerSample)) return ASE_InvalidMode;
    uint8_t* unused = nullptr;
    const ASIOError result = createPackets(frames, hostBits, 0, &unused);
    if (result != ASE_OK) return result;
    for (uint32_t i = 0; i < kHostBufferTableSize; ++i) hostBuffers_[i] = hostBuffers[i];
    TRACE_LEAVE_INT("KsAudioFilter::createBuffers", ASE_OK);
    return ASE_OK;
}

ASIOError KsAudioFilter::createBuffers(ASIOBufferInfo* infos, int32_t count, uint32_t frames) {
    TRACE_ENTER("KsAudioFilter::createBuffers");
    if (pin_ == nullptr) return ASE_NotPresent;
    if (hasBuffers()) return ASE_InvalidMode;
    const uint32_t channels = getChannels();
    bool valid = (infos != nullptr || count == 0) && count >= 0 && static_cast<uint32_t>(count) <= channels &&
                 usableFrames(frames);
    for (int32_t i = 0; valid && i < count; ++i) {
        valid = infos[i].isInput == ASIOFalse && infos[i].channelNum >= 0 &&
                static_cast<uint32_t>(infos[i].channelNum) < channels;
        for (int32_t j = 0; valid && j < i; ++j) valid = infos[j].channelNum != infos[i].channelNum;
    }
    if (!valid) {
        TRACE("KsAudioFilter::createBuffers: Invalid parameters");
        return ASE_InvalidParameter;
    }
    const uint32_t hostBits = format_.Format.wBitsPerSample;
    if (!isConvertibleHostBits(hostBits)) return ASE_InvalidMode;
    uint8_t* area = nullptr;
    const ASIOError result = createPackets(frames, hostBits, 2 * static_cast<uint32_t>(count), &area);
    if (result != ASE_OK) return result;
    // Host halves hold host frames, which may outnumber the packet's frames.
    const size_t halfBytes = size_t(frames) * (hostBits / 8);
    for (void*& entry : hostBuffers_) entry = nullptr;
    for (int32_t i = 0; i < count; ++i) {
        for (uint32_t half = 0; half < 2; ++half) {
            hostBuffers_[2 * infos[i].channelNum + half] = area;
            infos[i].buffers[half] = area;
            area += halfBytes;
        }
    }
    return ASE_OK;
}

ASIOError KsAudioFilter::disposeBuffers() {
    TRACE_ENTER("KsAudioFilter::disposeBuffers");
    settlePackets();
    bufferFrames_ = 0;
    bufferHostBits_ = 0;
    hardwareFrames_ = 0;
    heap::release(packetMemory_);
    packetMemory_ = nullptr;
    packets_ = nullptr;
    for (void*& entry : hostBuffers_) entry = nullptr;
    disposeConverters();
    return ASE_OK;
}

HRESULT KsAudioFilter::moveToState(KSSTATE target) {
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return E_INVALIDARG;
    while (state_ != target) {
        if (pin_ == nullptr) return E_FAIL;
        const int next = state_ < target ? state_ + 1 : state_ - 1;
        const HRESULT status = pin_->SetState(static_cast<KSSTATE>(next));
        if (status < 0) {
            TRACE("KsAudioFilter::moveToState: Setting state %s -> %s failed (%#08x)", stateLabel(state_),
                  stateLabel(next), static_cast<unsigned>(status));
            return status;
        }
        TRACE("Setting state %s -> %s", stateLabel(state_), stateLabel(next));
        state_ = static_cast<KSSTATE>(next);
    }
    return S_OK;
}

bool KsAudioFilter::prepareKsFilter(CKsAudFilter* ksFilter) {
    if (ksFilter == nullptr) return false;
    ksFilter->Deinstantiate();
    if (ksFilter->Instantiate() < 0) {
        TRACE("KsAudioFilter: %s filter instantiation failed", CKsFilter::FilterTypeName(ksFilter->GetFilterType()));
        return false;
    }
    if (ksFilter->EnumeratePins() < 0) {
        TRACE("KsAudioFilter: %s filter pin enumeration failed",
              CKsFilter::FilterTypeName(ksFilter->GetFilterType()));
        return false;
    }
    return true;
}

CKsAudPin* KsAudioFilter::openFirstPin(UnitRoutingIf* routing, bool input, CKsAudFilter* ksFilter,
                                       PinCreator create, WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure) {
    *failure = UnitOpenFailure::NoFormat;
    if (ksFilter->StreamingPinsInUse()) {
        TRACE("KsAudioFilter: another program holds the %s pin", input ? "capture" : "render");
        *failure = UnitOpenFailure::InUse;
        return nullptr;
    }
    // After each failed attempt: a pin held elsewhere refuses every format.
    auto heldElsewhere = [&]() {
        if (ksFilter->LastPinCreateResult() != CKsPin::kHeldElsewhere) return false;
        TRACE("KsAudioFilter: another program holds the %s pin", input ? "capture" : "render");
        *failure = UnitOpenFailure::InUse;
        return true;
    };
    const size_t formats = routing->getNumberOfFormats();
    for (size_t i = 0; i < formats; ++i) {
        UnitWaveFormat record;
        if (!routing->getFormat(i, &record)) continue;
        const uint32_t channels = input ? record.inputs : record.outputs;
        // A format whose packets the engine could not lay out is not tried.
        if (channels == 0 || channels > kMaxUnitChannels || !isConvertibleContainerBits(record.bitsPerSample) ||
            !isUsableHostRate(record.sampleRate))
            continue;
        // The USB audio class driver takes wide and many-channel formats in
        // their extensible form only, some devices only with their default
        // speaker mask and others only without one, and many carry 24 valid
        // bits in 32-bit containers: every combination is tried before
        // plain PCM.
        uint32_t masks[kMaxChannelMasks];
        const size_t maskCount = channelMasksFor(channels, masks);
        SampleWidth widths[2];
        const size_t widthCount = trialWidthsFor(static_cast<uint16_t>(record.bitsPerSample), widths);
        for (size_t w = 0; w < widthCount; ++w) {
            *format = makeExtensibleFormat(static_cast<uint16_t>(channels), record.sampleRate, widths[w]);
            for (size_t m = 0; m < maskCount; ++m) {
                format->dwChannelMask = masks[m];
                TRACE("Trying WaveEx %uHz, %uch, %u-bits (%u valid), align %uB, %u B/s, chMask %x", record.sampleRate,
                      channels, widths[w].container, widths[w].valid, format->Format.nBlockAlign,
                      format->Format.nAvgBytesPerSec, masks[m]);
                if (CKsAudPin* pin = create(ksFilter, *format)) return pin;
                if (heldElsewhere()) return nullptr;
            }
        }
        *format = makeExtensibleFormat(static_cast<uint16_t>(channels), record.sampleRate,
                                       {static_cast<uint16_t>(record.bitsPerSample),
                                        static_cast<uint16_t>(record.bitsPerSample)});
        makePlainPcm(*format);
        TRACE("Trying Wave %uHz, %uch, %u-bits, align %uB, %u B/s", record.sampleRate, channels,
              record.bitsPerSample, format->Format.nBlockAlign, format->Format.nAvgBytesPerSec);
        if (CKsAudPin* pin = create(ksFilter, *format)) return pin;
        if (heldElsewhere()) return nullptr;
    }
    TRACE("All wave formats failed");
    return nullptr;
}

ASIOError KsAudioFilter::convertersResult(SamplerateAdapterResult result, int32_t madeFrames,
                                          uint32_t* hardwareFrames) {
    switch (result) {
        case SamplerateAdapterResult::NotNeeded: return ASE_OK;
        case SamplerateAdapterResult::Made: *hardwareFrames = static_cast<uint32_t>(madeFrames); return ASE_OK;
        case SamplerateAdapterResult::Unsupported:
            TRACE("KsAudioFilter::createConverters: rates cannot be converted");
            return ASE_NoClock;
        case SamplerateAdapterResult::OutOfMemory: break;
    }
    TRACE("KsAudioFilter::createConverters: Out of memory");
    return ASE_NoMemory;
}
