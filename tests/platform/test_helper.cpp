// The other process of the cross-process tests. Exit codes tell the test
// what happened: 0 success, 1 "already existed", 2 and up failures.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/os.h"
#include "platform/registry.h"

namespace {

constexpr uint32_t kPatienceMs = 60000;

int setEvent(const char* name) {
    os::Handle event = os::openEvent(name);
    if (!event) return 2;
    bool set = os::setEvent(event);
    os::closeHandle(event);
    return set ? 0 : 3;
}

int createEvent(const char* name, bool closeBeforeExit) {
    bool existed = false;
    os::Handle event = os::createEvent(false, false, name, &existed);
    if (!event) return 2;
    if (!closeBeforeExit) std::_Exit(existed ? 1 : 0);  // as if the process crashed
    os::closeHandle(event);
    return existed ? 1 : 0;
}

// Creates `name`, tells the test by setting `ready`, holds `name` until
// `release` is set.
int holdEvent(const char* name, const char* ready, const char* release) {
    bool existed = false;
    os::Handle event = os::createEvent(false, false, name, &existed);
    os::Handle releaseEvent = os::openEvent(release);
    if (!event || !releaseEvent || setEvent(ready) != 0) return 2;
    uint32_t waited = os::waitForOne(releaseEvent, kPatienceMs);
    os::closeHandle(releaseEvent);
    os::closeHandle(event);
    if (waited != os::kWaitObject0) return 3;
    return existed ? 1 : 0;
}

// Writes `count` values named "<tag>-<i>" holding i into the key.
int writeValues(const char* keyPath, const char* tag, int count) {
    os::RegKey key;
    if (os::regCreateKey(os::regRootKey(os::RegRoot::CurrentUser), keyPath, &key) != 0) return 2;
    for (int i = 0; i < count; ++i) {
        std::string name = std::string(tag) + "-" + std::to_string(i);
        if (os::regSetDword(key, name.c_str(), static_cast<uint32_t>(i)) != 0) return 3;
    }
    os::regCloseKey(key);
    return 0;
}

// Rewrites "Blob" without end: each content is 4 bytes of a sequence number
// followed by that number's low byte, so a torn write shows. Sets `ready`
// after the first one.
int churn(const char* keyPath, const char* ready, uint32_t first) {
    os::RegKey key;
    if (os::regCreateKey(os::regRootKey(os::RegRoot::CurrentUser), keyPath, &key) != 0) return 2;
    std::vector<uint8_t> blob(16384);
    for (uint32_t sequence = first;; ++sequence) {
        std::memcpy(blob.data(), &sequence, 4);
        std::memset(blob.data() + 4, static_cast<int>(sequence & 0xFF), blob.size() - 4);
        if (os::regSetValue(key, "Blob", os::kRegBinary, blob.data(), static_cast<uint32_t>(blob.size())) != 0) {
            return 3;
        }
        if (sequence == first && setEvent(ready) != 0) return 4;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "set" && argc == 3) return setEvent(argv[2]);
    if (mode == "create" && argc == 3) return createEvent(argv[2], true);
    if (mode == "create-and-die" && argc == 3) return createEvent(argv[2], false);
    if (mode == "hold" && argc == 5) return holdEvent(argv[2], argv[3], argv[4]);
    if (mode == "write" && argc == 5) return writeValues(argv[2], argv[3], std::atoi(argv[4]));
    if (mode == "churn" && argc == 5) return churn(argv[2], argv[3], static_cast<uint32_t>(std::atol(argv[4])));
    // The argument echo: exit code = number of arguments, to check splitting.
    if (mode == "count") return argc;
    return 99;
}
