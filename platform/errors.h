// Win32 error codes used across the system. The POSIX implementation of the
// operating-system boundary reports failures with these same numbers, so
// callers test one set of codes everywhere.
#pragma once

#include <cstdint>

namespace os {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorOutOfMemory = 14;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorCrc = 23;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorInsufficientBuffer = 122;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorTooManyPosts = 298;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorBadFormat = 11;
constexpr uint32_t kErrorUnsupportedType = 1630;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorNotFound = 1168;
constexpr uint32_t kErrorRegistryCorrupt = 1015;
constexpr uint32_t kErrorKeyDeleted = 1018;

// An HRESULT carrying a Win32 error (HRESULT_FROM_WIN32).
constexpr int32_t hresultFromWin32(uint32_t code) {
    return code == 0 ? 0 : static_cast<int32_t>((code & 0x0000FFFFu) | 0x80070000u);
}

}  // namespace os
