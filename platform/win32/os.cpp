// The operating-system boundary as thin wrappers over the Win32 calls.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/win32/system_library.h"

namespace os {

uint32_t lastError() { return GetLastError(); }

void setLastError(uint32_t code) { SetLastError(code); }

bool systemErrorText(uint32_t code, char* text, size_t size) {
    char* message = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<char*>(&message), 0, nullptr);
    if (length == 0 || !message) {
        if (text && size) std::snprintf(text, size, "Unknown error 0x%08x", static_cast<unsigned>(code));
        return false;
    }
    while (length > 0 && (message[length - 1] == '\r' || message[length - 1] == '\n')) message[--length] = '\0';
    if (text && size) std::snprintf(text, size, "%s", message);
    LocalFree(message);
    return true;
}

Handle createEvent(bool manualReset, bool initiallySignalled, const char* name, bool* alreadyExisted) {
    HANDLE event = CreateEventA(nullptr, manualReset, initiallySignalled, name && *name ? name : nullptr);
    if (alreadyExisted) *alreadyExisted = event && GetLastError() == ERROR_ALREADY_EXISTS;
    return event;
}

Handle openEvent(const char* name) {
    if (!name || !*name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name);
}

bool setEvent(Handle event) { return SetEvent(event) != 0; }
bool resetEvent(Handle event) { return ResetEvent(event) != 0; }

Handle createSemaphore(int32_t initialCount, int32_t maximumCount) {
    return CreateSemaphoreA(nullptr, initialCount, maximumCount, nullptr);
}

bool releaseSemaphore(Handle semaphore, int32_t count, int32_t* previousCount) {
    LONG previous = 0;
    if (!ReleaseSemaphore(semaphore, count, &previous)) return false;
    if (previousCount) *previousCount = previous;
    return true;
}

bool closeHandle(Handle handle) { return handle && CloseHandle(handle) != 0; }

uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
    if (!handles || count == 0 || count > kMaxWaitHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    for (uint32_t i = 0; i < count; ++i) {
        if (!handles[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return kWaitFailed;
        }
    }
    return WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
}

uint32_t waitForOne(Handle handle, uint32_t timeoutMs) { return waitForAny(&handle, 1, timeoutMs); }

uint32_t signalAndWait(Handle toSignal, Handle toWait, uint32_t timeoutMs) {
    return SignalObjectAndWait(toSignal, toWait, timeoutMs, FALSE);
}

static_assert(sizeof(CRITICAL_SECTION) <= 64, "CRITICAL_SECTION must fit RecursiveMutex's storage");
static_assert(alignof(CRITICAL_SECTION) <= 16, "CRITICAL_SECTION must fit RecursiveMutex's alignment");

static CRITICAL_SECTION* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}

RecursiveMutex::RecursiveMutex() { InitializeCriticalSection(new (storage_) CRITICAL_SECTION); }
RecursiveMutex::~RecursiveMutex() { DeleteCriticalSection(native(storage_)); }
void RecursiveMutex::lock() { EnterCriticalSection(native(storage_)); }
bool RecursiveMutex::tryLock() { return TryEnterCriticalSection(native(storage_)) != 0; }
void RecursiveMutex::unlock() { LeaveCriticalSection(native(storage_)); }

namespace {

struct ThreadStart {
    ThreadProc proc;
    void* argument;
};

DWORD WINAPI threadTrampoline(void* parameter) {
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    return start.proc(start.argument);
}

int nativePriority(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::AboveNormal: return THREAD_PRIORITY_ABOVE_NORMAL;
        case ThreadPriority::Highest: return THREAD_PRIORITY_HIGHEST;
        case ThreadPriority::TimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
        default: return THREAD_PRIORITY_NORMAL;
    }
}

}  // namespace

Handle createThread(ThreadProc proc, void* argument, bool suspended, ThreadPriority priority) {
    if (!proc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* start = new (std::nothrow) ThreadStart{proc, argument};
    if (!start) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Always created suspended, so the priority is in place before it runs.
    HANDLE thread = CreateThread(nullptr, 0, threadTrampoline, start, CREATE_SUSPENDED, nullptr);
    if (!thread) {
        delete start;
        return nullptr;
    }
    if (priority != ThreadPriority::Normal) SetThreadPriority(thread, nativePriority(priority));
    if (!suspended) ResumeThread(thread);
    return thread;
}

bool resumeThread(Handle thread) { return ResumeThread(thread) != static_cast<DWORD>(-1); }

bool setCurrentThreadPriority(ThreadPriority priority) {
    return SetThreadPriority(GetCurrentThread(), nativePriority(priority)) != 0;
}

namespace {

// avrt.dll, bound once per process and never released.
struct AvrtEntries {
    HANDLE(WINAPI* join)(LPCSTR, LPDWORD) = nullptr;
    BOOL(WINAPI* setPriority)(HANDLE, int) = nullptr;
    BOOL(WINAPI* leave)(HANDLE) = nullptr;
};

const AvrtEntries& avrt() {
    static const AvrtEntries entries = [] {
        AvrtEntries e;
        HMODULE library = loadSystemLibrary("avrt.dll");
        if (library == nullptr) return e;
        e.join = reinterpret_cast<decltype(e.join)>(
            reinterpret_cast<void*>(GetProcAddress(library, "AvSetMmThreadCharacteristicsA")));
        e.setPriority =
            reinterpret_cast<decltype(e.setPriority)>(reinterpret_cast<void*>(GetProcAddress(library, "AvSetMmThreadPriority")));
        e.leave = reinterpret_cast<decltype(e.leave)>(
            reinterpret_cast<void*>(GetProcAddress(library, "AvRevertMmThreadCharacteristics")));
        if (e.join == nullptr || e.leave == nullptr) e = AvrtEntries();
        return e;
    }();
    return entries;
}

constexpr int kAvrtPriorityCritical = 2;  // AVRT_PRIORITY_CRITICAL

}  // namespace

Handle joinProAudioTask() {
    const AvrtEntries& entries = avrt();
    DWORD taskIndex = 0;
    HANDLE task = entries.join != nullptr ? entries.join("Pro Audio", &taskIndex) : nullptr;
    if (task == nullptr) {
        // No scheduler service (or it is switched off): time-critical it is.
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        return nullptr;
    }
    if (entries.setPriority != nullptr) entries.setPriority(task, kAvrtPriorityCritical);
    return task;
}

void leaveProAudioTask(Handle task) {
    if (task != nullptr && avrt().leave != nullptr) avrt().leave(task);
}

bool getExitCode(Handle threadOrProcess, uint32_t* exitCode) {
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD code = 0;
    // Thread and process handles answer different calls; try both.
    if (!GetExitCodeThread(threadOrProcess, &code) && !GetExitCodeProcess(threadOrProcess, &code)) return false;
    *exitCode = code;
    return true;
}

uint32_t currentThreadId() { return GetCurrentThreadId(); }

void sleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t tickMs() { return timeGetTime(); }

uint64_t nanoseconds() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<uint64_t>(value.QuadPart);
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
    // Split to keep the product from overflowing.
    return ticks / frequency * 1000000000u + ticks % frequency * 1000000000u / frequency;
}

Handle startProcess(const char* path, const char* arguments) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string commandLine = std::string("\"") + path + "\"";
    if (arguments && *arguments) commandLine += std::string(" ") + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(path, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

bool terminateProcess(Handle process, uint32_t exitCode) { return TerminateProcess(process, exitCode) != 0; }

uint32_t currentProcessId() { return GetCurrentProcessId(); }

uint32_t processThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    THREADENTRY32 entry;
    entry.dwSize = sizeof(entry);
    uint32_t count = 0;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        count += entry.th32OwnerProcessID == self;
    CloseHandle(snapshot);
    return count;
}

bool fileExists(const char* path) {
    if (!path) return false;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool currentExecutablePath(char* path, size_t size) {
    if (!path || size == 0 || size > 0xFFFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD length = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(size));
    if (length == 0 || length >= size) {
        if (length >= size) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        path[0] = '\0';
        return false;
    }
    return true;
}

bool setEnvironmentVariable(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // _putenv keeps the C runtime's copy (getenv) and the process
    // environment (inherited by started processes) in step.
    std::string assignment = std::string(name) + "=" + (value ? value : "");
    if (_putenv(assignment.c_str()) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

}  // namespace os
