// Threads as waitable objects.
//
// A thread's handle is signalled when its procedure has returned, but the
// thread still runs a few instructions of this library after that (it drops
// its reference and returns). A library that is unloaded at that moment
// would have them run in freed code, so every thread is joinable and is
// joined once it has ended: when its handle is closed, when the next thread
// is created, and at the latest before the library is unloaded
// (os::prepareUnload).
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

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

// What a started thread runs: a waitable thread's procedure, or a helper's body.
struct Start {
    ThreadObject* thread = nullptr;
    ThreadProc proc = nullptr;
    void* argument = nullptr;
    ThreadPriority priority = ThreadPriority::Normal;
    void (*helper)(void*) = nullptr;
};

// Threads started here and not joined yet, with objectLock() held. Created
// on first use and freed before an unload, when it is empty.
// Each entry names the object whose last handle may join it: the system
// reuses a joined thread's id for the next thread, so the id alone could
// make a late handle join a stranger (and wait for it for ever).
struct Unjoined {
    pthread_t id;
    const KernelObject* owner;
    bool ended;
};
std::vector<Unjoined>*& unjoinedSlot() {
    static std::vector<Unjoined>* threads = nullptr;
    return threads;
}
std::vector<Unjoined>& unjoined() {
    std::vector<Unjoined>*& threads = unjoinedSlot();
    if (threads == nullptr) threads = new std::vector<Unjoined>;
    return *threads;
}

void markEndedLocked() {
    const pthread_t self = pthread_self();
    for (Unjoined& entry : unjoined())
        if (pthread_equal(entry.id, self)) entry.ended = true;
}

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

void runProcedure(const Start& start) {
    ThreadObject* thread = start.thread;
    if (start.priority != ThreadPriority::Normal && !applyPriority(start.priority)) {
        TRACE("Thread priority %d refused, running at normal priority", static_cast<int>(start.priority));
    }
    {
        std::unique_lock<std::mutex> lock(objectLock());
        thread->resumption.wait(lock, [thread] { return thread->resumed; });
    }
    uint32_t code = start.proc(start.argument);
    {
        std::lock_guard<std::mutex> lock(objectLock());
        thread->exitCode = code;
        thread->ended = true;
        thread->notifyWaiters();
    }
    release(thread);
}

void* threadMain(void* argument) {
    const Start start = *static_cast<Start*>(argument);
    delete static_cast<Start*>(argument);
    if (start.helper != nullptr)
        start.helper(start.argument);
    else
        runProcedure(start);
    std::lock_guard<std::mutex> lock(objectLock());
    markEndedLocked();
    return nullptr;
}

// Starts the thread and lists it for joining; false (start freed) on failure.
bool launch(Start* start, pthread_t* started, const KernelObject* owner) {
    joinEndedThreads();
    std::lock_guard<std::mutex> lock(objectLock());
    std::vector<Unjoined>& threads = unjoined();
    try {
        threads.reserve(threads.size() + 1);
    } catch (const std::bad_alloc&) {
        delete start;
        return false;
    }
    pthread_t id;
    // The new thread waits for objectLock() before it can mark itself ended,
    // so its entry is in place first.
    if (pthread_create(&id, nullptr, threadMain, start) != 0) {
        delete start;
        return false;
    }
    threads.push_back({id, owner, false});
    *started = id;
    return true;
}

// At the end of a program that never unloads this layer: the threads that
// have ended are joined, so that none is left behind unjoined.
struct JoinEndedAtExit {
    ~JoinEndedAtExit() { joinEndedThreads(); }
} joinEndedAtExit;

}  // namespace

// Shared with processes.cpp: the exit code of a thread or process handle.
bool exitCodeOf(KernelObject* object, uint32_t* code);

bool threadExitCode(KernelObject* object, uint32_t* code) {
    if (object->kind != KernelObject::Kind::Thread) return false;
    *code = static_cast<ThreadObject*>(object)->exitCode;
    return true;
}

bool startHelperThread(void (*body)(void*), void* argument, pthread_t* id, const KernelObject* owner) {
    auto* start = new (std::nothrow) Start;
    if (start == nullptr) return false;
    start->helper = body;
    start->argument = argument;
    return launch(start, id, owner);
}

bool claimThreadLocked(pthread_t id, const KernelObject* owner) {
    std::vector<Unjoined>* threads = unjoinedSlot();
    if (threads == nullptr) return false;
    for (auto entry = threads->begin(); entry != threads->end(); ++entry)
        if (pthread_equal(entry->id, id) && entry->owner == owner) {
            threads->erase(entry);
            return true;
        }
    return false;
}

void joinEndedThreads() {
    std::vector<pthread_t> ended;
    {
        std::lock_guard<std::mutex> lock(objectLock());
        std::vector<Unjoined>*& threads = unjoinedSlot();
        if (threads == nullptr) return;
        for (const Unjoined& entry : *threads)
            if (entry.ended) ended.push_back(entry.id);
        threads->erase(std::remove_if(threads->begin(), threads->end(), [](const Unjoined& e) { return e.ended; }),
                       threads->end());
    }
    for (pthread_t id : ended) pthread_join(id, nullptr);
}

bool joinAllThreads(uint32_t timeoutMs) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        joinEndedThreads();
        {
            std::lock_guard<std::mutex> lock(objectLock());
            std::vector<Unjoined>*& threads = unjoinedSlot();
            if (threads == nullptr || threads->empty()) {
                delete threads;
                threads = nullptr;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

}  // namespace os::posix

namespace os {

Handle createThread(ThreadProc proc, void* argument, bool suspended, ThreadPriority priority) {
    if (!proc) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* thread = new (std::nothrow) posix::ThreadObject;
    auto* start = new (std::nothrow) posix::Start;
    if (!thread || !start) {
        delete thread;
        delete start;
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
    *start = {thread, proc, argument, priority, nullptr};
    pthread_t id;
    if (!posix::launch(start, &id, thread)) {
        posix::release(thread);
        closeHandle(handle);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(posix::objectLock());
    thread->hasThread = true;
    thread->thread = id;
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
