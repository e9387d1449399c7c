// The binary records, control codes and GUIDs of Kernel Streaming, wave
// formats, overlapped I/O and the device tree, with the names and layouts of
// the Windows SDK.
//
// Windows: they come from the system headers (ks.h, ksmedia.h, mmreg.h,
// setupapi.h, cfgmgr32.h); the GUIDs from the ksguid and uuid libraries,
// which ksasio_platform links. Everywhere else platform/ks_abi_posix.h
// declares the same layouts, and the Windows build checks them field by
// field against the real headers (platform/win32/device_ks_abi_check.cpp).
//
// This is the one header through which code outside platform/ sees these
// definitions. GUIDs are link-time constants on Windows: compare them at run
// time (os::guidEquals), never in constant expressions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/errors.h"
#include "platform/guid.h"

#if defined(_WIN32)

#include <windows.h>
#include <winioctl.h>  // CTL_CODE, which ks.h uses and WIN32_LEAN_AND_MEAN leaves out
// Order matters: mmreg.h before ks.h, ks.h before ksmedia.h.
#include <mmreg.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#else

#define KSABI_CONST(type, name, value) inline constexpr type name = static_cast<type>(value);
#define KSABI_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}};
#include "platform/ks_abi_posix.h"
#undef KSABI_CONST
#undef KSABI_GUID

// A handle value no open call returns ((HANDLE)(LONG_PTR)-1).
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#endif

// Not in every SDK: the CPU-resources value of a node nobody has asked yet,
// the four characters "NONE" read as one little-endian 32-bit value.
#ifndef KSAUDIO_CPU_RESOURCES_UNINITIALIZED
#define KSAUDIO_CPU_RESOURCES_UNINITIALIZED 0x454E4F4Eu
#endif

// NTSTATUS values the system leaves in OVERLAPPED::Internal, and that
// os::DeviceBoundaryIf::getOverlappedResult turns into Win32 errors.
namespace ksabi {
constexpr uint32_t kStatusSuccess = 0x00000000u;
constexpr uint32_t kStatusPending = 0x00000103u;
constexpr uint32_t kStatusCancelled = 0xC0000120u;             // ERROR_OPERATION_ABORTED
constexpr uint32_t kStatusDeviceNotConnected = 0xC000009Du;    // ERROR_DEVICE_NOT_CONNECTED
constexpr uint32_t kStatusCrcError = 0xC000003Fu;              // ERROR_CRC
constexpr uint32_t kStatusUnsuccessful = 0xC0000001u;          // ERROR_GEN_FAILURE
constexpr uint32_t kStatusBufferOverflow = 0x80000005u;        // ERROR_MORE_DATA (a warning: data was stored)
constexpr uint32_t kStatusBufferTooSmall = 0xC0000023u;        // ERROR_INSUFFICIENT_BUFFER

// The Win32 error GetOverlappedResult reports for a completed request's
// status (0 for success; ERROR_IO_INCOMPLETE while still pending).
constexpr uint32_t win32ErrorFromStatus(uint32_t status) {
    switch (status) {
        case kStatusSuccess: return 0;
        case kStatusPending: return os::kErrorIoIncomplete;
        case kStatusCancelled: return os::kErrorOperationAborted;
        case kStatusDeviceNotConnected: return os::kErrorDeviceNotConnected;
        case kStatusCrcError: return os::kErrorCrc;
        case kStatusBufferOverflow: return os::kErrorMoreData;
        case kStatusBufferTooSmall: return os::kErrorInsufficientBuffer;
        default: return os::kErrorGenFailure;
    }
}

// The event of an overlapped request. Callers may set its lowest bit to keep
// the completion away from a completion port; the event is the rest.
inline HANDLE completionEvent(const OVERLAPPED& overlapped) {
    return reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped.hEvent) & ~uintptr_t{1});
}

// The HID device interface class (GUID_DEVINTERFACE_HID), under which the
// system lists the paths of HID devices.
constexpr GUID kHidInterfaceClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

// Published layout sizes every caller may rely on.
constexpr size_t kPropertySize = 24;         // KSPROPERTY
constexpr size_t kPinPropertySize = 32;      // KSP_PIN, KSP_NODE
constexpr size_t kDataFormatSize = 64;       // KSDATAFORMAT, KSDATARANGE
constexpr size_t kDataRangeAudioSize = 88;   // KSDATARANGE_AUDIO
constexpr size_t kWaveFormatExSize = 18;     // WAVEFORMATEX, packed
constexpr size_t kWaveFormatExtensibleSize = 40;
// These three hold a handle or a pointer: 32-bit programs (the 32-bit
// driver) see the smaller sizes.
constexpr size_t kPinConnectSize = sizeof(void*) == 8 ? 72 : 64;    // KSPIN_CONNECT
constexpr size_t kStreamHeaderSize = sizeof(void*) == 8 ? 56 : 48;  // KSSTREAM_HEADER
constexpr size_t kOverlappedSize = sizeof(void*) == 8 ? 32 : 20;    // OVERLAPPED
}  // namespace ksabi

static_assert(sizeof(KSPROPERTY) == ksabi::kPropertySize, "KSPROPERTY layout");
static_assert(sizeof(KSP_PIN) == ksabi::kPinPropertySize, "KSP_PIN layout");
static_assert(sizeof(KSP_NODE) == ksabi::kPinPropertySize, "KSP_NODE layout");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM layout");
static_assert(sizeof(KSDATAFORMAT) == ksabi::kDataFormatSize, "KSDATAFORMAT layout");
static_assert(sizeof(KSDATARANGE_AUDIO) == ksabi::kDataRangeAudioSize, "KSDATARANGE_AUDIO layout");
static_assert(sizeof(WAVEFORMATEX) == ksabi::kWaveFormatExSize, "WAVEFORMATEX layout");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == ksabi::kWaveFormatExtensibleSize, "WAVEFORMATEXTENSIBLE layout");
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEX) == 82, "KSDATAFORMAT_WAVEFORMATEX layout");
static_assert(sizeof(KSPIN_CONNECT) == ksabi::kPinConnectSize, "KSPIN_CONNECT layout");
static_assert(sizeof(KSPIN_CINSTANCES) == 8, "KSPIN_CINSTANCES layout");
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24, "KSALLOCATOR_FRAMING layout");
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16, "KSTOPOLOGY_CONNECTION layout");
static_assert(sizeof(KSSTREAM_HEADER) == ksabi::kStreamHeaderSize, "KSSTREAM_HEADER layout");
static_assert(sizeof(OVERLAPPED) == ksabi::kOverlappedSize, "OVERLAPPED layout");
