#include "engine/ks_audio_capture_filter.h"

#include <cstring>
#include <new>

#include "base/heap.h"
#include "engine/drift_loop.h"
#include "engine/packet_splice.h"
#include "platform/trace.h"
#include "src/adapter_factory.h"

namespace {

CKsAudPin* createCapturePin(CKsAudFilter* ksFilter, const WAVEFORMATEXTENSIBLE& format) {
    return static_cast<CKsAudCapFilter*>(ksFilter)->CreateCapturePin(&format.Format, false);
}

}  // namespace

KsAudioCaptureFilter::KsAudioCaptureFilter(UnitRoutingIf* routing, CKsAudCapFilter* ksFilter, CKsAudPin* pin,
                                           const WAVEFORMATEXTENSIBLE& format, uint16_t hostBits, HRESULT* status)
    : KsAudioFilter(routing, ksFilter, pin, format, hostBits, status) {}

KsAudioCaptureFilter::~KsAudioCaptureFilter() {
    disposeConverters();
    heap::release(stagingMemory_);
}

CKsAudPin* KsAudioCaptureFilter::openPin(UnitRoutingIf* routing, WAVEFORMATEXTENSIBLE* format, UnitOpenFailure* failure) {
    *failure = UnitOpenFailure::NoFilter;
    if (routing == nullptr || format == nullptr) return nullptr;
    CKsAudCapFilter* ksFilter = routing->getCaptureFilter();
    if (!prepareKsFilter(ksFilter)) return nullptr;
    return openFirstPin(routing, true, ksFilter, &createCapturePin, format, failure);
}

KsAudioCaptureFilter* KsAudioCaptureFilter::instantiate(UnitRoutingIf* routing, uint16_t hostBits, UnitOpenFailure* failure) {
    TRACE_ENTER("KsAudioCaptureFilter::instantiate");
    UnitOpenFailure why = UnitOpenFailure::None;
    if (failure == nullptr) failure = &why;
    WAVEFORMATEXTENSIBLE format;
    CKsAudPin* pin = openPin(routing, &format, failure);
    if (pin == nullptr) return nullptr;
    *failure = UnitOpenFailure::NoMemory;
    HRESULT status = E_FAIL;
    KsAudioCaptureFilter* filter = new (std::nothrow)
        KsAudioCaptureFilter(routing, routing->getCaptureFilter(), pin, format, hostBits, &status);
    if (filter == nullptr) {
        TRACE("KsAudioCaptureFilter::instantiate: Out of memory");
        pin->ClosePin();
        return nullptr;
    }
    if (status < 0) {
        TRACE("KsAudioCaptureFilter::instantiate: Device init failed");
        delete filter;
        return nullptr;
    }
    TRACE("Capture pin was successfully created");
    *failure = UnitOpenFailure::None;
    return filter;
}

ASIOError KsAudioCaptureFilter::createBuffers(void* const* hostBuffers, uint32_t frames, uint32_t hostBits) {
    if (hasBuffers()) return ASE_InvalidMode;
    if (!validBufferRequest(hostBuffers, frames, hostBits)) return ASE_InvalidParameter;
    // Every adapter hands back exactly one host buffer per packet, so one
    // buffer of host frames per channel is all the staging needed.
    const size_t channelBytes = size_t(frames) * (hostBits / 8);
    const size_t bytes = channelBytes * getChannels();
    stagingMemory_ = static_cast<uint8_t*>(heap::reallocate(nullptr, bytes));
    if (stagingMemory_ == nullptr) {
        TRACE("KsAudioCaptureFilter::createBuffers: Out of memory");
        return ASE_NoMemory;
    }
    const ASIOError result = KsAudioFilter::createBuffers(hostBuffers, frames, hostBits);
    if (result != ASE_OK) {
        heap::release(stagingMemory_);
        stagingMemory_ = nullptr;
        return result;
    }
    std::memset(stagingMemory_, 0, bytes);
    for (uint32_t c = 0; c < kMaxUnitChannels; ++c)
        staging_[c] = c < getChannels() ? stagingMemory_ + c * channelBytes : nullptr;
    return ASE_OK;
}

ASIOError KsAudioCaptureFilter::createBuffers(ASIOBufferInfo*, int32_t, uint32_t) {
    TRACE("KsAudioCaptureFilter::createBuffers: capture needs the host's accumulators");
    return ASE_NoMemory;
}

ASIOError KsAudioCaptureFilter::disposeBuffers() {
    heap::release(stagingMemory_);
    stagingMemory_ = nullptr;
    for (void*& entry : staging_) entry = nullptr;
    return KsAudioFilter::disposeBuffers();
}

bool KsAudioCaptureFilter::supportsFormat(const WAVEFORMATEXTENSIBLE& format) {
    return static_cast<CKsAudCapFilter*>(getKsFilter())->CanCreateCapturePin(&format.Format);
}

CKsAudPin* KsAudioCaptureFilter::createPin(const WAVEFORMATEXTENSIBLE& format, bool looped) {
    return static_cast<CKsAudCapFilter*>(getKsFilter())->CreateCapturePin(&format.Format, looped);
}

ASIOError KsAudioCaptureFilter::createConverters(uint32_t frames, uint32_t hostBits, uint32_t* hardwareFrames) {
    disposeConverters();
    *hardwareFrames = frames;
    if (getHostSampleRate() == 0.0) return ASE_OK;
    int32_t made = 0;
    const uint32_t hardwareRate = getFormat().Format.nSamplesPerSec;
    const SamplerateAdapterResult result =
        createCaptureAdapters(hardwareRate, getHostSampleRate(), static_cast<int>(hostBits),
                              static_cast<int32_t>(frames), getChannels(), converters_, made,
                              steering() ? kDriftSpread : 0.0);
    const SamplerateAdapterPlan plan = planCaptureAdapter(hardwareRate, getHostSampleRate());
    setConversion(plan.kind != SamplerateAdapterKind::None, plan.kind == SamplerateAdapterKind::VariableRate ? plan.ratio : 1.0);
    const ReadKind first = converting() ? ReadKind::Converted : ReadKind::Unconverted;
    reads_[0] = reads_[1] = Read{first, 0};
    startWanted_ = false;
    return convertersResult(result, made, hardwareFrames);
}

SteerableAdapterIf* KsAudioCaptureFilter::steeringOf(uint32_t channel) const {
    return channel < kMaxUnitChannels ? converters_[channel] : nullptr;
}

void KsAudioCaptureFilter::engage() {
    if (steerable() && !converting()) startWanted_ = true;
}

void KsAudioCaptureFilter::convertFromFirstPacket() {
    if (!steerable() || converting() || anyPacketSubmitted()) return;
    setConverting();
    reads_[0] = reads_[1] = Read{ReadKind::Converted, 0};
    startWanted_ = false;
}

uint32_t KsAudioCaptureFilter::nextRead(uint32_t index) {
    Read& read = reads_[index];
    if (!steering() || !hasConverters()) {
        read = Read{converting() ? ReadKind::Converted : ReadKind::Unconverted, 0};
        return framesToRequest();
    }
    const int32_t host = static_cast<int32_t>(getBufferFrames());
    const ReadKind other = reads_[1 - index].kind;
    int64_t frames = host;
    if (converting() || other == ReadKind::Start) {
        // Counted from where the packet in flight will leave the converter.
        read.kind = ReadKind::Converted;
        frames = converters_[0]->hardwareFramesFor(host);
    } else if (startWanted_) {
        read.kind = ReadKind::Start;
        frames = converters_[0]->hardwareFramesForStart(host);
        startWanted_ = false;
    } else {
        read.kind = ReadKind::Unconverted;
    }
    // A realignment: that many frames more (left out again) or fewer
    // (repeated), as far as the packet and the seam allow.
    const int32_t shift = takeShift();
    int64_t shifted = frames + shift;
    // Frames left out come from a packet that held them; frames repeated
    // need as many again, and the seam, in the packet.
    const int64_t least = frames > kSpliceFadeFrames ? frames - (frames - kSpliceFadeFrames) / 2 : frames;
    if (shifted > getHardwareFrames()) shifted = getHardwareFrames();
    if (shifted < least) shifted = least;
    if (frames < kSpliceFadeFrames) shifted = frames;
    read.shift = static_cast<int32_t>(shifted - frames);
    giveBackShift(shift - read.shift);
    return static_cast<uint32_t>(shifted);
}

uint32_t KsAudioCaptureFilter::undoShift(uint32_t index, uint32_t captured) {
    const int32_t shift = reads_[index].shift;
    if (shift == 0) return captured;
    const PacketSplice splice{packetData(index), captured, getHardwareFrames(), getChannels(),
                              getFormat().Format.wBitsPerSample};
    const int32_t moved = splicePacket(splice, -shift);
    return static_cast<uint32_t>(int32_t(captured) + moved);
}

void KsAudioCaptureFilter::disposeConverters() { deleteAdapters(converters_, static_cast<int>(kMaxUnitChannels)); }

uint32_t KsAudioCaptureFilter::framesToRequest() const {
    if (!hasBuffers()) return 0;
    int64_t frames = getBufferFrames();
    if (hasConverters()) frames = converters_[0]->hardwareFramesFor(static_cast<int32_t>(getBufferFrames()));
    if (frames < 0) frames = 0;
    if (frames > getHardwareFrames()) frames = getHardwareFrames();
    return static_cast<uint32_t>(frames);
}

HRESULT KsAudioCaptureFilter::readData(uint32_t index) {
    if (index >= kPackets || !hasBuffers() || getPin() == nullptr) return E_INVALIDARG;
    StreamPacket& p = packet(index);
    KSSTREAM_HEADER& header = p.header;
    const uint32_t blockAlign = getFormat().Format.nBlockAlign;
    const bool returned = packetInFlight(index);
    lastShortfall_ = 0;
    const HRESULT outcome = collectPacket(index);
    if (outcome != S_OK) return outcome;
    if (returned && header.DataUsed == 0) {
        // USB devices hand back empty captures after a glitch, and keep doing
        // so at once when resubmitted: never audio, and no reason to spin.
        TRACE("KsAudioCaptureFilter: capture packet %u came back empty", index);
        return E_FAIL;
    }
    // A header still carrying preroll has not been read into yet.
    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_PREROLL) == 0) {
        if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0) TRACE("Data discontinuity!");
        // A device must not claim more than the packet holds.
        uint32_t used = header.DataUsed < header.FrameExtent ? header.DataUsed : header.FrameExtent;
        uint32_t captured = blockAlign != 0 ? used / blockAlign : 0;
        if (captured > getHardwareFrames()) captured = getHardwareFrames();
        if (returned && captured < packetFrames(index)) lastShortfall_ = packetFrames(index) - captured;
        const uint32_t spanned = captured;
        captured = undoShift(index, captured);
        const ReadKind kind = reads_[index].kind;
        if (kind == ReadKind::Start) {
            for (uint32_t c = 0; c < getChannels(); ++c) converters_[c]->startAtNextBlock();
            setConverting();
        }
        CaptureConversion job;
        job.hostBuffers = hostBufferTable();
        job.half = index;
        job.channels = getChannels();
        job.containerBits = getFormat().Format.wBitsPerSample;
        job.hostBits = bufferHostBits();
        job.frames = getBufferFrames();
        job.adapters = kind != ReadKind::Unconverted ? converters_ : nullptr;
        job.staging = staging_;
        job.packet = packetData(index);
        job.capturedFrames = captured;
        convertCapture(job);
        setCompleted(returned, job.adapters != nullptr ? converters_[0]->boundaryPosition() : 0.0, spanned);
    } else {
        setCompleted(false, 0.0, 0);
    }
    header.OptionsFlags = 0;
    const uint32_t frames = nextRead(index);
    TRACE("SamplesToRead %u", frames);
    header.FrameExtent = frames * blockAlign;
    header.DataUsed = 0;
    return submitPacket(index);
}
