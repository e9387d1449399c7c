#include "brands/settings_names.h"

#include <cinttypes>
#include <cstdio>

namespace settings_names {
namespace {

constexpr const char kDevicePrefix[] = "Device";

char lowered(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

}  // namespace

bool sameTextIgnoringCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b;
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (lowered(*a) != lowered(*b)) return false;
    return *a == *b;
}

bool parseDeviceKeyName(const char* name, uint64_t* number) {
    if (name == nullptr || number == nullptr) return false;
    for (size_t i = 0; i + 1 < sizeof kDevicePrefix; ++i, ++name)
        if (*name == '\0' || lowered(*name) != lowered(kDevicePrefix[i])) return false;
    while (isSpace(*name)) ++name;
    if (*name < '0' || *name > '9') return false;
    uint64_t value = 0;
    for (; *name >= '0' && *name <= '9'; ++name) {
        const auto digit = static_cast<uint64_t>(*name - '0');
        value = value > (UINT64_MAX - digit) / 10 ? UINT64_MAX : value * 10 + digit;
    }
    *number = value;
    return true;
}

void formatDeviceKeyName(uint64_t index, char* name, size_t size) {
    std::snprintf(name, size, "Device %" PRIu64, index);
}

bool isCanonicalDeviceKeyName(const char* name, uint64_t number) {
    char canonical[kNameSize];
    formatDeviceKeyName(number, canonical, sizeof canonical);
    return sameTextIgnoringCase(name, canonical);
}

void formatConfigurationKeyName(size_t index, char* name, size_t size) {
    std::snprintf(name, size, "Configuration%u", static_cast<unsigned>(index));
}

void formatChannelValueName(size_t channel, bool isInput, char* name, size_t size) {
    std::snprintf(name, size, isInput ? "ChannelIn%u" : "Channel%u", static_cast<unsigned>(channel));
}

}  // namespace settings_names
