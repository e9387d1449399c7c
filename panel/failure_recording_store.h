// A settings store that passes every call on to another store and remembers
// why the last failed write failed, so that the dialog can tell the user
// what went wrong when a save reports false.
#pragma once

#include <cstdint>

#include "brands/settings_store.h"

class FailureRecordingStore final : public SettingsStoreIf {
public:
    explicit FailureRecordingStore(SettingsStoreIf& inner) : inner_(inner) {}

    // The Win32 error code of the last write (key creation, value write or
    // deletion) that failed since forgetFailure(); 0 when none did.
    // Deleting a value that is not there counts as no failure.
    uint32_t lastFailure() const { return lastFailure_; }
    void forgetFailure() { lastFailure_ = 0; }

    os::RegKey rootKey() override { return inner_.rootKey(); }
    uint32_t createKey(os::RegKey parent, const char* subKey, os::RegKey* key) override;
    uint32_t openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) override {
        return inner_.openKey(parent, subKey, writable, key);
    }
    uint32_t closeKey(os::RegKey key) override { return inner_.closeKey(key); }
    uint32_t enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) override {
        return inner_.enumKey(key, index, name, size);
    }
    uint32_t queryValue(os::RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) override {
        return inner_.queryValue(key, name, type, data, size);
    }
    uint32_t setValue(os::RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override;
    uint32_t deleteValue(os::RegKey key, const char* name) override;
    uint32_t deleteTree(os::RegKey parent, const char* subKey) override;

private:
    uint32_t note(uint32_t result);

    SettingsStoreIf& inner_;
    uint32_t lastFailure_ = 0;
};
