// Threads as waitable objects.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/posix/kernel_object.h"
#include "platform/trace.h"

namespace os::posix {
namespace {

constexpr uint32_t kStillActive = 259;

class ThreadObject : public KernelObject {
public:
    ThreadObject() : KernelObject(Kind::Thread) {}
    bool isSignalled() override { return ended; }

    bool resumed = false;
    bool ended = false;
    uint32_t exitCode = kStillActive;
    std::condition_variable resumption;
};

// Real-time scheduling for the time-critical thread, nice levels for the
// rest; each step may be refused without privileges.
bool applyPriority(ThreadPriority priority) {
    sched_param param{};
    if (priority == ThreadPriority::TimeCritical) {
        int low = sched_get_priority_min(SCHED_FIFO);
        int high = sched_get_priority_max(SCHED_FIFO);
        param.sched_priority = std::clamp(80, low, high);
        return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }
    bool ok = pthread_setschedparam(pthread_self(), SCHED_OTHER, &param) == 0;
    int nice = priority == ThreadPriority::Highest ? -10 : priority == ThreadPriority::AboveNormal ? -5 : 0;
    // On Linux the nice value of a thread id is per thread.
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) == 0 && ok;
}

void runThread(ThreadObject* thread, ThreadProc proc, void* argument, ThreadPriority priority) {
    if (priority != ThreadPriority::Normal && !applyPriority(priority)) {
        TRACE("Thread priority %d refused, running at normal priority", static_cast<int>(priority));
    }
    {
        std::unique_lock<std::mutex> lock(objectLock());
        thread->resumption.wait(lock, [thread] { return thread->resumed; });
    }
    uint32_t code = proc(argument);
    {
        std::lock_guard<std::mutex> lock(objectLock());
        thread->exitCode = code;
        thread->ended = true;
        thread->notifyWaiters();
    }
    release(thread);
}

}  // namespace

// Shared with processes.cpp: the exit code of a thread or process handle.
bool exitCodeOf(KernelObject* object, uint32_t* code);

bool threadExitCode(KernelObject* object, uint32_t* code) {
    if (object->kind != KernelObject::Kind::Thread) return false;
    *code = static_cast<ThreadObject*>(object)->exitCode;
    return true;
}

}  // namespace os::posix

namespace os {

Handle createThread(ThreadProc proc, void* argument, bool suspended, ThreadPriority priority) {
    if (!proc) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* thread = new (std::nothrow) posix::ThreadObject;
    if (!thread) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    thread->resumed = !suspended;
    Handle handle = posix::publish(thread);
    {
        // The running thread holds its own reference until it has ended.
        std::lock_guard<std::mutex> lock(posix::objectLock());
        ++thread->references;
    }
    try {
        std::thread(posix::runThread, thread, proc, argument, priority).detach();
    } catch (const std::system_error&) {
        posix::release(thread);
        closeHandle(handle);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    return handle;
}

bool resumeThread(Handle handle) {
    std::lock_guard<std::mutex> lock(posix::objectLock());
    posix::KernelObject* object = posix::lookupLocked(handle);
    if (!object || object->kind != posix::KernelObject::Kind::Thread) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    auto* thread = static_cast<posix::ThreadObject*>(object);
    thread->resumed = true;
    thread->resumption.notify_all();
    return true;
}

bool setCurrentThreadPriority(ThreadPriority priority) {
    if (posix::applyPriority(priority)) return true;
    setLastError(kErrorAccessDenied);
    return false;
}

// No multimedia class scheduler here: the real-time priority is all there is.
Handle joinProAudioTask() {
    setCurrentThreadPriority(ThreadPriority::TimeCritical);
    return nullptr;
}

void leaveProAudioTask(Handle) {}

bool getExitCode(Handle handle, uint32_t* exitCode) {
    std::lock_guard<std::mutex> lock(posix::objectLock());
    posix::KernelObject* object = posix::lookupLocked(handle);
    if (!object || !exitCode || !posix::exitCodeOf(object, exitCode)) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return true;
}

uint32_t currentThreadId() { return static_cast<uint32_t>(gettid()); }

void sleepMs(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace os
