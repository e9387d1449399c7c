#include "sim/filter_model.h"

#include <cstring>

#include "platform/errors.h"

namespace sim {
namespace {

constexpr uint32_t kHugeSize = 0x7FFFFFF0u;
constexpr uint32_t kMaxFormatSize = 4096;

// Serialises a reply and remembers whether it is a multi-item list, which
// is what the malformation faults and the huge size query apply to.
struct Reply {
    std::vector<uint8_t> bytes;
    bool multiItem = false;

    template <typename T>
    void put(const T& value) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof(T));
    }
    void putText(const std::u16string& text) {
        for (char16_t unit : text) put(static_cast<uint16_t>(unit));
        put(static_cast<uint16_t>(0));
    }
    // Starts a KSMULTIPLE_ITEM list; finish() fills in its header.
    void beginMulti() {
        multiItem = true;
        KSMULTIPLE_ITEM header{};
        put(header);
    }
    void finishMulti(uint32_t count, const Faults& faults) {
        KSMULTIPLE_ITEM header{};
        header.Size = static_cast<ULONG>(bytes.size());
        header.Count = count + (faults.malformed == Malformation::ItemCountTooLarge ? 3u : 0u);
        std::memcpy(bytes.data(), &header, sizeof(header));
    }
};

PinDescription streamingPin(bool capture, std::vector<FormatRange> formats) {
    PinDescription pin;
    pin.dataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    pin.streaming = true;
    pin.capture = capture;
    pin.formats = std::move(formats);
    pin.category = KSCATEGORY_AUDIO;
    pin.name = capture ? u"Capture" : u"Playback";
    pin.possibleInstances = 1;
    return pin;
}

PinDescription bridgePin(KSPIN_DATAFLOW dataFlow, const GUID& category, const char16_t* name) {
    PinDescription pin;
    pin.dataFlow = dataFlow;
    pin.communication = KSPIN_COMMUNICATION_NONE;
    pin.streaming = false;
    pin.capture = false;
    pin.category = category;
    pin.name = name;
    pin.possibleInstances = 0;
    return pin;
}

KSTOPOLOGY_CONNECTION link(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin) {
    KSTOPOLOGY_CONNECTION c{};
    c.FromNode = fromNode;
    c.FromNodePin = fromPin;
    c.ToNode = toNode;
    c.ToNodePin = toPin;
    return c;
}

void putAudioRanges(Reply& reply, const PinDescription& pin, const Faults& faults) {
    const size_t count = pin.formats.size();
    for (size_t i = 0; i < count; ++i) {
        const FormatRange& f = pin.formats[i];
        KSDATARANGE_AUDIO range{};
        range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
        range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        range.DataRange.SubFormat = faults.wildcardRanges ? GUID_NULL : KSDATAFORMAT_SUBTYPE_PCM;
        range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        // Ranges publish valid bits; the container is the device's business.
        range.MaximumChannels = f.channels;
        range.MinimumBitsPerSample = f.bits;
        range.MaximumBitsPerSample = f.bits;
        range.MinimumSampleFrequency = f.minRate;
        range.MaximumSampleFrequency = f.maxRate;
        size_t bytes = sizeof(range);
        if (i == 0 && faults.malformed == Malformation::RangeSizeZero) range.DataRange.FormatSize = 0;
        if (i == 0 && faults.malformed == Malformation::RangeSizeTooSmall) {
            range.DataRange.FormatSize = sizeof(KSDATARANGE);
            bytes = sizeof(KSDATARANGE);
        }
        if (i + 1 == count && faults.malformed == Malformation::RangePastEnd) range.DataRange.FormatSize += 4096;
        const uint8_t* p = reinterpret_cast<const uint8_t*>(&range);
        reply.bytes.insert(reply.bytes.end(), p, p + bytes);
    }
}

void putBridgeRange(Reply& reply) {
    KSDATARANGE range{};
    range.FormatSize = sizeof(KSDATARANGE);
    range.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    range.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    reply.put(range);
}

// Builds the reply of one pin property; false with *error for requests the
// pin does not answer.
bool pinReply(const FilterDescription& filter, const std::vector<uint32_t>& instances, const Faults& faults,
              ULONG id, ULONG pinId, Reply& reply, DWORD* error) {
    const PinDescription& pin = filter.pins[pinId];
    switch (id) {
        case KSPROPERTY_PIN_CINSTANCES:
        case KSPROPERTY_PIN_GLOBALCINSTANCES: {
            KSPIN_CINSTANCES counts{};
            counts.PossibleCount = pin.possibleInstances;
            counts.CurrentCount = pinId < instances.size() ? instances[pinId] : 0;
            if (pin.streaming && faults.inUse) counts.CurrentCount = pin.possibleInstances;
            reply.put(counts);
            return true;
        }
        case KSPROPERTY_PIN_DATAFLOW:
            reply.put(static_cast<ULONG>(pin.dataFlow));
            return true;
        case KSPROPERTY_PIN_COMMUNICATION:
            reply.put(static_cast<ULONG>(pin.communication));
            return true;
        case KSPROPERTY_PIN_NECESSARYINSTANCES:
            reply.put(static_cast<ULONG>(0));
            return true;
        case KSPROPERTY_PIN_INTERFACES:
        case KSPROPERTY_PIN_MEDIUMS: {
            reply.beginMulti();
            KSIDENTIFIER item{};
            item.Set = id == KSPROPERTY_PIN_INTERFACES ? KSINTERFACESETID_Standard : KSMEDIUMSETID_Standard;
            item.Id = id == KSPROPERTY_PIN_INTERFACES ? static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING)
                                                      : KSMEDIUM_TYPE_ANYINSTANCE;
            reply.put(item);
            reply.finishMulti(1, faults);
            return true;
        }
        case KSPROPERTY_PIN_DATARANGES:
        case KSPROPERTY_PIN_CONSTRAINEDDATARANGES:
            reply.beginMulti();
            if (pin.streaming) {
                putAudioRanges(reply, pin, faults);
                reply.finishMulti(static_cast<uint32_t>(pin.formats.size()), faults);
            } else {
                putBridgeRange(reply);
                reply.finishMulti(1, faults);
            }
            return true;
        case KSPROPERTY_PIN_CATEGORY:
            reply.put(pin.category);
            return true;
        case KSPROPERTY_PIN_NAME:
            reply.putText(pin.name);
            return true;
        default:
            *error = os::kErrorNotFound;
            return false;
    }
}

bool topologyReply(const FilterDescription& filter, const Faults& faults, ULONG id, const uint8_t* in, DWORD inSize,
                   Reply& reply, DWORD* error) {
    switch (id) {
        case KSPROPERTY_TOPOLOGY_CATEGORIES:
            reply.beginMulti();
            for (const GUID& category : filter.categories) reply.put(category);
            reply.finishMulti(static_cast<uint32_t>(filter.categories.size()), faults);
            return true;
        case KSPROPERTY_TOPOLOGY_NODES:
            reply.beginMulti();
            for (const NodeDescription& node : filter.nodes) reply.put(node.type);
            reply.finishMulti(static_cast<uint32_t>(filter.nodes.size()), faults);
            return true;
        case KSPROPERTY_TOPOLOGY_CONNECTIONS:
            reply.beginMulti();
            for (const KSTOPOLOGY_CONNECTION& c : filter.connections) reply.put(c);
            reply.finishMulti(static_cast<uint32_t>(filter.connections.size()), faults);
            return true;
        case KSPROPERTY_TOPOLOGY_NAME: {
            if (inSize < sizeof(KSP_NODE)) {
                *error = os::kErrorInvalidParameter;
                return false;
            }
            KSP_NODE request;
            std::memcpy(&request, in, sizeof(request));
            if (request.NodeId >= filter.nodes.size()) {
                *error = os::kErrorInvalidParameter;
                return false;
            }
            reply.putText(filter.nodes[request.NodeId].name);
            return true;
        }
        default:
            *error = os::kErrorNotFound;
            return false;
    }
}

uint32_t bitCount(uint32_t v) {
    uint32_t n = 0;
    for (; v != 0; v &= v - 1) ++n;
    return n;
}

}  // namespace

FilterDescription describeFilter(const ControllerConfig& config) {
    FilterDescription filter;
    filter.categories = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
    filter.renderPin = 0;
    filter.pins.push_back(streamingPin(
        false, config.renderRanges.empty() ? renderFormats(config.model, config.layout) : config.renderRanges));
    filter.pins.push_back(bridgePin(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER, u"Speakers"));
    filter.nodes.push_back({KSNODETYPE_VOLUME, u"Volume"});
    filter.nodes.push_back({KSNODETYPE_DAC, u"DAC"});
    filter.connections.push_back(link(KSFILTER_NODE, 0, 0, KSNODEPIN_STANDARD_IN));
    filter.connections.push_back(link(0, KSNODEPIN_STANDARD_OUT, 1, KSNODEPIN_STANDARD_IN));
    filter.connections.push_back(link(1, KSNODEPIN_STANDARD_OUT, KSFILTER_NODE, 1));

    std::vector<FormatRange> capture = captureFormats(config.model, config.layout);
    if (!capture.empty() && !config.captureRanges.empty()) capture = config.captureRanges;
    if (!capture.empty()) {
        filter.categories.push_back(KSCATEGORY_CAPTURE);
        filter.pins.push_back(bridgePin(KSPIN_DATAFLOW_IN, KSNODETYPE_LINE_CONNECTOR, u"Line In"));
        filter.capturePin = static_cast<int>(filter.pins.size());
        filter.pins.push_back(streamingPin(true, std::move(capture)));
        filter.nodes.push_back({KSNODETYPE_ADC, u"ADC"});
        filter.nodes.push_back({KSNODETYPE_VOLUME, u"Capture Volume"});
        filter.connections.push_back(link(KSFILTER_NODE, 2, 2, KSNODEPIN_STANDARD_IN));
        filter.connections.push_back(link(2, KSNODEPIN_STANDARD_OUT, 3, KSNODEPIN_STANDARD_IN));
        filter.connections.push_back(link(3, KSNODEPIN_STANDARD_OUT, KSFILTER_NODE, 3));
    }
    return filter;
}

PropertyReply answerFilterProperty(const FilterDescription& filter, const std::vector<uint32_t>& currentInstances,
                                   const Faults& faults, const void* in, DWORD inSize, void* out, DWORD outSize) {
    PropertyReply result;
    if (in == nullptr || inSize < sizeof(KSPROPERTY) || (out == nullptr && outSize != 0)) {
        result.error = os::kErrorInvalidParameter;
        return result;
    }
    const uint8_t* request = static_cast<const uint8_t*>(in);
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof(property));
    if ((property.Flags & KSPROPERTY_TYPE_GET) == 0) {
        // Every filter property of these sets is read-only; support queries
        // are not answered either.
        result.error = (property.Flags & KSPROPERTY_TYPE_SET) != 0 ? os::kErrorInvalidFunction : os::kErrorNotFound;
        return result;
    }

    Reply reply;
    DWORD error = 0;
    bool answered = false;
    if (os::guidEquals(property.Set, KSPROPSETID_Pin)) {
        if (property.Id == KSPROPERTY_PIN_CTYPES) {
            reply.put(static_cast<ULONG>(filter.pins.size()));
            answered = true;
        } else if (inSize < sizeof(KSP_PIN)) {
            error = os::kErrorInvalidParameter;
        } else {
            KSP_PIN pinRequest;
            std::memcpy(&pinRequest, request, sizeof(pinRequest));
            if (pinRequest.PinId >= filter.pins.size())
                error = os::kErrorInvalidParameter;
            else
                answered = pinReply(filter, currentInstances, faults, property.Id, pinRequest.PinId, reply, &error);
        }
    } else if (os::guidEquals(property.Set, KSPROPSETID_Topology)) {
        answered = topologyReply(filter, faults, property.Id, request, inSize, reply, &error);
    } else {
        error = kErrorSetNotFound;
    }
    if (!answered) {
        result.error = error;
        return result;
    }

    const DWORD needed = static_cast<DWORD>(reply.bytes.size());
    if (outSize == 0) {
        result.error = faults.sizeQueryInsufficientBuffer ? os::kErrorInsufficientBuffer : os::kErrorMoreData;
        result.bytes = reply.multiItem && faults.malformed == Malformation::HugeSizeQuery ? kHugeSize : needed;
        return result;
    }
    if (outSize < needed) {
        result.error = os::kErrorInsufficientBuffer;
        result.bytes = needed;
        return result;
    }
    std::memcpy(out, reply.bytes.data(), needed);
    result.bytes = needed;
    return result;
}

DWORD checkConnection(const FilterDescription& filter, const Faults& faults, const KSPIN_CONNECT* connect,
                      StreamFormat* format, uint32_t* pinId) {
    if (connect == nullptr || format == nullptr || pinId == nullptr) return os::kErrorInvalidParameter;
    KSPIN_CONNECT request;
    std::memcpy(&request, connect, sizeof(request));
    if (request.PinId >= filter.pins.size()) return os::kErrorInvalidParameter;
    const PinDescription& pin = filter.pins[request.PinId];
    if (!pin.streaming) return os::kErrorInvalidFunction;
    if (!os::guidEquals(request.Interface.Set, KSINTERFACESETID_Standard) ||
        request.Interface.Id != KSINTERFACE_STANDARD_STREAMING)
        return kErrorNoMatch;  // USB audio pins do not loop
    if (!os::guidEquals(request.Medium.Set, KSMEDIUMSETID_Standard) || request.Medium.Id != KSMEDIUM_TYPE_ANYINSTANCE)
        return kErrorNoMatch;
    if (request.PinToHandle != nullptr) return os::kErrorInvalidParameter;

    const uint8_t* dataFormatBytes = reinterpret_cast<const uint8_t*>(connect) + sizeof(KSPIN_CONNECT);
    KSDATAFORMAT dataFormat;
    std::memcpy(&dataFormat, dataFormatBytes, sizeof(dataFormat));
    if (dataFormat.FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX) || dataFormat.FormatSize > kMaxFormatSize)
        return os::kErrorInvalidParameter;
    if (!os::guidEquals(dataFormat.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !os::guidEquals(dataFormat.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
        !os::guidEquals(dataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_PCM))
        return kErrorNoMatch;

    const uint8_t* waveBytes = dataFormatBytes + sizeof(KSDATAFORMAT);
    WAVEFORMATEX wave;
    std::memcpy(&wave, waveBytes, sizeof(wave));
    StreamFormat accepted;
    accepted.channels = wave.nChannels;
    accepted.containerBits = wave.wBitsPerSample;
    accepted.validBits = wave.wBitsPerSample;
    accepted.rate = wave.nSamplesPerSec;
    accepted.blockAlign = wave.nBlockAlign;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        if (wave.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
            dataFormat.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE))
            return os::kErrorInvalidParameter;
        WAVEFORMATEXTENSIBLE extensible;
        std::memcpy(&extensible, waveBytes, sizeof(extensible));
        if (!os::guidEquals(extensible.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return kErrorNoMatch;
        const uint32_t valid = extensible.Samples.wValidBitsPerSample;
        if (valid > wave.wBitsPerSample) return kErrorNoMatch;
        if (valid != 0) accepted.validBits = valid;
        accepted.channelMask = extensible.dwChannelMask;
        if (bitCount(accepted.channelMask) > wave.nChannels) return kErrorNoMatch;
        if (faults.channelMask != Faults::kAnyChannelMask && accepted.channelMask != faults.channelMask)
            return kErrorNoMatch;
    } else if (wave.wFormatTag != WAVE_FORMAT_PCM) {
        return kErrorNoMatch;
    } else if (faults.extensibleOnly && (wave.wBitsPerSample > 16 || wave.nChannels > 2)) {
        // The USB audio class driver wants these formats in their extensible form.
        return kErrorNoMatch;
    }
    if (accepted.channels == 0 || accepted.containerBits == 0 || accepted.containerBits % 8 != 0 ||
        accepted.containerBits > 32 || accepted.validBits < 8)
        return kErrorNoMatch;
    if (accepted.blockAlign != accepted.channels * accepted.containerBits / 8 ||
        wave.nAvgBytesPerSec != accepted.blockAlign * accepted.rate)
        return os::kErrorInvalidParameter;

    for (const FormatRange& range : pin.formats) {
        // Like USB audio filters, a range admits its exact channel count only,
        // and its valid bits in the container its device carries them in.
        if (range.channels == accepted.channels && range.bits == accepted.validBits &&
            range.container() == accepted.containerBits &&
            accepted.rate >= range.minRate && accepted.rate <= range.maxRate) {
            *format = accepted;
            *pinId = request.PinId;
            return 0;
        }
    }
    return kErrorNoMatch;
}

}  // namespace sim
