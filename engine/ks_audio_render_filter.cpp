#include "engine/ks_audio_render_filter.h"

#include <cstring>
#include <new>

#include "base/heap.h"
#include "engine/drift_loop.h"
#include "engine/packet_splice.h"
#include "platform/trace.h"
#include "src/adapter_factory.h"

namespace {

CKsAudPin* createRenderPin(CKsAudFilter* ksFilter, const WAVEFORMATEXTENSIBLE& format) {
    return static_cast<CKsAudRenFilter*>(ksFilter)->CreateRenderPin(&format.Format, false);
}

}  // namespace

KsAudioRenderFilter::KsAudioRenderFilter(UnitRoutingIf* routing, CKsAudRenFilter* ksFilter, CKsAudPin* pin,
                                         const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status)
    : KsAudioFilter(routing, ksFilter, pin, format, hostBits, status) {}

KsAudioRenderFilter::~KsAudioRenderFilter() {
    disposeConverters();
    releaseSilence();
}

CKsAudPin* KsAudioRenderFilter::openPin(UnitRoutingIf* routing, WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure) {
    *failure = UnitOpenFailure::NoFilter;
    if (routing == nullptr || format == nullptr) return nullptr;
    CKsAudRenFilter* ksFilter = routing->getRenderFilter();
    if (!prepareKsFilter(ksFilter)) return nullptr;
    return openFirstPin(routing, false, ksFilter, &createRenderPin, format, failure);
}

KsAudioRenderFilter* KsAudioRenderFilter::instantiate(UnitRoutingIf* routing, uint16_t hostBits, UnitOpenFailure* failure) {
    TRACE_ENTER("KsAudioRenderFilter::instantiate");
    UnitOpenFailure why = UnitOpenFailure::None;
    if (failure == nullptr) failure = &why;
    WAVEFORMATEXTENSIBLE format;
    CKsAudPin* pin = openPin(routing, &format, failure);
    if (pin == nullptr) return nullptr;
    *failure = UnitOpenFailure::NoMemory;
    HRESULT status = E_FAIL;
    KsAudioRenderFilter* filter =
        new (std::nothrow) KsAudioRenderFilter(routing, routing->getRenderFilter(), pin, format, hostBits, &status);
    if (filter == nullptr) {
        TRACE("KsAudioRenderFilter::instantiate: Out of memory");
        pin->ClosePin();
        return nullptr;
    }
    if (status < 0) {
        TRACE("KsAudioRenderFilter::instantiate: Device init failed");
        delete filter;
        return nullptr;
    }
    TRACE("Render pin was successfully created");
    *failure = UnitOpenFailure::None;
    return filter;
}

bool KsAudioRenderFilter::allocateSilence(size_t bytes) {
    silence_ = static_cast<uint8_t*>(heap::reallocate(nullptr, bytes));
    if (silence_ == nullptr) return false;
    std::memset(silence_, 0, bytes);
    return true;
}

void KsAudioRenderFilter::releaseSilence() {
    heap::release(silence_);
    silence_ = nullptr;
}

ASIOError KsAudioRenderFilter::createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits) {
    if (hasBuffers()) return ASE_InvalidMode;
    if (!validBufferRequest(hostBuffers, frames, hostBits)) return ASE_InvalidParameter;
    if (!allocateSilence(size_t(frames) * (hostBits / 8))) {
        TRACE("KsAudioRenderFilter::createBuffers: Out of memory");
        return ASE_NoMemory;
    }
    const ASIOError result = KsAudioFilter::createBuffers(hostBuffers, frames, hostBits);
    if (result != ASE_OK) {
        releaseSilence();
        return result;
    }
    submitted_[0] = submitted_[1] = false;
    boundaries_[0] = boundaries_[1] = 0.0;
    return ASE_OK;
}

ASIOError KsAudioRenderFilter::createBuffers(ASIOBufferInfo* infos, int32_t count, uint32_t frames) {
    if (hasBuffers()) return ASE_InvalidMode;
    const uint32_t hostBits = getFormat().Format.wBitsPerSample;
    if (!isConvertibleHostBits(hostBits)) return ASE_InvalidMode;
    if (!validBufferRequest(infos, frames, hostBits) && count != 0) return ASE_InvalidParameter;
    if (!allocateSilence(size_t(frames) * (hostBits / 8))) return ASE_NoMemory;
    const ASIOError result = KsAudioFilter::createBuffers(infos, count, frames);
    if (result != ASE_OK) {
        releaseSilence();
        return result;
    }
    submitted_[0] = submitted_[1] = false;
    return ASE_OK;
}

ASIOError KsAudioRenderFilter::disposeBuffers() {
    releaseSilence();
    return KsAudioFilter::disposeBuffers();
}

bool KsAudioRenderFilter::supportsFormat(const WAVEFORMATEXTENSIBLE& format) {
    return static_cast<CKsAudRenFilter*>(getKsFilter())->CanCreateRenderPin(&format.Format);
}

CKsAudPin* KsAudioRenderFilter::createPin(const WAVEFORMATEXTENSIBLE& format, bool looped) {
    return static_cast<CKsAudRenFilter*>(getKsFilter())->CreateRenderPin(&format.Format, looped);
}

ASIOError KsAudioRenderFilter::createConverters(uint32_t frames, uint32_t hostBits, uint32_t* hardwareFrames) {
    disposeConverters();
    *hardwareFrames = frames;
    // Before the first rate is set the host runs at the hardware's rate.
    if (getHostSampleRate() == 0.0) return ASE_OK;
    int32_t made = 0;
    const uint32_t hardwareRate = getFormat().Format.nSamplesPerSec;
    const SamplerateAdapterResult result =
        createRenderAdapters(hardwareRate, getHostSampleRate(), static_cast<int>(hostBits), static_cast<int32_t>(frames),
                             getChannels(), converters_, made, steering() ? kDriftSpread : 0.0);
    const SamplerateAdapterPlan plan = planRenderAdapter(hardwareRate, getHostSampleRate());
    setConversion(plan.kind != SamplerateAdapterKind::None, plan.kind == SamplerateAdapterKind::VariableRate ? plan.ratio : 1.0);
    return convertersResult(result, made, hardwareFrames);
}

SteerableAdapterIf* KsAudioRenderFilter::steeringOf(uint32_t channel) const {
    return channel < kMaxUnitChannels ? converters_[channel] : nullptr;
}

void KsAudioRenderFilter::engage() {
    if (!steerable() || converting()) return;
    for (uint32_t c = 0; c < getChannels(); ++c) converters_[c]->startAtNextBlock();
    setConverting();
}

void KsAudioRenderFilter::convertFromFirstPacket() {
    if (!steerable() || converting() || anyPacketSubmitted()) return;
    setConverting();
    fromFirstPacket_ = true;
}

void KsAudioRenderFilter::disposeConverters() { deleteAdapters(converters_, static_cast<int>(kMaxUnitChannels)); }

uint32_t KsAudioRenderFilter::padToPeriod(uint32_t index, uint32_t frames) {
    // The converters keep back the frames whose windows reach into the next
    // packet; an unconverted first packet holds a whole period. Silence
    // before the converted frames makes up the difference, so that the
    // unit's hardware starts where an unconverted join's would.
    const uint32_t period = getBufferFrames();
    if (frames >= period || period > getHardwareFrames()) return frames;
    const uint32_t frameBytes = getFormat().Format.nBlockAlign;
    const uint32_t missing = period - frames;
    uint8_t* data = packetData(index);
    std::memmove(data + size_t(missing) * frameBytes, data, size_t(frames) * frameBytes);
    std::memset(data, 0, size_t(missing) * frameBytes);
    return period;
}

HRESULT KsAudioRenderFilter::writeData(uint32_t index, bool silent) {
    static void* const kNoHostBuffers[kHostBufferTableSize] = {};
    if (index >= kPackets || !hasBuffers() || getPin() == nullptr) return E_INVALIDARG;
    KSSTREAM_HEADER& header = packet(index).header;
    const bool returned = packetInFlight(index);
    const HRESULT outcome = collectPacket(index);
    if (outcome != S_OK) return outcome;
    setCompleted(returned, boundaries_[index], header.DataUsed / getFormat().Format.nBlockAlign);
    // Only the first submission after createBuffers carries preroll. The
    // flag is dropped here, once the packet is ours again, because the
    // header belongs to the kernel from its submission to its completion.
    if (submitted_[index]) header.OptionsFlags &= ~KSSTREAM_HEADER_OPTIONSF_PREROLL;

    RenderConversion job;
    job.hostBuffers = silent ? kNoHostBuffers : hostBufferTable();
    job.half = index;
    job.channels = getChannels();
    job.containerBits = getFormat().Format.wBitsPerSample;
    job.hostBits = bufferHostBits();
    job.frames = getBufferFrames();
    job.adapters = converting() ? converters_ : nullptr;
    job.silence = silence_;
    job.packet = packetData(index);
    job.packetFrames = getHardwareFrames();
    uint32_t frames = convertRender(job);
    boundaries_[index] = converting() ? converters_[0]->boundaryPosition() : 0.0;
    if (fromFirstPacket_ && silent) frames = padToPeriod(index, frames);
    fromFirstPacket_ = false;
    const int32_t shift = takeShift();
    if (shift != 0) {
        const PacketSplice splice{packetData(index), frames, getHardwareFrames(), getChannels(),
                                  getFormat().Format.wBitsPerSample};
        const int32_t moved = splicePacket(splice, shift);
        frames = static_cast<uint32_t>(int32_t(frames) + moved);
        giveBackShift(shift - moved);
    }

    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0) {
        TRACE("Data discontinuity!");
        header.OptionsFlags = 0;
    } else if (header.OptionsFlags != 0 && header.OptionsFlags != KSSTREAM_HEADER_OPTIONSF_PREROLL) {
        TRACE("Unknown KS flag set %u!", static_cast<unsigned>(header.OptionsFlags));
        header.OptionsFlags = 0;
    }
    header.FrameExtent = header.DataUsed = frames * getFormat().Format.nBlockAlign;
    const HRESULT status = submitPacket(index);
    submitted_[index] = true;
    return status;
}
