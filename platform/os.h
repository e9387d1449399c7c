// The operating-system services the driver and the settings dialog rely on,
// with Windows semantics on every platform.
//
// platform/win32/ implements them as thin wrappers over the Win32 calls;
// platform/posix/ builds the same semantics on POSIX threads. No file outside
// platform/ includes <windows.h> or a POSIX header.
//
// Conventions:
// - Functions that create or open a kernel object return nullptr on failure
//   and leave the reason in lastError() as a Win32 error code (see
//   platform/errors.h); the POSIX implementation sets the same codes.
// - Handles are closed with closeHandle(), whatever kind they are.
// - Times are milliseconds; kInfinite waits without a time-out.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

using Handle = void*;

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Results of the wait functions (the Win32 values).
constexpr uint32_t kWaitObject0 = 0x00000000u;
constexpr uint32_t kWaitAbandoned0 = 0x00000080u;
constexpr uint32_t kWaitTimeout = 0x00000102u;
constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;

// The most handles one wait may name (MAXIMUM_WAIT_OBJECTS).
constexpr uint32_t kMaxWaitHandles = 64;

// ---------------------------------------------------------------- errors

uint32_t lastError();
void setLastError(uint32_t code);

// The system's message for a Win32 error code in the user's language, with
// trailing line breaks removed, cut to fit size - 1 characters. Returns false
// (and writes a generic "Unknown error 0x........" text) when the system has
// no message for the code.
bool systemErrorText(uint32_t code, char* text, size_t size);

// --------------------------------------------------------- kernel objects

// An event. A manual-reset event stays signalled until reset and releases
// every waiter; an auto-reset event releases exactly one waiter and resets.
// A named event is shared between processes: the first creator makes it,
// later creators open the same event and see *alreadyExisted set to true.
Handle createEvent(bool manualReset, bool initiallySignalled, const char* name = nullptr,
                   bool* alreadyExisted = nullptr);
// Opens an existing named event for setting and waiting; nullptr with
// ERROR_FILE_NOT_FOUND when no process holds it.
Handle openEvent(const char* name);
bool setEvent(Handle event);
bool resetEvent(Handle event);

// A counting semaphore; releasing past the maximum fails (ERROR_TOO_MANY_POSTS)
// and leaves the count unchanged.
Handle createSemaphore(int32_t initialCount, int32_t maximumCount);
bool releaseSemaphore(Handle semaphore, int32_t count = 1, int32_t* previousCount = nullptr);

bool closeHandle(Handle handle);

// Waits until one of the handles is signalled and returns kWaitObject0 + the
// lowest signalled index, consuming exactly that one signal (one auto-reset
// event signal or one semaphore count). kWaitTimeout when the time runs out,
// kWaitFailed for invalid arguments (no handles, more than kMaxWaitHandles,
// a null handle). Events, semaphores, threads and processes can be mixed.
uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs);
uint32_t waitForOne(Handle handle, uint32_t timeoutMs);

// Signals one object (an event or a semaphore) and waits for another as one
// step: no other waiter on `toWait` can slip in between.
uint32_t signalAndWait(Handle toSignal, Handle toWait, uint32_t timeoutMs);

// A re-enterable mutex with the semantics of a critical section: the owning
// thread may lock it again and must unlock it as often.
class RecursiveMutex {
public:
    RecursiveMutex();
    ~RecursiveMutex();
    RecursiveMutex(const RecursiveMutex&) = delete;
    RecursiveMutex& operator=(const RecursiveMutex&) = delete;

    void lock();
    bool tryLock();
    void unlock();

private:
    alignas(16) unsigned char storage_[64];
};

class ScopedLock {
public:
    explicit ScopedLock(RecursiveMutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~ScopedLock() { mutex_.unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    RecursiveMutex& mutex_;
};

// ---------------------------------------------------------------- threads

enum class ThreadPriority { Normal, AboveNormal, Highest, TimeCritical };

using ThreadProc = uint32_t (*)(void* argument);

// Creates a thread, optionally suspended (it runs only after resumeThread).
// A priority the system refuses (an unprivileged Linux process asking for
// real-time scheduling) leaves the thread at normal priority; creation never
// fails for that reason. The handle is signalled when the thread has ended.
Handle createThread(ThreadProc proc, void* argument, bool suspended,
                    ThreadPriority priority = ThreadPriority::Normal);
bool resumeThread(Handle thread);
// Changes the calling thread's priority; false if the system refused.
bool setCurrentThreadPriority(ThreadPriority priority);
// The calling thread joins the multimedia class scheduler's "Pro Audio"
// task (Windows: avrt.dll from the system folder, bound at run time), which
// schedules it ahead of other work. Where that cannot be had it runs at
// time-critical priority instead, and the result is null. A task is left
// with leaveProAudioTask on the same thread.
Handle joinProAudioTask();
void leaveProAudioTask(Handle task);
bool getExitCode(Handle threadOrProcess, uint32_t* exitCode);
uint32_t currentThreadId();
void sleepMs(uint32_t milliseconds);

// ------------------------------------------------------------------- time

// Milliseconds since an arbitrary start, wrapping at 2^32 (timeGetTime).
uint32_t tickMs();
// A monotonic high-resolution counter in nanoseconds.
uint64_t nanoseconds();

// --------------------------------------------------------------- processes

// Starts a program without waiting for it. `arguments` may be null; the
// program receives its own path as its first argument either way. Returns a
// process handle (waitable, signalled on exit) or nullptr.
Handle startProcess(const char* path, const char* arguments);
// Ends a started process at once; its handle then reports exitCode.
bool terminateProcess(Handle process, uint32_t exitCode);
uint32_t currentProcessId();
// Threads of the calling process, whoever started them (0 when the system
// cannot tell): what a test or a long run watches for threads left behind.
uint32_t processThreadCount();
// What a long run watches for memory and handles left behind: the
// process's resident memory in bytes, and its open handles (Windows: every
// kernel handle; POSIX: the handles of this layer and the open file
// descriptors). 0 when the system cannot tell.
uint64_t processResidentBytes();
uint32_t processHandleCount();
bool fileExists(const char* path);
// Puts `from` in place of `to` in one step (an existing `to` is replaced),
// so that a reader sees the old file or the new one, never half of one.
bool replaceFile(const char* from, const char* to);
// Full path of the running executable.
bool currentExecutablePath(char* path, size_t size);

// Sets (or, with a null value, removes) a variable of this process's
// environment; started processes inherit it.
bool setEnvironmentVariable(const char* name, const char* value);

// ------------------------------------------------------------------ debug

// Writes a line to the debugger (Windows) or to standard error (POSIX).
void debugOutput(const char* text);

}  // namespace os
