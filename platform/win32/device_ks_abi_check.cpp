// Compile-time proof that the layouts declared for POSIX systems
// (platform/ks_abi_posix.h) agree with the Windows SDK headers: the POSIX
// declarations are compiled here a second time inside a namespace, next to
// the real ones, and every constant, GUID, size and offset is compared.
// Nothing in this file exists at run time.
#include <cstddef>
#include <cstdint>

#include "platform/ks_abi.h"

namespace {

constexpr bool sameGuid(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}

}  // namespace

// The name expands to the SDK's macro; the value is the one declared for POSIX.
#define KSABI_CONST(type, name, value) \
    static_assert(static_cast<type>(name) == static_cast<type>(value), "constant differs from the SDK: " #name);
// STATIC_<name> is the SDK's initializer list of the same GUID.
#define KSABI_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                   \
    static_assert(sameGuid(GUID{STATIC_##name}, GUID{l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}), \
                  "GUID differs from the SDK: " #name);

namespace posix_abi {
#include "platform/ks_abi_posix.h"
}  // namespace posix_abi

#define SAME_SIZE(type) static_assert(sizeof(posix_abi::type) == sizeof(::type), "size differs: " #type);
#define SAME_OFFSET(type, field)                                                         \
    static_assert(offsetof(posix_abi::type, field) == offsetof(::type, field), "offset differs: " #type "." #field);
#define SAME_ENUM(name) static_assert(static_cast<long>(posix_abi::name) == static_cast<long>(::name), "enum differs: " #name);

SAME_SIZE(OVERLAPPED)
SAME_OFFSET(OVERLAPPED, Internal)
SAME_OFFSET(OVERLAPPED, InternalHigh)
SAME_OFFSET(OVERLAPPED, Offset)
SAME_OFFSET(OVERLAPPED, OffsetHigh)
SAME_OFFSET(OVERLAPPED, Pointer)
SAME_OFFSET(OVERLAPPED, hEvent)

SAME_SIZE(KSPRIORITY)
SAME_SIZE(KSIDENTIFIER)
SAME_OFFSET(KSIDENTIFIER, Set)
SAME_OFFSET(KSIDENTIFIER, Id)
SAME_OFFSET(KSIDENTIFIER, Flags)
SAME_SIZE(KSPROPERTY)
SAME_SIZE(KSP_NODE)
SAME_OFFSET(KSP_NODE, NodeId)
SAME_OFFSET(KSP_NODE, Reserved)
SAME_SIZE(KSP_PIN)
SAME_OFFSET(KSP_PIN, PinId)
SAME_OFFSET(KSP_PIN, Reserved)
SAME_SIZE(KSMULTIPLE_ITEM)
SAME_OFFSET(KSMULTIPLE_ITEM, Count)
SAME_SIZE(KSPIN_CINSTANCES)
SAME_OFFSET(KSPIN_CINSTANCES, CurrentCount)
SAME_SIZE(KSDATAFORMAT)
SAME_OFFSET(KSDATAFORMAT, FormatSize)
SAME_OFFSET(KSDATAFORMAT, Flags)
SAME_OFFSET(KSDATAFORMAT, SampleSize)
SAME_OFFSET(KSDATAFORMAT, Reserved)
SAME_OFFSET(KSDATAFORMAT, MajorFormat)
SAME_OFFSET(KSDATAFORMAT, SubFormat)
SAME_OFFSET(KSDATAFORMAT, Specifier)
SAME_SIZE(KSDATARANGE)
SAME_SIZE(KSPIN_CONNECT)
SAME_OFFSET(KSPIN_CONNECT, Interface)
SAME_OFFSET(KSPIN_CONNECT, Medium)
SAME_OFFSET(KSPIN_CONNECT, PinId)
SAME_OFFSET(KSPIN_CONNECT, PinToHandle)
SAME_OFFSET(KSPIN_CONNECT, Priority)
SAME_SIZE(KSTOPOLOGY_CONNECTION)
SAME_OFFSET(KSTOPOLOGY_CONNECTION, FromNodePin)
SAME_OFFSET(KSTOPOLOGY_CONNECTION, ToNode)
SAME_OFFSET(KSTOPOLOGY_CONNECTION, ToNodePin)
SAME_SIZE(KSTIME)
SAME_OFFSET(KSTIME, Numerator)
SAME_OFFSET(KSTIME, Denominator)
SAME_SIZE(KSSTREAM_HEADER)
SAME_OFFSET(KSSTREAM_HEADER, TypeSpecificFlags)
SAME_OFFSET(KSSTREAM_HEADER, PresentationTime)
SAME_OFFSET(KSSTREAM_HEADER, Duration)
SAME_OFFSET(KSSTREAM_HEADER, FrameExtent)
SAME_OFFSET(KSSTREAM_HEADER, DataUsed)
SAME_OFFSET(KSSTREAM_HEADER, Data)
SAME_OFFSET(KSSTREAM_HEADER, OptionsFlags)
#if defined(_WIN64)
SAME_OFFSET(KSSTREAM_HEADER, Reserved)
#endif
SAME_SIZE(KSALLOCATOR_FRAMING)
SAME_OFFSET(KSALLOCATOR_FRAMING, RequirementsFlags)
SAME_OFFSET(KSALLOCATOR_FRAMING, Frames)
SAME_OFFSET(KSALLOCATOR_FRAMING, FrameSize)
SAME_OFFSET(KSALLOCATOR_FRAMING, Reserved)
SAME_SIZE(WAVEFORMATEX)
SAME_OFFSET(WAVEFORMATEX, nChannels)
SAME_OFFSET(WAVEFORMATEX, nSamplesPerSec)
SAME_OFFSET(WAVEFORMATEX, nAvgBytesPerSec)
SAME_OFFSET(WAVEFORMATEX, nBlockAlign)
SAME_OFFSET(WAVEFORMATEX, wBitsPerSample)
SAME_OFFSET(WAVEFORMATEX, cbSize)
SAME_SIZE(WAVEFORMATEXTENSIBLE)
SAME_OFFSET(WAVEFORMATEXTENSIBLE, Samples)
SAME_OFFSET(WAVEFORMATEXTENSIBLE, dwChannelMask)
SAME_OFFSET(WAVEFORMATEXTENSIBLE, SubFormat)
SAME_SIZE(KSDATAFORMAT_WAVEFORMATEX)
SAME_OFFSET(KSDATAFORMAT_WAVEFORMATEX, WaveFormatEx)
SAME_SIZE(KSDATARANGE_AUDIO)
SAME_OFFSET(KSDATARANGE_AUDIO, MaximumChannels)
SAME_OFFSET(KSDATARANGE_AUDIO, MinimumBitsPerSample)
SAME_OFFSET(KSDATARANGE_AUDIO, MaximumBitsPerSample)
SAME_OFFSET(KSDATARANGE_AUDIO, MinimumSampleFrequency)
SAME_OFFSET(KSDATARANGE_AUDIO, MaximumSampleFrequency)

SAME_ENUM(KSSTATE_STOP)
SAME_ENUM(KSSTATE_ACQUIRE)
SAME_ENUM(KSSTATE_PAUSE)
SAME_ENUM(KSSTATE_RUN)
SAME_ENUM(KSPROPERTY_PIN_CINSTANCES)
SAME_ENUM(KSPROPERTY_PIN_CTYPES)
SAME_ENUM(KSPROPERTY_PIN_DATAFLOW)
SAME_ENUM(KSPROPERTY_PIN_DATARANGES)
SAME_ENUM(KSPROPERTY_PIN_INTERFACES)
SAME_ENUM(KSPROPERTY_PIN_MEDIUMS)
SAME_ENUM(KSPROPERTY_PIN_COMMUNICATION)
SAME_ENUM(KSPROPERTY_PIN_GLOBALCINSTANCES)
SAME_ENUM(KSPROPERTY_PIN_NECESSARYINSTANCES)
SAME_ENUM(KSPROPERTY_PIN_CATEGORY)
SAME_ENUM(KSPROPERTY_PIN_NAME)
SAME_ENUM(KSPROPERTY_PIN_PROPOSEDATAFORMAT)
SAME_ENUM(KSPIN_DATAFLOW_IN)
SAME_ENUM(KSPIN_DATAFLOW_OUT)
SAME_ENUM(KSPIN_COMMUNICATION_NONE)
SAME_ENUM(KSPIN_COMMUNICATION_SINK)
SAME_ENUM(KSPIN_COMMUNICATION_SOURCE)
SAME_ENUM(KSPIN_COMMUNICATION_BOTH)
SAME_ENUM(KSPIN_COMMUNICATION_BRIDGE)
SAME_ENUM(KSINTERFACE_STANDARD_STREAMING)
SAME_ENUM(KSINTERFACE_STANDARD_LOOPED_STREAMING)
SAME_ENUM(KSINTERFACE_STANDARD_CONTROL)
SAME_ENUM(KSPROPERTY_CONNECTION_STATE)
SAME_ENUM(KSPROPERTY_CONNECTION_DATAFORMAT)
SAME_ENUM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING)
SAME_ENUM(KSPROPERTY_CONNECTION_STARTAT)
SAME_ENUM(KSPROPERTY_TOPOLOGY_CATEGORIES)
SAME_ENUM(KSPROPERTY_TOPOLOGY_NODES)
SAME_ENUM(KSPROPERTY_TOPOLOGY_CONNECTIONS)
SAME_ENUM(KSPROPERTY_TOPOLOGY_NAME)

// The scalar types the POSIX declarations stand in for.
static_assert(sizeof(posix_abi::ULONG) == sizeof(::ULONG), "ULONG");
static_assert(sizeof(posix_abi::DWORD) == sizeof(::DWORD), "DWORD");
static_assert(sizeof(posix_abi::LONG) == sizeof(::LONG), "LONG");
static_assert(sizeof(posix_abi::HRESULT) == sizeof(::HRESULT), "HRESULT");
static_assert(sizeof(posix_abi::DEVINST) == sizeof(::DEVINST), "DEVINST");
static_assert(sizeof(posix_abi::CONFIGRET) == sizeof(::CONFIGRET), "CONFIGRET");
static_assert(sizeof(posix_abi::ULONG_PTR) == sizeof(::ULONG_PTR), "ULONG_PTR");
static_assert(sizeof(posix_abi::BOOL) == sizeof(::BOOL), "BOOL");
