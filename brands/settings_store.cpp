#include "brands/settings_store.h"

#include <cstring>

#include "base/utilities.h"
#include "platform/errors.h"

namespace {

class UserRegistryStore final : public SettingsStoreIf {
public:
    os::RegKey rootKey() override { return os::regRootKey(os::RegRoot::CurrentUser); }
    uint32_t createKey(os::RegKey parent, const char* subKey, os::RegKey* key) override {
        return os::regCreateKey(parent, subKey, key);
    }
    uint32_t openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) override {
        return os::regOpenKey(parent, subKey, writable, key);
    }
    uint32_t closeKey(os::RegKey key) override { return os::regCloseKey(key); }
    uint32_t enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) override {
        return os::regEnumKey(key, index, name, size);
    }
    uint32_t queryValue(os::RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) override {
        return os::regQueryValue(key, name, type, data, size);
    }
    uint32_t setValue(os::RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override {
        return os::regSetValue(key, name, type, data, size);
    }
    uint32_t deleteValue(os::RegKey key, const char* name) override { return os::regDeleteValue(key, name); }
    uint32_t deleteTree(os::RegKey parent, const char* subKey) override { return deleteRegistryKey(parent, subKey); }
};

}  // namespace

SettingsStoreIf& userSettingsStore() {
    static UserRegistryStore store;
    return store;
}

uint32_t SettingsKey::create(os::RegKey parent, const char* subKey) {
    // The new key is opened before the old one is closed, so that a key can
    // walk down from itself: key.open(key.get(), "child", ...).
    os::RegKey key = nullptr;
    const uint32_t error = store_.createKey(parent, subKey, &key);
    if (error != os::kErrorSuccess) return error;
    close();
    key_ = key;
    return error;
}

uint32_t SettingsKey::open(os::RegKey parent, const char* subKey, bool writable) {
    os::RegKey key = nullptr;
    const uint32_t error = store_.openKey(parent, subKey, writable, &key);
    if (error != os::kErrorSuccess) return error;
    close();
    key_ = key;
    return error;
}

void SettingsKey::close() {
    if (key_ != nullptr) store_.closeKey(key_);
    key_ = nullptr;
}

uint32_t SettingsKey::enumKey(uint32_t index, char* name, uint32_t size) {
    if (name == nullptr || size == 0) return os::kErrorInvalidParameter;
    name[0] = '\0';
    uint32_t length = size;
    const uint32_t error = store_.enumKey(key_, index, name, &length);
    if (error != os::kErrorSuccess) name[0] = '\0';
    // A store that claims a name longer than the buffer is not believed.
    else if (length >= size) return os::kErrorMoreData;
    else name[length] = '\0';
    return error;
}

uint32_t SettingsKey::getDword(const char* name, uint32_t* value) {
    if (value == nullptr) return os::kErrorInvalidParameter;
    uint32_t type = os::kRegNone;
    uint32_t read = 0;
    uint32_t size = sizeof read;
    const uint32_t error = store_.queryValue(key_, name, &type, &read, &size);
    if (error == os::kErrorMoreData) return os::kErrorUnsupportedType;
    if (error != os::kErrorSuccess) return error;
    if (type != os::kRegDword || size != sizeof read) return os::kErrorUnsupportedType;
    *value = read;
    return os::kErrorSuccess;
}

uint32_t SettingsKey::getString(const char* name, char* text, uint32_t size) {
    if (text == nullptr || size == 0) return os::kErrorInvalidParameter;
    std::memset(text, 0, size);
    uint32_t type = os::kRegNone;
    uint32_t got = size;
    uint32_t error = store_.queryValue(key_, name, &type, text, &got);
    if (error == os::kErrorSuccess && type != os::kRegSz) error = os::kErrorUnsupportedType;
    if (error == os::kErrorSuccess && got > size) error = os::kErrorMoreData;
    // A stored string need not carry its terminator; one that fills the
    // whole buffer without it does not fit.
    if (error == os::kErrorSuccess && std::memchr(text, '\0', got) == nullptr && got == size)
        error = os::kErrorMoreData;
    if (error != os::kErrorSuccess) {
        std::memset(text, 0, size);
        return error;
    }
    text[got < size ? got : size - 1] = '\0';
    return os::kErrorSuccess;
}

uint32_t SettingsKey::setDword(const char* name, uint32_t value) {
    return store_.setValue(key_, name, os::kRegDword, &value, sizeof value);
}

uint32_t SettingsKey::setString(const char* name, const char* text) {
    if (text == nullptr) return os::kErrorInvalidParameter;
    return store_.setValue(key_, name, os::kRegSz, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

uint32_t SettingsKey::deleteValue(const char* name) { return store_.deleteValue(key_, name); }

uint32_t SettingsKey::deleteTree(const char* subKey) { return store_.deleteTree(key_, subKey); }
