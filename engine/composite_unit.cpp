#include "engine/composite_unit.h"

#include <cmath>
#include <new>

#include "engine/audio_device.h"
#include "engine/ks_audio_capture_filter.h"
#include "engine/ks_audio_render_filter.h"
#include "src/adapter_factory.h"
#include "src/variable_rate_kernel.h"

bool CompositeUnit::routesDirection(const AsioDeviceInfo& record, bool input) {
    const AsioDeviceConfigurationIf* configuration = record.getActiveConfiguration();
    if (configuration == nullptr) return false;
    const uint8_t channels = input ? configuration->getNumberOfInputs() : configuration->getNumberOfOutputs();
    for (uint8_t c = 0; c < channels; ++c) {
        const uint8_t routed =
            input ? configuration->getInputAsioChannel(c) : configuration->getOutputAsioChannel(c);
        if (routed != kUnitChannelUnrouted) return true;
    }
    return false;
}

CompositeUnit::CompositeUnit(AsioDeviceInfo* record, bool input) : routing_(record), input_(input) {}

CompositeUnit* CompositeUnit::create(AsioDeviceInfo* record, bool input, uint16_t hostBits,
                                     UnitOpenFailure* failure) {
    UnitOpenFailure why = UnitOpenFailure::NoFilter;
    if (failure == nullptr) failure = &why;
    *failure = UnitOpenFailure::NoFilter;
    if (record == nullptr) return nullptr;
    *failure = UnitOpenFailure::NoMemory;
    CompositeUnit* unit = new (std::nothrow) CompositeUnit(record, input);
    if (unit == nullptr) return nullptr;
    if (input)
        unit->filter_ = KsAudioCaptureFilter::instantiate(&unit->routing_, hostBits, failure);
    else
        unit->filter_ = KsAudioRenderFilter::instantiate(&unit->routing_, hostBits, failure);
    if (unit->filter_ == nullptr) {
        delete unit;
        return nullptr;
    }
    return unit;
}

CompositeUnit::~CompositeUnit() {
    if (watch_ != 0) os::deviceBoundary().unwatch(watch_);
    delete filter_;
}

void CompositeUnit::watchDevice(os::DeviceNoticeSinkIf* sink, uint64_t cookie) {
    cookie_ = cookie;
    CKsAudFilter* ks = ksFilter();
    if (ks != nullptr) watch_ = os::deviceBoundary().watchDevice(ks->GetHandle(), sink, cookie);
}

os::DeviceWatch CompositeUnit::releaseWatch() {
    const os::DeviceWatch watch = watch_;
    watch_ = 0;
    return watch;
}

bool CompositeUnit::serves(int32_t asioChannel) const {
    const uint32_t channels = hardwareChannels();
    for (uint32_t c = 0; c < channels; ++c)
        if (this->asioChannel(c) == asioChannel) return true;
    return false;
}

bool CompositeUnit::servesRequested(const bool* requested) const {
    const uint32_t channels = hardwareChannels();
    for (uint32_t c = 0; c < channels; ++c) {
        const uint8_t routed = asioChannel(c);
        if (routed < kAsioInputChannels && requested[asioChannelTableIndex(routed, input_)]) return true;
    }
    return false;
}

HRESULT CompositeUnit::transferPacket(uint32_t half, uint64_t nowNs, bool timely, uint64_t* gapFrames) {
    if (gapFrames != nullptr) *gapFrames = 0;
    const bool wasOut = filter_->packetInFlight(half);
    auto* capture = input_ ? static_cast<KsAudioCaptureFilter*>(filter_) : nullptr;
    const HRESULT status =
        capture != nullptr ? capture->readData(half) : static_cast<KsAudioRenderFilter*>(filter_)->writeData(half);
    if (status == S_FALSE) return status;
    lastReturnNs_ = cameBack_[half] ? returnedNs_[half] : nowNs;
    cameBack_[half] = false;
    if (wasOut) gaps_.returned(half, nowNs, timely);
    if (status < 0) return status;
    uint64_t gap = capture != nullptr ? gaps_.shortCapture(capture->lastShortfall()) : 0;
    gap += gaps_.submitted(half, filter_->packetFrames(half), nowNs, filter_->otherWithDeviceAtSubmit());
    if (gapFrames != nullptr) *gapFrames = gap;
    return status;
}

void CompositeUnit::packetReturned(uint32_t packet, uint64_t atNs, bool timely) {
    cameBack_[packet] = true;
    returnedNs_[packet] = atNs;
    gaps_.returned(packet, atNs, timely);
}

HRESULT CompositeUnit::primePacket(uint32_t packet, bool silent) {
    const HRESULT status = input_ ? static_cast<KsAudioCaptureFilter*>(filter_)->readData(packet)
                                  : static_cast<KsAudioRenderFilter*>(filter_)->writeData(packet, silent);
    if (status >= 0) gaps_.submitted(packet, filter_->packetFrames(packet), 0, false);
    return status;
}

size_t CompositeUnit::Routing::getNumberOfFormats() {
    const AsioDeviceConfigurationIf* configuration = record_->getActiveConfiguration();
    return configuration != nullptr ? configuration->getNumberOfFormats() : 0;
}

bool CompositeUnit::Routing::getFormat(size_t index, UnitWaveFormat* format) {
    const AsioDeviceConfigurationIf* configuration = record_->getActiveConfiguration();
    AsioDeviceFormat listed;
    if (format == nullptr || configuration == nullptr || !configuration->getFormat(index, &listed)) return false;
    format->inputs = listed.inputs;
    format->outputs = listed.outputs;
    format->sampleRate = listed.sampleRate;
    format->bitsPerSample = listed.bitsPerSample;
    return true;
}

uint8_t CompositeUnit::Routing::getInputAsioChannel(size_t channel) {
    const AsioDeviceConfigurationIf* configuration = record_->getActiveConfiguration();
    return configuration != nullptr ? configuration->getInputAsioChannel(channel) : kUnitChannelUnrouted;
}

uint8_t CompositeUnit::Routing::getOutputAsioChannel(size_t channel) {
    const AsioDeviceConfigurationIf* configuration = record_->getActiveConfiguration();
    return configuration != nullptr ? configuration->getOutputAsioChannel(channel) : kUnitChannelUnrouted;
}

uint32_t CompositeUnit::conversionDelay(double hostRate) const {
    const uint32_t hardwareRate = filter_->getFormat().Format.nSamplesPerSec;
    if (hardwareRate == 0 || !(hostRate > 0.0)) return 0;
    const SamplerateAdapterKind kind = input_ ? planCaptureAdapter(hardwareRate, hostRate).kind
                                              : planRenderAdapter(hardwareRate, hostRate).kind;
    // Repeating or averaging samples moves them by less than a frame, and
    // the render side's interpolator starts its windows ahead of the first
    // sample, which makes up for its own centre (measured: within two
    // frames). The capture side's interpolator is primed so that the first
    // packet yields a whole host buffer: a sample comes out a window's
    // half-width of hardware frames later, plus on average a few host frames
    // held back between packets (measured on the loopback round trip).
    if (kind != SamplerateAdapterKind::VariableRate || !input_) return 0;
    constexpr double kHeldBetweenPackets = 4.0;
    const double centre = (src_detail::kTaps - 1) / 2.0;
    return static_cast<uint32_t>(std::lround(centre * hostRate / hardwareRate + kHeldBetweenPackets));
}
