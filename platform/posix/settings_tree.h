// The settings store in memory and its text form.
//
// Text form (one record per line, fields separated by one space):
//
//   ksasio-settings 1
//   key <path>
//   dword <name> <decimal>
//   sz <name> <text>
//   expand <name> <text>
//   data <type> <name> <hex bytes>
//   end
//
// <path>, <name> and <text> start with ':' followed by the bytes, every byte
// outside '!'..'~' and every '%' written as %XX (so ":" is the empty name,
// the default value; ":" as a path is the root). A path joins key names
// with '\'. Values follow the key line they belong to; every key, empty
// ones too, has its own key line, parents before children. REG_SZ and
// REG_EXPAND_SZ values are written as text when they end in their one
// terminator, any other value as `data` with its type number. A file
// without the final `end` line is incomplete and so damaged.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace os::posix {

// Key and value names compare like the registry's: ignoring ASCII case.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
bool equalsIgnoringCase(const std::string& a, const std::string& b);

struct SettingsValue {
    std::string name;
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

struct SettingsKey {
    std::vector<SettingsValue> values;  // in order of creation
    std::map<std::string, std::unique_ptr<SettingsKey>, CaseInsensitiveLess> subkeys;

    SettingsValue* findValue(const std::string& name);
    SettingsKey* child(const std::string& name);
};

// Splits "a\b\c" into names; false for empty names (a leading, trailing or
// doubled '\') or names longer than the registry allows.
bool splitKeyPath(const char* path, std::vector<std::string>* names);

std::string serializeSettings(const SettingsKey& root);
// False when the text is not a complete store.
bool parseSettings(const std::string& text, SettingsKey* root);

}  // namespace os::posix
