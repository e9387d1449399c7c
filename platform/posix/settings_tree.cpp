#include "platform/posix/settings_tree.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace os::posix {
namespace {

constexpr size_t kMaxKeyNameLength = 255;
constexpr uint32_t kTypeSz = 1;
constexpr uint32_t kTypeExpandSz = 2;
constexpr uint32_t kTypeDword = 4;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string escaped(const std::string& bytes) {
    std::string out = ":";
    for (unsigned char c : bytes) {
        if (c > ' ' && c <= '~' && c != '%') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescaped(const std::string& field, std::string* bytes) {
    if (field.empty() || field[0] != ':') return false;
    bytes->clear();
    for (size_t i = 1; i < field.size(); ++i) {
        if (field[i] != '%') {
            bytes->push_back(field[i]);
            continue;
        }
        if (i + 2 >= field.size()) return false;
        int high = hexDigit(field[i + 1]), low = hexDigit(field[i + 2]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

bool parseHex(const std::string& field, std::vector<uint8_t>* data) {
    if (field.size() % 2 != 0) return false;
    data->clear();
    for (size_t i = 0; i < field.size(); i += 2) {
        int high = hexDigit(field[i]), low = hexDigit(field[i + 1]);
        if (high < 0 || low < 0) return false;
        data->push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

bool parseNumber(const std::string& field, uint64_t limit, uint64_t* number) {
    if (field.empty() || field.size() > 20) return false;
    uint64_t value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > limit) return false;
    }
    *number = value;
    return true;
}

// A string value that is exactly its text plus one terminator.
bool isPlainText(const SettingsValue& value) {
    if (value.type != kTypeSz && value.type != kTypeExpandSz) return false;
    if (value.data.empty() || value.data.back() != 0) return false;
    return std::memchr(value.data.data(), 0, value.data.size() - 1) == nullptr;
}

void writeKey(std::ostringstream& out, const SettingsKey& key, const std::string& path) {
    out << "key " << escaped(path) << '\n';
    for (const SettingsValue& value : key.values) {
        if (value.type == kTypeDword && value.data.size() == 4) {
            uint32_t number = 0;
            std::memcpy(&number, value.data.data(), 4);
            out << "dword " << escaped(value.name) << ' ' << number << '\n';
        } else if (isPlainText(value)) {
            std::string text(value.data.begin(), value.data.end() - 1);
            out << (value.type == kTypeSz ? "sz " : "expand ") << escaped(value.name) << ' ' << escaped(text)
                << '\n';
        } else {
            out << "data " << value.type << ' ' << escaped(value.name) << ' ';
            static const char digits[] = "0123456789abcdef";
            for (uint8_t byte : value.data) out << digits[byte >> 4] << digits[byte & 15];
            out << '\n';
        }
    }
    for (const auto& [name, child] : key.subkeys) {
        writeKey(out, *child, path.empty() ? name : path + "\\" + name);
    }
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t space = line.find(' ', start);
        out.push_back(line.substr(start, space - start));
        if (space == std::string::npos) return out;
        start = space + 1;
    }
}

bool parseValue(const std::vector<std::string>& field, SettingsValue* value) {
    std::string text;
    if (field[0] == "dword" && field.size() == 3) {
        uint64_t number;
        if (!unescaped(field[1], &value->name) || !parseNumber(field[2], 0xFFFFFFFFu, &number)) return false;
        uint32_t dword = static_cast<uint32_t>(number);
        value->type = kTypeDword;
        value->data.resize(4);
        std::memcpy(value->data.data(), &dword, 4);
        return true;
    }
    if ((field[0] == "sz" || field[0] == "expand") && field.size() == 3) {
        if (!unescaped(field[1], &value->name) || !unescaped(field[2], &text)) return false;
        value->type = field[0] == "sz" ? kTypeSz : kTypeExpandSz;
        value->data.assign(text.begin(), text.end());
        value->data.push_back(0);
        return true;
    }
    if (field[0] == "data" && field.size() == 4) {
        uint64_t type;
        if (!parseNumber(field[1], 0xFFFFFFFFu, &type) || !unescaped(field[2], &value->name)) return false;
        value->type = static_cast<uint32_t>(type);
        return parseHex(field[3], &value->data);
    }
    return false;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char x = lower(a[i]), y = lower(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    }
    return a.size() < b.size();
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

SettingsValue* SettingsKey::findValue(const std::string& name) {
    for (SettingsValue& value : values) {
        if (equalsIgnoringCase(value.name, name)) return &value;
    }
    return nullptr;
}

SettingsKey* SettingsKey::child(const std::string& name) {
    auto found = subkeys.find(name);
    return found == subkeys.end() ? nullptr : found->second.get();
}

bool splitKeyPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (!path || !*path) return true;
    std::string current;
    for (const char* p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (current.empty() || current.size() > kMaxKeyNameLength) return false;
            names->push_back(current);
            current.clear();
            if (*p == '\0') return true;
        } else {
            current += *p;
        }
    }
}

std::string serializeSettings(const SettingsKey& root) {
    std::ostringstream out;
    out << "ksasio-settings 1\n";
    writeKey(out, root, "");
    out << "end\n";
    return out.str();
}

bool parseSettings(const std::string& text, SettingsKey* root) {
    root->values.clear();
    root->subkeys.clear();
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != "ksasio-settings 1") return false;
    SettingsKey* current = nullptr;
    while (std::getline(in, line)) {
        if (line == "end") {
            // Nothing may follow the end line but the line break itself.
            return in.peek() == std::char_traits<char>::eof();
        }
        std::vector<std::string> field = fields(line);
        if (field[0] == "key" && field.size() == 2) {
            std::string path;
            std::vector<std::string> names;
            if (!unescaped(field[1], &path) || !splitKeyPath(path.c_str(), &names)) return false;
            current = root;
            for (const std::string& name : names) {
                auto& slot = current->subkeys[name];
                if (!slot) slot = std::make_unique<SettingsKey>();
                current = slot.get();
            }
            continue;
        }
        SettingsValue value;
        if (!current || !parseValue(field, &value)) return false;
        if (SettingsValue* existing = current->findValue(value.name)) {
            *existing = std::move(value);
        } else {
            current->values.push_back(std::move(value));
        }
    }
    return false;
}

}  // namespace os::posix
