// Figures of the running process for long runs (os.h): resident memory,
// open handles, and replacing a file in one step.
#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "platform/os.h"
#include "platform/posix/kernel_object.h"

namespace os {

uint64_t processResidentBytes() {
    FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return 0;
    char line[256];
    unsigned long long kilobytes = 0;
    while (std::fgets(line, sizeof(line), status) != nullptr)
        if (std::sscanf(line, "VmRSS: %llu kB", &kilobytes) == 1) break;
    std::fclose(status);
    return kilobytes * 1024;
}

uint32_t processHandleCount() {
    uint32_t descriptors = 0;
    if (DIR* open = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(open)) descriptors += entry->d_name[0] != '.';
        closedir(open);
        --descriptors;  // the listing's own
    }
    return posix::openHandleCount() + descriptors;
}

bool replaceFile(const char* from, const char* to) { return from && to && std::rename(from, to) == 0; }

}  // namespace os
