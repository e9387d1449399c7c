// Shared by the platform tests: names no other run can collide with, and
// the helper program next to the test executable.
#pragma once

#include <string>

#include "platform/os.h"

namespace platform_test {

// Generous: these bound a wait that normally ends at once, never a speed.
constexpr uint32_t kPatienceMs = 60000;

inline std::string uniqueName(const char* prefix) {
    return std::string(prefix) + "-" + std::to_string(os::currentProcessId()) + "-" +
           std::to_string(os::nanoseconds());
}

inline std::string helperPath() {
    char self[4096];
    if (!os::currentExecutablePath(self, sizeof self)) return {};
    std::string path(self);
    path.erase(path.find_last_of("/\\") + 1);
#if defined(_WIN32)
    return path + "platform_test_helper.exe";
#else
    return path + "platform_test_helper";
#endif
}

// Runs the helper with `arguments` to its end; its exit code, or -1.
inline int runHelper(const std::string& arguments) {
    os::Handle process = os::startProcess(helperPath().c_str(), arguments.c_str());
    if (!process) return -1;
    uint32_t code = 0xFFFFFFFFu;
    bool ended = os::waitForOne(process, kPatienceMs) == os::kWaitObject0 && os::getExitCode(process, &code);
    os::closeHandle(process);
    return ended ? static_cast<int>(code) : -1;
}

}  // namespace platform_test
