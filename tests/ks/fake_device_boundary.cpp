#include "tests/ks/fake_device_boundary.h"

#include <cstring>

#include "platform/errors.h"
#include "platform/guid.h"

namespace kstest {

namespace {

constexpr uint32_t kStatusBufferOverflow = 0x80000005u;
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023u;
// What a filter answers for a property set it does not support.
constexpr DWORD kErrorSetNotFound = 1170;

KSIDENTIFIER Identifier(const GUID& set, ULONG id) {
    KSIDENTIFIER item;
    std::memset(&item, 0, sizeof(item));
    item.Set = set;
    item.Id = id;
    return item;
}

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

uint32_t StatusOf(DWORD error) {
    switch (error) {
        case 0:
            return ksabi::kStatusSuccess;
        case os::kErrorMoreData:
            return kStatusBufferOverflow;
        case os::kErrorInsufficientBuffer:
            return kStatusBufferTooSmall;
        case os::kErrorCrc:
            return ksabi::kStatusCrcError;
        default:
            return ksabi::kStatusUnsuccessful;
    }
}

void Signal(OVERLAPPED* overlapped) {
    os::setEvent(reinterpret_cast<os::Handle>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1}));
}

}  // namespace

FakePin::FakePin()
    : interfaces{Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)},
      mediums{Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE)},
      dataRanges(DataRangeReply({AudioRange(2, 16, 24, 44100, 48000)})) {}

KSDATARANGE_AUDIO AudioRange(ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                             const GUID& subFormat, const GUID& majorFormat) {
    KSDATARANGE_AUDIO range;
    std::memset(&range, 0, sizeof(range));
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.MajorFormat = majorFormat;
    range.DataRange.SubFormat = subFormat;
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = channels;
    range.MinimumBitsPerSample = minBits;
    range.MaximumBitsPerSample = maxBits;
    range.MinimumSampleFrequency = minRate;
    range.MaximumSampleFrequency = maxRate;
    return range;
}

std::vector<uint8_t> MultiItemReply(ULONG count, const void* items, size_t bytes) {
    KSMULTIPLE_ITEM header{static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + bytes), count};
    std::vector<uint8_t> reply(sizeof(header) + bytes);
    std::memcpy(reply.data(), &header, sizeof(header));
    if (bytes > 0) std::memcpy(reply.data() + sizeof(header), items, bytes);
    return reply;
}

std::vector<uint8_t> DataRangeReply(const std::vector<KSDATARANGE_AUDIO>& ranges) {
    return MultiItemReply(static_cast<ULONG>(ranges.size()), ranges.data(), ranges.size() * sizeof(KSDATARANGE_AUDIO));
}

WAVEFORMATEX PcmFormat(WORD channels, WORD bits, DWORD rate) {
    WAVEFORMATEX format;
    std::memset(&format, 0, sizeof(format));
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

WAVEFORMATEXTENSIBLE ExtensibleFormat(WORD channels, WORD bits, DWORD rate, const GUID& subFormat) {
    WAVEFORMATEXTENSIBLE format;
    std::memset(&format, 0, sizeof(format));
    format.Format = PcmFormat(channels, bits, rate);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = channels == 2 ? 3u : 0u;
    format.SubFormat = subFormat;
    return format;
}

HANDLE FakeDeviceBoundary::filterHandle() const {
    for (const auto& [value, entry] : handles_)
        if (entry.kind == Kind::Filter) return reinterpret_cast<HANDLE>(value);
    return INVALID_HANDLE_VALUE;
}

HANDLE FakeDeviceBoundary::openDevice(const char* path, DWORD desiredAccess, DWORD shareMode,
                                      DWORD creationDisposition, DWORD flagsAndAttributes) {
    ++opens;
    lastOpenAccess = desiredAccess;
    lastOpenShare = shareMode;
    lastOpenDisposition = creationDisposition;
    lastOpenFlags = flagsAndAttributes;
    if (openError != 0) {
        os::setLastError(openError);
        return INVALID_HANDLE_VALUE;
    }
    if (path == nullptr || filterPath != path) {
        os::setLastError(os::kErrorFileNotFound);
        return INVALID_HANDLE_VALUE;
    }
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = Entry{Kind::Filter, 0};
    return reinterpret_cast<HANDLE>(value);
}

bool FakeDeviceBoundary::closeDevice(HANDLE device) {
    ++closes;
    if (handles_.erase(reinterpret_cast<uintptr_t>(device)) == 0) {
        ++badCloses;
        os::setLastError(os::kErrorInvalidHandle);
        return false;
    }
    return true;
}

FakeReply FakeDeviceBoundary::PinReply(ULONG pinId, const GUID& set, ULONG id) {
    FakeReply reply;
    if (replyHook && replyHook(pinId, set, id, &reply)) return reply;
    if (!os::guidEquals(set, KSPROPSETID_Pin)) {
        reply.error = kErrorSetNotFound;
        return reply;
    }
    if (id == KSPROPERTY_PIN_CTYPES) {
        reply.data = Bytes(static_cast<ULONG>(pins.size()));
        return reply;
    }
    if (pinId >= pins.size()) {
        reply.error = os::kErrorNotFound;
        return reply;
    }
    const FakePin& pin = pins[pinId];
    if (pin.failingProperties.count(id) != 0) {
        reply.error = os::kErrorGenFailure;
        return reply;
    }
    switch (id) {
        case KSPROPERTY_PIN_COMMUNICATION:
            reply.data = Bytes(pin.communication);
            break;
        case KSPROPERTY_PIN_DATAFLOW:
            reply.data = Bytes(pin.dataFlow);
            break;
        case KSPROPERTY_PIN_INTERFACES:
            reply.data = MultiItemReply(static_cast<ULONG>(pin.interfaces.size()), pin.interfaces.data(),
                                        pin.interfaces.size() * sizeof(KSPIN_INTERFACE));
            break;
        case KSPROPERTY_PIN_MEDIUMS:
            reply.data = MultiItemReply(static_cast<ULONG>(pin.mediums.size()), pin.mediums.data(),
                                        pin.mediums.size() * sizeof(KSPIN_MEDIUM));
            break;
        case KSPROPERTY_PIN_DATARANGES:
            reply.data = pin.dataRanges;
            break;
        case KSPROPERTY_PIN_CINSTANCES:
            reply.data = Bytes(pin.instances);
            break;
        case KSPROPERTY_PIN_GLOBALCINSTANCES:
            reply.data = Bytes(pin.globalInstances);
            break;
        case KSPROPERTY_PIN_CATEGORY:
            reply.data = Bytes(pin.category);
            break;
        case KSPROPERTY_PIN_NAME: {
            size_t bytes = (pin.name.size() + 1) * sizeof(char16_t);
            reply.data.resize(bytes);
            std::memcpy(reply.data.data(), pin.name.c_str(), bytes);
            break;
        }
        default:
            reply.error = os::kErrorNotFound;
            break;
    }
    return reply;
}

FakeReply FakeDeviceBoundary::FilterReply(const GUID& set, ULONG id) {
    FakeReply reply;
    if (replyHook && replyHook(kFilterLevel, set, id, &reply)) return reply;
    if (os::guidEquals(set, KSPROPSETID_Topology) && id == KSPROPERTY_TOPOLOGY_NODES) {
        if (!nodes.empty()) reply.data = MultiItemReply(static_cast<ULONG>(nodes.size()), nodes.data(),
                                                        nodes.size() * sizeof(GUID));
        return reply;
    }
    reply.error = os::kErrorNotFound;
    return reply;
}

bool FakeDeviceBoundary::Finish(DWORD error, DWORD bytes, DWORD* bytesReturned, OVERLAPPED* overlapped) {
    if (pendRequests && overlapped != nullptr) {
        overlapped->Internal = StatusOf(error);
        overlapped->InternalHigh = bytes;
        Signal(overlapped);
        os::setLastError(os::kErrorIoPending);
        return false;
    }
    if (bytesReturned != nullptr) *bytesReturned = bytes;
    if (error != 0) {
        os::setLastError(error);
        return false;
    }
    return true;
}

bool FakeDeviceBoundary::Answer(const FakeReply& reply, void* out, DWORD outSize, DWORD* bytesReturned,
                                OVERLAPPED* overlapped) {
    if (reply.error != 0) return Finish(reply.error, 0, bytesReturned, overlapped);
    DWORD size = reply.overrideSize ? reply.reportedSize : static_cast<DWORD>(reply.data.size());
    if (outSize == 0 && size > 0) {
        DWORD error = sizeQueriesInsufficientBuffer ? os::kErrorInsufficientBuffer : os::kErrorMoreData;
        return Finish(error, size, bytesReturned, overlapped);
    }
    if (outSize < reply.data.size()) return Finish(os::kErrorMoreData, size, bytesReturned, overlapped);
    if (!reply.data.empty()) std::memcpy(out, reply.data.data(), reply.data.size());
    return Finish(0, static_cast<DWORD>(reply.data.size()), bytesReturned, overlapped);
}

bool FakeDeviceBoundary::PinRequest(Entry& entry, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                    DWORD* bytesReturned, OVERLAPPED* overlapped) {
    if (code == IOCTL_KS_PROPERTY) {
        KSPROPERTY property;
        if (inSize < sizeof(property) || outSize < sizeof(ULONG)) return Finish(os::kErrorInvalidParameter, 0,
                                                                                bytesReturned, overlapped);
        std::memcpy(&property, in, sizeof(property));
        if (!os::guidEquals(property.Set, KSPROPSETID_Connection) || property.Id != KSPROPERTY_CONNECTION_STATE ||
            property.Flags != KSPROPERTY_TYPE_SET)
            return Finish(os::kErrorNotFound, 0, bytesReturned, overlapped);
        if (stateChangeError != 0) return Finish(stateChangeError, 0, bytesReturned, overlapped);
        ULONG state = 0;
        std::memcpy(&state, out, sizeof(state));
        statesSet.push_back(static_cast<KSSTATE>(state));
        return Finish(0, 0, bytesReturned, overlapped);
    }
    bool write = code == IOCTL_KS_WRITE_STREAM;
    if (!write && code != IOCTL_KS_READ_STREAM) return Finish(os::kErrorInvalidFunction, 0, bytesReturned, nullptr);
    (write ? writeAttempts : readAttempts)++;
    lastStreamOutSize = outSize;
    std::deque<DWORD>& errors = write ? writeErrors : readErrors;
    DWORD error = 0;
    if (!errors.empty()) {
        error = errors.front();
        errors.pop_front();
    }
    if (error != 0) {
        os::setLastError(error);
        return false;
    }
    (void)entry;
    // Accepted and completed at once, as a device with data ready would.
    auto* header = static_cast<KSSTREAM_HEADER*>(out);
    if (!write) header->DataUsed = header->FrameExtent;
    overlapped->Internal = ksabi::kStatusSuccess;
    overlapped->InternalHigh = outSize;
    Signal(overlapped);
    os::setLastError(os::kErrorIoPending);
    return false;
}

bool FakeDeviceBoundary::deviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inSize,
                                         void* outBuffer, DWORD outSize, DWORD* bytesReturned,
                                         OVERLAPPED* overlapped) {
    ++ioctls;
    auto found = handles_.find(reinterpret_cast<uintptr_t>(device));
    if (found == handles_.end() || overlapped == nullptr) {
        os::setLastError(found == handles_.end() ? os::kErrorInvalidHandle : os::kErrorInvalidParameter);
        return false;
    }
    if (found->second.kind == Kind::Pin)
        return PinRequest(found->second, ioControlCode, inBuffer, inSize, outBuffer, outSize, bytesReturned,
                          overlapped);
    if (ioControlCode != IOCTL_KS_PROPERTY) return Finish(otherCodeError, 0, bytesReturned, overlapped);
    if (inSize < sizeof(KSPROPERTY)) return Finish(os::kErrorInvalidParameter, 0, bytesReturned, overlapped);
    const auto* in = static_cast<const uint8_t*>(inBuffer);
    propertyRequests.emplace_back(in, in + inSize);
    KSPROPERTY property;
    std::memcpy(&property, inBuffer, sizeof(property));
    if (inSize >= sizeof(KSP_PIN)) {
        KSP_PIN request;
        std::memcpy(&request, inBuffer, sizeof(request));
        return Answer(PinReply(request.PinId, property.Set, property.Id), outBuffer, outSize, bytesReturned,
                      overlapped);
    }
    return Answer(FilterReply(property.Set, property.Id), outBuffer, outSize, bytesReturned, overlapped);
}

bool FakeDeviceBoundary::getOverlappedResult(HANDLE, OVERLAPPED* overlapped, DWORD* bytesTransferred, bool) {
    if (bytesTransferred != nullptr) *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
    switch (static_cast<uint32_t>(overlapped->Internal)) {
        case ksabi::kStatusSuccess:
            return true;
        case ksabi::kStatusPending:
            os::setLastError(os::kErrorIoIncomplete);
            return false;
        case kStatusBufferOverflow:
            os::setLastError(os::kErrorMoreData);
            return false;
        case kStatusBufferTooSmall:
            os::setLastError(os::kErrorInsufficientBuffer);
            return false;
        case ksabi::kStatusCrcError:
            os::setLastError(os::kErrorCrc);
            return false;
        default:
            os::setLastError(os::kErrorGenFailure);
            return false;
    }
}

bool FakeDeviceBoundary::cancelIo(HANDLE) { return true; }

DWORD FakeDeviceBoundary::ksCreatePin(HANDLE filter, const KSPIN_CONNECT* connect, DWORD, HANDLE* pin) {
    ++createPinCalls;
    if (ksuserMissing) return os::kErrorFileNotFound;
    auto found = handles_.find(reinterpret_cast<uintptr_t>(filter));
    if (found == handles_.end() || found->second.kind != Kind::Filter) return os::kErrorInvalidHandle;
    KSDATAFORMAT format;
    std::memcpy(&format, reinterpret_cast<const uint8_t*>(connect) + sizeof(KSPIN_CONNECT), sizeof(format));
    const auto* bytes = reinterpret_cast<const uint8_t*>(connect);
    lastConnect.assign(bytes, bytes + sizeof(KSPIN_CONNECT) + format.FormatSize);
    if (connect->PinId >= pins.size()) return os::kErrorInvalidParameter;
    if (pins[connect->PinId].createError != 0) return pins[connect->PinId].createError;
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = Entry{Kind::Pin, connect->PinId};
    createdPinIds.push_back(connect->PinId);
    *pin = reinterpret_cast<HANDLE>(value);
    return 0;
}

bool FakeDeviceBoundary::listAudioInterfaces(std::vector<os::AudioInterfaceInfo>& interfaces) {
    interfaces.clear();
    os::AudioInterfaceInfo info;
    info.path = filterPath;
    info.renderAliasFlags = SPINT_ACTIVE;
    info.captureAliasFlags = SPINT_ACTIVE;
    interfaces.push_back(info);
    return true;
}

CONFIGRET FakeDeviceBoundary::cmGetParent(DEVINST*, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET FakeDeviceBoundary::cmGetChild(DEVINST*, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET FakeDeviceBoundary::cmGetSibling(DEVINST*, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET FakeDeviceBoundary::cmGetDeviceIdSize(ULONG*, DEVINST, ULONG) { return CR_NO_SUCH_DEVNODE; }
CONFIGRET FakeDeviceBoundary::cmGetDeviceId(DEVINST, char*, ULONG, ULONG) { return CR_NO_SUCH_DEVNODE; }

bool FakeDeviceBoundary::hidGetSerialNumberString(HANDLE, void*, ULONG) {
    os::setLastError(os::kErrorInvalidHandle);
    return false;
}

}  // namespace kstest
