// Waitable objects of the POSIX implementation.
//
// Every object's state is guarded by one process-wide mutex, so a wait over
// several objects sees one consistent picture without any lock ordering. A
// waiting thread registers one condition variable on each object it waits
// for; signalling an object wakes exactly the threads registered on it,
// which then re-check under the mutex. Nothing polls.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/os.h"

namespace os::posix {

std::mutex& objectLock();

struct Waiter {
    std::condition_variable wake;
};

class KernelObject {
public:
    enum class Kind { Event, Semaphore, Thread, Process };

    explicit KernelObject(Kind kind) : kind(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    // All of these run with objectLock() held.
    virtual bool isSignalled() = 0;
    // Takes the one signal a satisfied wait is owed (auto-reset, count).
    virtual void consume() {}
    // Gets the object ready to be waited on; false (with lastError) if it
    // cannot be.
    virtual bool prepareForWait() { return true; }
    // Whether releasing the last reference must also hold the named-object
    // table lock (see named_event.cpp).
    virtual bool isNamed() const { return false; }

    void notifyWaiters() {
        for (Waiter* waiter : waiters) waiter->wake.notify_all();
    }

    const Kind kind;
    std::vector<Waiter*> waiters;
    // Open handles; the handle value is valid while this is above zero.
    int handleCount = 0;
    // Handles plus internal users (a running thread, a wait in progress).
    int references = 0;
    // The thread that signals this object (a thread's own, a process's
    // reaper): once the object is signalled it only has its last
    // instructions left, and it is joined when the last handle goes.
    bool hasThread = false;
    pthread_t thread{};
};

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool signalled)
        : KernelObject(Kind::Event), manualReset(manualReset), signalled(signalled) {}
    bool isSignalled() override { return signalled; }
    void consume() override {
        if (!manualReset) signalled = false;
    }
    // With objectLock() held. Named events override them to reach other
    // processes; false leaves the reason in lastError().
    virtual bool set();
    virtual bool reset();

    const bool manualReset;
    bool signalled;
};

// Makes a handle for a new object (one handle, one reference).
Handle publish(KernelObject* object);
// With objectLock() held: the object of a valid handle, else null.
KernelObject* lookupLocked(Handle handle);
// A second handle to an existing object, with objectLock() held.
void addHandleLocked(KernelObject* object);
// Drops one reference; the last one deletes the object outside objectLock().
void release(KernelObject* object);

// Threads started here (threads.cpp). A helper thread runs body(argument)
// and is joined like every other thread; false when it cannot be started.
// The owner is the object whose handle may join it (claimThreadLocked).
bool startHelperThread(void (*body)(void*), void* argument, pthread_t* id, const KernelObject* owner);
// With objectLock() held: takes the owner's thread off the list of threads
// to join, false when it was joined already. The caller then joins it.
bool claimThreadLocked(pthread_t id, const KernelObject* owner);
// Joins every thread that has ended: each has only its last instructions
// left. Never with objectLock() held.
void joinEndedThreads();
// Waits up to timeoutMs for every thread started here to end, joining each;
// false when one still runs.
bool joinAllThreads(uint32_t timeoutMs);

// Handles open on objects of this layer (sync.cpp).
uint32_t openHandleCount();

// Before an unload: frees the bookkeeping of each part when nothing of it is
// in use (false otherwise, and it stays).
bool releaseHandleTable();
bool releaseNamedEventTable();
bool releaseRegistryKeys();
// Ends the threads that wait for started processes to exit (processes.cpp);
// a process still running is then no longer reaped by this library.
void stopProcessReapers();
void releaseProcessReapers();

}  // namespace os::posix
