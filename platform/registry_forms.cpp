// The typed convenience forms of the registry functions, on both platforms.
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/registry.h"

namespace os {

uint32_t regSetDword(RegKey key, const char* name, uint32_t value) {
    return regSetValue(key, name, kRegDword, &value, sizeof value);
}

uint32_t regSetString(RegKey key, const char* name, const char* value) {
    if (!value) return kErrorInvalidParameter;
    return regSetValue(key, name, kRegSz, value, static_cast<uint32_t>(std::strlen(value) + 1));
}

uint32_t regGetDword(RegKey key, const char* name, uint32_t* value) {
    if (!value) return kErrorInvalidParameter;
    uint32_t type = kRegNone, size = 0;
    if (uint32_t error = regQueryValue(key, name, &type, nullptr, &size)) return error;
    if (type != kRegDword || size != sizeof *value) return kErrorUnsupportedType;
    uint32_t read = 0;
    size = sizeof read;
    if (uint32_t error = regQueryValue(key, name, &type, &read, &size)) return error;
    // The value may have been rewritten between the two reads.
    if (type != kRegDword || size != sizeof read) return kErrorUnsupportedType;
    *value = read;
    return kErrorSuccess;
}

uint32_t regGetString(RegKey key, const char* name, char* text, uint32_t size) {
    if (!text || size == 0) return kErrorInvalidParameter;
    text[0] = '\0';
    uint32_t type = kRegNone, needed = 0;
    if (uint32_t error = regQueryValue(key, name, &type, nullptr, &needed)) return error;
    if (type != kRegSz) return kErrorUnsupportedType;
    std::vector<char> data(needed + 1u);
    uint32_t got = needed;
    if (uint32_t error = regQueryValue(key, name, &type, data.data(), &got)) return error;
    if (type != kRegSz) return kErrorUnsupportedType;
    // Stored strings need not carry their terminator.
    size_t length = 0;
    while (length < got && data[length] != '\0') ++length;
    if (length + 1 > size) return kErrorMoreData;
    std::memcpy(text, data.data(), length);
    text[length] = '\0';
    return kErrorSuccess;
}

}  // namespace os
