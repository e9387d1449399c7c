// Figures of the running process for long runs (os.h): resident memory,
// open handles, and replacing a file in one step.
#include <windows.h>

#include <psapi.h>

#include "platform/os.h"

namespace os {

uint64_t processResidentBytes() {
    PROCESS_MEMORY_COUNTERS counters;
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.WorkingSetSize;
}

uint32_t processHandleCount() {
    DWORD count = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &count) ? count : 0;
}

bool replaceFile(const char* from, const char* to) {
    return from && to && MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace os
