// Clocks and the re-enterable mutex.
#include <pthread.h>
#include <time.h>

#include <new>

#include "platform/os.h"

namespace os {

uint32_t tickMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

uint64_t nanoseconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

static_assert(sizeof(pthread_mutex_t) <= 64, "pthread_mutex_t must fit RecursiveMutex's storage");
static_assert(alignof(pthread_mutex_t) <= 16, "pthread_mutex_t must fit RecursiveMutex's alignment");

static pthread_mutex_t* native(unsigned char* storage) {
    return std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

RecursiveMutex::RecursiveMutex() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    // A thread at normal priority that holds the lock while a real-time one
    // waits for it runs at the waiter's priority until it lets go: the
    // scheduler cannot leave the lock with a thread it keeps off the
    // processor (the simulated bus's lock, between its listing and its
    // streaming threads, on a loaded machine).
    pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(new (storage_) pthread_mutex_t, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

RecursiveMutex::~RecursiveMutex() { pthread_mutex_destroy(native(storage_)); }

void RecursiveMutex::lock() { pthread_mutex_lock(native(storage_)); }

bool RecursiveMutex::tryLock() { return pthread_mutex_trylock(native(storage_)) == 0; }

void RecursiveMutex::unlock() { pthread_mutex_unlock(native(storage_)); }

}  // namespace os
