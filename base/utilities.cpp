#include "base/utilities.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/os.h"

// The static buffers are per thread: the Kernel Streaming layer formats
// errors and identifiers on host threads and the polling thread at once.

const char* getSystemErrorText(uint32_t code) {
    static thread_local char text[kSystemErrorTextSize];
    text[0] = '\0';
    os::systemErrorText(code, text, sizeof(text));
    text[sizeof(text) - 1] = '\0';
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) text[--length] = '\0';
    return text;
}

namespace {
char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

const char* findTextNoCase(const char* text, const char* pattern) {
    if (text == nullptr || pattern == nullptr) return nullptr;
    for (const char* start = text;; ++start) {
        const char* t = start;
        const char* p = pattern;
        while (*p != '\0' && lowerAscii(*t) == lowerAscii(*p)) {
            ++t;
            ++p;
        }
        if (*p == '\0') return start;
        if (*start == '\0') return nullptr;
    }
}

uint32_t deleteRegistryKey(os::RegKey parent, const char* subKey) {
    if (subKey == nullptr || subKey[0] == '\0') return os::kErrorInvalidParameter;
    return os::regDeleteTree(parent, subKey);
}

const char* formatGuid(const GUID& guid) {
    static thread_local char text[39];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}
