// The files behind the settings store (see settings_store.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/settings_tree.h"
#include "platform/registry.h"

namespace os::posix {

// One operation on a store: loads it under the store's inter-process lock
// (held until destruction) and saves changes crash-safely.
class StoreSession {
public:
    explicit StoreSession(RegRoot root);
    ~StoreSession();
    StoreSession(const StoreSession&) = delete;
    StoreSession& operator=(const StoreSession&) = delete;

    // kErrorSuccess when the store could be locked and read.
    uint32_t status() const { return status_; }
    SettingsKey& tree() { return tree_; }
    uint32_t save();

private:
    uint32_t status_;
    bool writable_ = false;
    int lockFd_ = -1;
    std::string directory_, file_;
    SettingsKey tree_;
};

}  // namespace os::posix
