// Events, semaphores, handles and the wait functions.
#include <algorithm>
#include <chrono>
#include <new>
#include <unordered_set>

#include "platform/errors.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/named_event.h"

namespace os::posix {
namespace {

// The objects that have open handles, with objectLock() held. Created on
// first use and freed before an unload, once no handle is open.
std::unordered_set<KernelObject*>*& liveHandleSlot() {
    static std::unordered_set<KernelObject*>* handles = nullptr;
    return handles;
}
std::unordered_set<KernelObject*>& liveHandles() {
    std::unordered_set<KernelObject*>*& handles = liveHandleSlot();
    if (handles == nullptr) handles = new std::unordered_set<KernelObject*>;
    return *handles;
}

class SemaphoreObject : public KernelObject {
public:
    SemaphoreObject(int32_t count, int32_t maximum)
        : KernelObject(Kind::Semaphore), count(count), maximum(maximum) {}
    bool isSignalled() override { return count > 0; }
    void consume() override { --count; }

    int32_t count;
    const int32_t maximum;
};

bool releaseLocked(SemaphoreObject* semaphore, int32_t count, int32_t* previousCount) {
    if (count <= 0) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    if (count > semaphore->maximum - semaphore->count) {
        setLastError(kErrorTooManyPosts);
        return false;
    }
    if (previousCount) *previousCount = semaphore->count;
    semaphore->count += count;
    semaphore->notifyWaiters();
    return true;
}

// Signals an event or a semaphore, with objectLock() held.
bool signalLocked(KernelObject* object) {
    if (object->kind == KernelObject::Kind::Event) return static_cast<EventObject*>(object)->set();
    if (object->kind == KernelObject::Kind::Semaphore)
        return releaseLocked(static_cast<SemaphoreObject*>(object), 1, nullptr);
    setLastError(kErrorInvalidHandle);
    return false;
}

// Resolves handles to objects and takes a reference on each, so that a
// handle closed by another thread during the wait cannot free its object.
bool retainAllLocked(const Handle* handles, uint32_t count, KernelObject** objects) {
    for (uint32_t i = 0; i < count; ++i) {
        objects[i] = lookupLocked(handles[i]);
        if (!objects[i]) {
            for (uint32_t j = 0; j < i; ++j) --objects[j]->references;
            setLastError(kErrorInvalidHandle);
            return false;
        }
        ++objects[i]->references;
    }
    return true;
}

// The wait itself. Entered and left with `lock` held on objectLock().
uint32_t waitLocked(std::unique_lock<std::mutex>& lock, KernelObject** objects, uint32_t count,
                    uint32_t timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    Waiter waiter;
    bool registered = false;
    uint32_t result = kWaitTimeout;
    for (;;) {
        auto signalled = std::find_if(objects, objects + count,
                                      [](KernelObject* object) { return object->isSignalled(); });
        if (signalled != objects + count) {
            (*signalled)->consume();
            result = kWaitObject0 + static_cast<uint32_t>(signalled - objects);
            break;
        }
        if (timeoutMs == 0) break;
        if (!registered) {
            // Only a wait that blocks starts watchers: a watcher started for
            // a zero time-out could take the very signal being looked for.
            for (uint32_t i = 0; i < count; ++i) {
                if (!objects[i]->prepareForWait()) return kWaitFailed;
            }
            for (uint32_t i = 0; i < count; ++i) objects[i]->waiters.push_back(&waiter);
            registered = true;
        }
        if (timeoutMs == kInfinite) {
            waiter.wake.wait(lock);
        } else if (waiter.wake.wait_until(lock, deadline) == std::cv_status::timeout) {
            // One last look: a signal may have raced with the time-out.
            timeoutMs = 0;
        }
    }
    if (registered) {
        for (uint32_t i = 0; i < count; ++i) {
            auto& list = objects[i]->waiters;
            list.erase(std::remove(list.begin(), list.end(), &waiter), list.end());
        }
    }
    return result;
}

void releaseAll(KernelObject** objects, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) release(objects[i]);
}

}  // namespace

std::mutex& objectLock() {
    // Constant-initialised and never destroyed (its destructor is trivial):
    // threads of a host that exits without releasing us may still use it.
    static std::mutex lock;
    return lock;
}

uint32_t openHandleCount() {
    std::lock_guard<std::mutex> guard(objectLock());
    const std::unordered_set<KernelObject*>* handles = liveHandleSlot();
    uint32_t count = 0;
    if (handles != nullptr)
        for (const KernelObject* object : *handles) count += static_cast<uint32_t>(object->handleCount);
    return count;
}

bool releaseHandleTable() {
    std::lock_guard<std::mutex> guard(objectLock());
    std::unordered_set<KernelObject*>*& handles = liveHandleSlot();
    if (handles != nullptr && !handles->empty()) return false;
    delete handles;
    handles = nullptr;
    return true;
}

Handle publish(KernelObject* object) {
    std::lock_guard<std::mutex> guard(objectLock());
    object->handleCount = 1;
    object->references = 1;
    liveHandles().insert(object);
    return object;
}

KernelObject* lookupLocked(Handle handle) {
    auto* object = static_cast<KernelObject*>(handle);
    return liveHandles().count(object) ? object : nullptr;
}

void addHandleLocked(KernelObject* object) {
    if (object->handleCount++ == 0) liveHandles().insert(object);
    ++object->references;
}

void release(KernelObject* object) {
    std::unique_lock<std::mutex> namedLock;
    if (object->isNamed()) namedLock = std::unique_lock<std::mutex>(namedObjectLock());
    bool last;
    {
        std::lock_guard<std::mutex> guard(objectLock());
        last = --object->references == 0;
        if (last && object->isNamed()) forgetNamedLocked(object);
    }
    // Teardown (joining a watcher thread) must not hold objectLock().
    if (last) delete object;
}

bool EventObject::set() {
    signalled = true;
    notifyWaiters();
    return true;
}

bool EventObject::reset() {
    signalled = false;
    return true;
}

}  // namespace os::posix

namespace os {

using posix::EventObject;
using posix::KernelObject;

Handle createEvent(bool manualReset, bool initiallySignalled, const char* name, bool* alreadyExisted) {
    if (alreadyExisted) *alreadyExisted = false;
    if (name && *name) return posix::createNamedEvent(manualReset, initiallySignalled, name, alreadyExisted);
    auto* event = new (std::nothrow) EventObject(manualReset, initiallySignalled);
    if (!event) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    setLastError(kErrorSuccess);
    return posix::publish(event);
}

Handle openEvent(const char* name) {
    if (!name || !*name) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    return posix::openNamedEvent(name);
}

static bool changeEvent(Handle handle, bool set) {
    std::lock_guard<std::mutex> guard(posix::objectLock());
    KernelObject* object = posix::lookupLocked(handle);
    if (!object || object->kind != KernelObject::Kind::Event) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    auto* event = static_cast<EventObject*>(object);
    return set ? event->set() : event->reset();
}

bool setEvent(Handle event) { return changeEvent(event, true); }
bool resetEvent(Handle event) { return changeEvent(event, false); }

Handle createSemaphore(int32_t initialCount, int32_t maximumCount) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    auto* semaphore = new (std::nothrow) posix::SemaphoreObject(initialCount, maximumCount);
    if (!semaphore) {
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    return posix::publish(semaphore);
}

bool releaseSemaphore(Handle handle, int32_t count, int32_t* previousCount) {
    std::lock_guard<std::mutex> guard(posix::objectLock());
    KernelObject* object = posix::lookupLocked(handle);
    if (!object || object->kind != KernelObject::Kind::Semaphore) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    return posix::releaseLocked(static_cast<posix::SemaphoreObject*>(object), count, previousCount);
}

bool closeHandle(Handle handle) {
    KernelObject* object;
    bool join = false;
    pthread_t thread{};
    {
        std::lock_guard<std::mutex> guard(posix::objectLock());
        object = posix::lookupLocked(handle);
        if (!object) {
            setLastError(kErrorInvalidHandle);
            return false;
        }
        if (--object->handleCount == 0) {
            posix::liveHandles().erase(object);
            // The last handle of a thread that has done its work (or of a
            // process whose reaper has): the thread is joined now.
            join = object->hasThread && object->isSignalled() && posix::claimThreadLocked(object->thread, object);
            thread = object->thread;
        }
    }
    posix::release(object);
    if (join) pthread_join(thread, nullptr);
    return true;
}

uint32_t waitForAny(const Handle* handles, uint32_t count, uint32_t timeoutMs) {
    if (!handles || count == 0 || count > kMaxWaitHandles) {
        setLastError(kErrorInvalidParameter);
        return kWaitFailed;
    }
    KernelObject* objects[kMaxWaitHandles];
    uint32_t result;
    {
        std::unique_lock<std::mutex> lock(posix::objectLock());
        if (!posix::retainAllLocked(handles, count, objects)) return kWaitFailed;
        result = posix::waitLocked(lock, objects, count, timeoutMs);
    }
    posix::releaseAll(objects, count);
    return result;
}

uint32_t waitForOne(Handle handle, uint32_t timeoutMs) { return waitForAny(&handle, 1, timeoutMs); }

uint32_t signalAndWait(Handle toSignal, Handle toWait, uint32_t timeoutMs) {
    KernelObject* objects[1];
    uint32_t result = kWaitFailed;
    {
        std::unique_lock<std::mutex> lock(posix::objectLock());
        KernelObject* signalled = posix::lookupLocked(toSignal);
        if (!signalled) {
            setLastError(kErrorInvalidHandle);
            return kWaitFailed;
        }
        if (!posix::retainAllLocked(&toWait, 1, objects)) return kWaitFailed;
        // Signalling and starting the wait under one hold of the lock is
        // what makes the pair atomic for every other waiter.
        if (posix::signalLocked(signalled)) result = posix::waitLocked(lock, objects, 1, timeoutMs);
    }
    posix::releaseAll(objects, 1);
    return result;
}

}  // namespace os
