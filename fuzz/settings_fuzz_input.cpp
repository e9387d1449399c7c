#include "fuzz/settings_fuzz_input.h"

#include <cstdlib>
#include <vector>

#include "brands/brand_asio.h"

namespace settings_fuzz {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "<name>=<rest>": false without '='.
bool splitAssignment(const std::string& text, std::string* name, std::string* rest) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos) return false;
    *name = text.substr(0, equals);
    *rest = text.substr(equals + 1);
    return true;
}

}  // namespace

void fillStore(SettingsStoreIf& store, const uint8_t* data, size_t size) {
    const AsioBrandIf* brand = AsioBrandIf::getActiveBrand();
    const std::string settings = std::string("Software\\") + brand->getBrandName() + "\\" + brand->getDriverId();
    os::RegKey current = nullptr;
    store.createKey(store.rootKey(), settings.c_str(), &current);
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        const std::string argument = line.size() > 2 ? line.substr(2) : std::string();
        std::string name, rest;
        switch (line[0]) {
            case 'k': {
                os::RegKey next = nullptr;
                const std::string path = argument.empty() ? settings : settings + "\\" + argument;
                if (store.createKey(store.rootKey(), path.c_str(), &next) == 0) {
                    if (current != nullptr) store.closeKey(current);
                    current = next;
                }
                break;
            }
            case 'd':
                if (current != nullptr && splitAssignment(argument, &name, &rest)) {
                    const auto value = static_cast<uint32_t>(std::strtoull(rest.c_str(), nullptr, 10));
                    store.setValue(current, name.c_str(), os::kRegDword, &value, sizeof value);
                }
                break;
            case 's':
                if (current != nullptr && splitAssignment(argument, &name, &rest))
                    store.setValue(current, name.c_str(), os::kRegSz, rest.c_str(),
                                   static_cast<uint32_t>(rest.size() + 1));
                break;
            case 'x': {
                const size_t space = argument.find(' ');
                if (current == nullptr || space == std::string::npos) break;
                const auto type = static_cast<uint32_t>(std::strtoul(argument.c_str(), nullptr, 10));
                if (!splitAssignment(argument.substr(space + 1), &name, &rest)) break;
                std::vector<uint8_t> bytes;
                for (size_t i = 0; i + 1 < rest.size(); i += 2) {
                    const int high = hexDigit(rest[i]), low = hexDigit(rest[i + 1]);
                    if (high < 0 || low < 0) break;
                    bytes.push_back(static_cast<uint8_t>(high * 16 + low));
                }
                store.setValue(current, name.c_str(), type, bytes.data(), static_cast<uint32_t>(bytes.size()));
                break;
            }
            case 'r':
                if (current != nullptr) store.deleteValue(current, argument.c_str());
                break;
            default:
                break;
        }
    }
    if (current != nullptr) store.closeKey(current);
}

}  // namespace settings_fuzz
