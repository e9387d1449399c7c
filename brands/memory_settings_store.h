// A settings store held in memory, with the registry's semantics as far as
// the settings code relies on them: names compare ignoring ASCII case and
// keep the case they were created with, subkeys enumerate in
// case-insensitive order, key names are at most 255 characters, a too small
// buffer gives ERROR_MORE_DATA, and a handle whose key was deleted gives
// ERROR_KEY_DELETED. Tests and the settings fuzzer put it under the
// settings code; nothing of it reaches the user's store.
//
// Not thread-safe: one thread at a time.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "brands/settings_store.h"

class MemorySettingsStore final : public SettingsStoreIf {
public:
    static constexpr size_t kMaxKeyNameLength = 255;

    MemorySettingsStore();
    ~MemorySettingsStore() override;

    os::RegKey rootKey() override;
    uint32_t createKey(os::RegKey parent, const char* subKey, os::RegKey* key) override;
    uint32_t openKey(os::RegKey parent, const char* subKey, bool writable, os::RegKey* key) override;
    uint32_t closeKey(os::RegKey key) override;
    uint32_t enumKey(os::RegKey key, uint32_t index, char* name, uint32_t* size) override;
    uint32_t queryValue(os::RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) override;
    uint32_t setValue(os::RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) override;
    uint32_t deleteValue(os::RegKey key, const char* name) override;
    uint32_t deleteTree(os::RegKey parent, const char* subKey) override;

    // Every key and value, one line each, in enumeration order:
    // "key <path>" and "value <path> <name> <type> <hex bytes>".
    std::string describe() const;
    // Keys opened or created and not closed yet.
    size_t openHandles() const { return handles_.size(); }

private:
    struct Less {
        bool operator()(const std::string& a, const std::string& b) const;
    };
    struct Value {
        std::string name;
        uint32_t type = 0;
        std::vector<uint8_t> data;
    };
    struct Node {
        std::map<std::string, std::unique_ptr<Node>, Less> subkeys;
        std::vector<Value> values;
        Value* findValue(const std::string& name);
    };
    struct Handle {
        std::vector<std::string> path;
        bool writable;
    };

    bool describeHandle(os::RegKey key, Handle* out) const;
    Node* resolve(const std::vector<std::string>& path);
    uint32_t newHandle(std::vector<std::string> path, bool writable, os::RegKey* key);
    static bool splitPath(const char* subKey, std::vector<std::string>* names);
    static void describeNode(const Node& node, const std::string& path, std::string* out);

    Node root_;
    Handle rootHandle_;
    std::set<Handle*> handles_;
};
