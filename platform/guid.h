// The 16-byte identifier of COM classes, interfaces and Kernel Streaming
// property sets, with the Windows layout. The Windows build uses the system's
// own GUID type; the POSIX build declares the same layout.
#pragma once

#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#include <guiddef.h>
#else
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
#endif

static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes");

namespace os {

inline bool guidEquals(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

}  // namespace os
