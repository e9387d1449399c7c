#include "brands/memory_settings_store.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "platform/errors.h"

namespace {

char lowered(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lowered(a[i]) != lowered(b[i])) return false;
    return true;
}

}  // namespace

bool MemorySettingsStore::Less::operator()(const std::string& a, const std::string& b) const {
    const size_t common = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < common; ++i) {
        const auto x = static_cast<unsigned char>(lowered(a[i]));
        const auto y = static_cast<unsigned char>(lowered(b[i]));
        if (x != y) return x < y;
    }
    return a.size() < b.size();
}

MemorySettingsStore::Value* MemorySettingsStore::Node::findValue(const std::string& name) {
    for (Value& value : values)
        if (sameName(value.name, name)) return &value;
    return nullptr;
}

MemorySettingsStore::MemorySettingsStore() : rootHandle_{{}, true} {}

MemorySettingsStore::~MemorySettingsStore() {
    for (Handle* handle : handles_) delete handle;
}

os::RegKey MemorySettingsStore::rootKey() { return &rootHandle_; }

bool MemorySettingsStore::describeHandle(os::RegKey key, Handle* out) const {
    auto* handle = static_cast<Handle*>(key);
    if (handle != &rootHandle_ && handles_.count(handle) == 0) return false;
    *out = *handle;
    return true;
}

MemorySettingsStore::Node* MemorySettingsStore::resolve(const std::vector<std::string>& path) {
    Node* node = &root_;
    for (const std::string& name : path) {
        auto found = node->subkeys.find(name);
        if (found == node->subkeys.end()) return nullptr;
        node = found->second.get();
    }
    return node;
}

uint32_t MemorySettingsStore::newHandle(std::vector<std::string> path, bool writable, os::RegKey* key) {
    auto* handle = new Handle{std::move(path), writable};
    handles_.insert(handle);
    *key = handle;
    return os::kErrorSuccess;
}

bool MemorySettingsStore::splitPath(const char* subKey, std::vector<std::string>* names) {
    // No name at all opens the key itself.
    if (subKey == nullptr || *subKey == '\0') return true;
    std::string name;
    for (const char* c = subKey;; ++c) {
        if (*c == '\\' || *c == '\0') {
            if (name.empty() || name.size() > kMaxKeyNameLength) return false;
            names->push_back(name);
            name.clear();
            if (*c == '\0') return true;
        } else {
            name += *c;
        }
    }
}

uint32_t MemorySettingsStore::createKey(os::RegKey parent, const char* subKey, os::RegKey* key) {
    Handle base;
    std::vector<std::string> names;
    if (key == nullptr) return os::kErrorInvalidParameter;
    if (!describeHandle(parent, &base)) return os::kErrorInvalidHandle;
    if (!base.writable) return os::kErrorAccessDenied;
    if (!splitPath(subKey, &names)) return os::kErrorInvalidParameter;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    for (const std::string& name : names) {
        auto& slot = node->subkeys[name];
        if (!slot) slot = std::make_unique<Node>();
        node = slot.get();
    }
    std::vector<std::string> path = base.path;
    path.insert(path.end(), names.begin(), names.end());
    return newHandle(std::move(path), true, key);
}

uint32_t MemorySettingsStore::openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) {
    Handle base;
    std::vector<std::string> names;
    if (key == nullptr) return os::kErrorInvalidParameter;
    if (!describeHandle(parent, &base)) return os::kErrorInvalidHandle;
    if (!splitPath(subKey, &names)) return os::kErrorInvalidParameter;
    if (resolve(base.path) == nullptr) return os::kErrorKeyDeleted;
    std::vector<std::string> path = base.path;
    path.insert(path.end(), names.begin(), names.end());
    if (resolve(path) == nullptr) return os::kErrorFileNotFound;
    return newHandle(std::move(path), writable, key);
}

uint32_t MemorySettingsStore::closeKey(os::RegKey key) {
    auto* handle = static_cast<Handle*>(key);
    if (handle == &rootHandle_) return os::kErrorSuccess;
    if (handles_.erase(handle) == 0) return os::kErrorInvalidHandle;
    delete handle;
    return os::kErrorSuccess;
}

uint32_t MemorySettingsStore::enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) {
    Handle base;
    if (name == nullptr || size == nullptr) return os::kErrorInvalidParameter;
    if (!describeHandle(key, &base)) return os::kErrorInvalidHandle;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    if (index >= node->subkeys.size()) return os::kErrorNoMoreItems;
    auto entry = node->subkeys.begin();
    std::advance(entry, index);
    const std::string& found = entry->first;
    if (found.size() + 1 > *size) {
        *size = static_cast<uint32_t>(found.size() + 1);
        return os::kErrorMoreData;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    *size = static_cast<uint32_t>(found.size());
    return os::kErrorSuccess;
}

uint32_t MemorySettingsStore::queryValue(os::RegKey key, const char* name, uint32_t* type, void* data,
                                         uint32_t* size) {
    Handle base;
    if (data != nullptr && size == nullptr) return os::kErrorInvalidParameter;
    if (!describeHandle(key, &base)) return os::kErrorInvalidHandle;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    const Value* value = node->findValue(name != nullptr ? name : "");
    if (value == nullptr) return os::kErrorFileNotFound;
    if (type != nullptr) *type = value->type;
    if (size == nullptr) return os::kErrorSuccess;
    const auto needed = static_cast<uint32_t>(value->data.size());
    if (data != nullptr && *size < needed) {
        *size = needed;
        return os::kErrorMoreData;
    }
    if (data != nullptr && needed != 0) std::memcpy(data, value->data.data(), needed);
    *size = needed;
    return os::kErrorSuccess;
}

uint32_t MemorySettingsStore::setValue(os::RegKey key, const char* name, uint32_t type, const void* data,
                                       uint32_t size) {
    Handle base;
    if (data == nullptr && size != 0) return os::kErrorInvalidParameter;
    if (!describeHandle(key, &base)) return os::kErrorInvalidHandle;
    if (!base.writable) return os::kErrorAccessDenied;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const std::string wanted = name != nullptr ? name : "";
    Value* value = node->findValue(wanted);
    if (value == nullptr) {
        node->values.push_back(Value{wanted, type, {}});
        value = &node->values.back();
    }
    value->type = type;
    value->data.assign(bytes, bytes + size);
    return os::kErrorSuccess;
}

uint32_t MemorySettingsStore::deleteValue(os::RegKey key, const char* name) {
    Handle base;
    if (!describeHandle(key, &base)) return os::kErrorInvalidHandle;
    if (!base.writable) return os::kErrorAccessDenied;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    const std::string wanted = name != nullptr ? name : "";
    for (auto value = node->values.begin(); value != node->values.end(); ++value) {
        if (sameName(value->name, wanted)) {
            node->values.erase(value);
            return os::kErrorSuccess;
        }
    }
    return os::kErrorFileNotFound;
}

uint32_t MemorySettingsStore::deleteTree(os::RegKey parent, const char* subKey) {
    Handle base;
    std::vector<std::string> names;
    if (!describeHandle(parent, &base)) return os::kErrorInvalidHandle;
    if (!base.writable) return os::kErrorAccessDenied;
    if (subKey == nullptr || *subKey == '\0' || !splitPath(subKey, &names)) return os::kErrorInvalidParameter;
    Node* node = resolve(base.path);
    if (node == nullptr) return os::kErrorKeyDeleted;
    const std::string last = names.back();
    names.pop_back();
    for (const std::string& name : names) {
        auto found = node->subkeys.find(name);
        if (found == node->subkeys.end()) return os::kErrorFileNotFound;
        node = found->second.get();
    }
    return node->subkeys.erase(last) != 0 ? os::kErrorSuccess : os::kErrorFileNotFound;
}

void MemorySettingsStore::describeNode(const Node& node, const std::string& path, std::string* out) {
    for (const Value& value : node.values) {
        *out += "value " + path + " " + value.name + " " + std::to_string(value.type) + " ";
        char hex[3];
        for (uint8_t byte : value.data) {
            std::snprintf(hex, sizeof hex, "%02x", byte);
            *out += hex;
        }
        *out += "\n";
    }
    for (const auto& entry : node.subkeys) {
        const std::string child = path.empty() ? entry.first : path + "\\" + entry.first;
        *out += "key " + child + "\n";
        describeNode(*entry.second, child, out);
    }
}

std::string MemorySettingsStore::describe() const {
    std::string out;
    describeNode(root_, "", &out);
    return out;
}
