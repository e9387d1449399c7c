// The store the settings are kept in, as the settings code sees it: the
// per-user registry functions of platform/registry.h behind an interface,
// so that tests and the fuzzer can put a store of their own (in memory, or
// one that fails on purpose) under the same code.
//
// Every function has the semantics of its os::reg* namesake and returns a
// Win32 error code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/registry.h"

class SettingsStoreIf {
public:
    virtual ~SettingsStoreIf() = default;

    // HKEY_CURRENT_USER of this store.
    virtual os::RegKey rootKey() = 0;
    virtual uint32_t createKey(os::RegKey parent, const char* subKey, os::RegKey* key) = 0;
    virtual uint32_t openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) = 0;
    virtual uint32_t closeKey(os::RegKey key) = 0;
    virtual uint32_t enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) = 0;
    virtual uint32_t queryValue(os::RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) = 0;
    virtual uint32_t setValue(os::RegKey key, const char* name, uint32_t type, const void* data,
                              uint32_t size) = 0;
    virtual uint32_t deleteValue(os::RegKey key, const char* name) = 0;
    // A key with everything below it; an empty subkey name is refused.
    virtual uint32_t deleteTree(os::RegKey parent, const char* subKey) = 0;
};

// The user's real store: the registry on Windows, the file store elsewhere.
SettingsStoreIf& userSettingsStore();

// An open key of a store, closed when it goes out of scope, so that every
// path out of the settings code closes what it opened.
class SettingsKey {
public:
    explicit SettingsKey(SettingsStoreIf& store) : store_(store) {}
    ~SettingsKey() { close(); }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    // On success the key held before is closed; on failure it stays open.
    // A key may walk down from itself: key.open(key.get(), "child", false).
    uint32_t create(os::RegKey parent, const char* subKey);
    uint32_t open(os::RegKey parent, const char* subKey, bool writable);
    void close();
    bool isOpen() const { return key_ != nullptr; }
    os::RegKey get() const { return key_; }
    SettingsStoreIf& store() const { return store_; }

    // ERROR_NO_MORE_ITEMS past the last subkey, ERROR_MORE_DATA for a name
    // that does not fit `size` characters with its terminator.
    uint32_t enumKey(uint32_t index, char* name, uint32_t size);
    // A REG_DWORD of exactly 4 bytes; ERROR_UNSUPPORTED_TYPE otherwise.
    uint32_t getDword(const char* name, uint32_t* value);
    // A REG_SZ that fits `size` bytes with its terminator (a value that
    // does not is ERROR_MORE_DATA); the text is always terminated.
    uint32_t getString(const char* name, char* text, uint32_t size);
    uint32_t setDword(const char* name, uint32_t value);
    // Written with its terminating zero.
    uint32_t setString(const char* name, const char* text);
    uint32_t deleteValue(const char* name);
    uint32_t deleteTree(const char* subKey);

private:
    SettingsStoreIf& store_;
    os::RegKey key_ = nullptr;
};
