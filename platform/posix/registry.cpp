// The registry functions over the file store: a key handle is its root and
// path, resolved afresh at every call, so it stays valid while other
// processes change the store; a key deleted meanwhile reports
// ERROR_KEY_DELETED.
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/settings_store.h"
#include "platform/registry.h"

namespace os::posix {
namespace {

struct KeyHandle {
    RegRoot root;
    std::vector<std::string> path;
    bool writable;
};

KeyHandle currentUserRoot{RegRoot::CurrentUser, {}, true};
KeyHandle localMachineRoot{RegRoot::LocalMachine, {}, false};

std::mutex& handleLock() {
    static std::mutex lock;  // trivially destructible: safe at exit
    return lock;
}

// With handleLock() held; created on first use, freed before an unload once
// no key is open.
std::set<KeyHandle*>*& openKeySlot() {
    static std::set<KeyHandle*>* keys = nullptr;
    return keys;
}
std::set<KeyHandle*>& openKeys() {
    std::set<KeyHandle*>*& keys = openKeySlot();
    if (keys == nullptr) keys = new std::set<KeyHandle*>;
    return *keys;
}

// A copy of the handle's description, or false for an invalid handle.
bool describe(RegKey key, KeyHandle* out) {
    auto* handle = static_cast<KeyHandle*>(key);
    if (handle == &currentUserRoot || handle == &localMachineRoot) {
        *out = *handle;
        return true;
    }
    std::lock_guard<std::mutex> guard(handleLock());
    if (!openKeys().count(handle)) return false;
    *out = *handle;
    return true;
}

uint32_t newHandle(RegRoot root, std::vector<std::string> path, bool writable, RegKey* key) {
    auto* handle = new (std::nothrow) KeyHandle{root, std::move(path), writable};
    if (!handle) return kErrorNotEnoughMemory;
    std::lock_guard<std::mutex> guard(handleLock());
    openKeys().insert(handle);
    *key = handle;
    return kErrorSuccess;
}

SettingsKey* resolve(SettingsKey& tree, const std::vector<std::string>& path) {
    SettingsKey* key = &tree;
    for (const std::string& name : path) {
        key = key->child(name);
        if (!key) return nullptr;
    }
    return key;
}

}  // namespace

bool releaseRegistryKeys() {
    std::lock_guard<std::mutex> guard(handleLock());
    std::set<KeyHandle*>*& keys = openKeySlot();
    if (keys != nullptr && !keys->empty()) return false;
    delete keys;
    keys = nullptr;
    return true;
}

}  // namespace os::posix

namespace os {

using posix::KeyHandle;
using posix::SettingsKey;
using posix::StoreSession;

RegKey regRootKey(RegRoot root) {
    return root == RegRoot::CurrentUser ? &posix::currentUserRoot : &posix::localMachineRoot;
}

uint32_t regCreateKey(RegKey parent, const char* subKey, RegKey* key) {
    KeyHandle base;
    std::vector<std::string> names;
    if (!key) return kErrorInvalidParameter;
    if (!posix::describe(parent, &base)) return kErrorInvalidHandle;
    if (!base.writable) return kErrorAccessDenied;
    if (!posix::splitKeyPath(subKey, &names)) return kErrorInvalidParameter;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    bool created = false;
    for (const std::string& name : names) {
        auto& slot = current->subkeys[name];
        if (!slot) {
            slot = std::make_unique<SettingsKey>();
            created = true;
        }
        current = slot.get();
    }
    if (created) {
        if (uint32_t error = store.save()) return error;
    }
    std::vector<std::string> path = base.path;
    path.insert(path.end(), names.begin(), names.end());
    return posix::newHandle(base.root, std::move(path), true, key);
}

uint32_t regOpenKey(RegKey parent, const char* subKey, bool writable, RegKey* key) {
    KeyHandle base;
    std::vector<std::string> names;
    if (!key) return kErrorInvalidParameter;
    if (!posix::describe(parent, &base)) return kErrorInvalidHandle;
    if (writable && base.root == RegRoot::LocalMachine) return kErrorAccessDenied;
    if (!posix::splitKeyPath(subKey, &names)) return kErrorInvalidParameter;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    if (!posix::resolve(*current, names)) return kErrorFileNotFound;
    std::vector<std::string> path = base.path;
    path.insert(path.end(), names.begin(), names.end());
    return posix::newHandle(base.root, std::move(path), writable, key);
}

uint32_t regCloseKey(RegKey key) {
    auto* handle = static_cast<KeyHandle*>(key);
    if (handle == &posix::currentUserRoot || handle == &posix::localMachineRoot) return kErrorSuccess;
    {
        std::lock_guard<std::mutex> guard(posix::handleLock());
        if (!posix::openKeys().erase(handle)) return kErrorInvalidHandle;
    }
    delete handle;
    return kErrorSuccess;
}

uint32_t regEnumKey(RegKey key, uint32_t index, char* name, uint32_t* size) {
    KeyHandle base;
    if (!name || !size) return kErrorInvalidParameter;
    if (!posix::describe(key, &base)) return kErrorInvalidHandle;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    if (index >= current->subkeys.size()) return kErrorNoMoreItems;
    auto entry = current->subkeys.begin();
    std::advance(entry, index);
    const std::string& found = entry->first;
    if (found.size() + 1 > *size) {
        *size = static_cast<uint32_t>(found.size() + 1);
        return kErrorMoreData;
    }
    std::memcpy(name, found.c_str(), found.size() + 1);
    *size = static_cast<uint32_t>(found.size());
    return kErrorSuccess;
}

uint32_t regQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
    KeyHandle base;
    if (data && !size) return kErrorInvalidParameter;
    if (!posix::describe(key, &base)) return kErrorInvalidHandle;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    const posix::SettingsValue* value = current->findValue(name ? name : "");
    if (!value) return kErrorFileNotFound;
    if (type) *type = value->type;
    if (!size) return kErrorSuccess;
    uint32_t needed = static_cast<uint32_t>(value->data.size());
    if (data && *size < needed) {
        *size = needed;
        return kErrorMoreData;
    }
    if (data && needed) std::memcpy(data, value->data.data(), needed);
    *size = needed;
    return kErrorSuccess;
}

uint32_t regSetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
    KeyHandle base;
    if (!data && size) return kErrorInvalidParameter;
    if (!posix::describe(key, &base)) return kErrorInvalidHandle;
    if (!base.writable) return kErrorAccessDenied;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    posix::SettingsValue value;
    value.name = name ? name : "";
    value.type = type;
    const auto* bytes = static_cast<const uint8_t*>(data);
    value.data.assign(bytes, bytes + size);
    if (posix::SettingsValue* existing = current->findValue(value.name)) {
        existing->type = value.type;
        existing->data = std::move(value.data);
    } else {
        current->values.push_back(std::move(value));
    }
    return store.save();
}

uint32_t regDeleteValue(RegKey key, const char* name) {
    KeyHandle base;
    if (!posix::describe(key, &base)) return kErrorInvalidHandle;
    if (!base.writable) return kErrorAccessDenied;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    const std::string wanted = name ? name : "";
    for (auto value = current->values.begin(); value != current->values.end(); ++value) {
        if (posix::equalsIgnoringCase(value->name, wanted)) {
            current->values.erase(value);
            return store.save();
        }
    }
    return kErrorFileNotFound;
}

uint32_t regDeleteTree(RegKey parent, const char* subKey) {
    KeyHandle base;
    std::vector<std::string> names;
    if (!posix::describe(parent, &base)) return kErrorInvalidHandle;
    if (!base.writable) return kErrorAccessDenied;
    if (!subKey || !*subKey || !posix::splitKeyPath(subKey, &names)) return kErrorInvalidParameter;
    StoreSession store(base.root);
    if (store.status() != kErrorSuccess) return store.status();
    SettingsKey* current = posix::resolve(store.tree(), base.path);
    if (!current) return kErrorKeyDeleted;
    const std::string last = names.back();
    names.pop_back();
    SettingsKey* owner = posix::resolve(*current, names);
    if (!owner || !owner->subkeys.erase(last)) return kErrorFileNotFound;
    return store.save();
}

}  // namespace os
