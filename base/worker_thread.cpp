#include "base/worker_thread.h"

#include <cstring>
#include <new>

#include "base/heap.h"
#include "platform/trace.h"

namespace {

constexpr int32_t kQueueLimit = 65535;

// A queued add-wait owns the wait functor until the worker takes it over,
// so a change that never runs (the queue refused it, the worker was stopped
// first) deletes it instead of leaking it.
class QueuedAddWait : public MemberFunctor2<WorkerThread, os::Handle, FunctorIf*, bool> {
public:
    using MemberFunctor2::MemberFunctor2;
    ~QueuedAddWait() override { delete argument2_; }
    void operator()() override {
        FunctorIf* functor = argument2_;
        argument2_ = nullptr;
        // Through locals: g++ 12 with -fsanitize=undefined miscompiles the
        // member-pointer call on the inherited fields into a bad stack read.
        WorkerThread* worker = object_;
        Member member = member_;
        (worker->*member)(argument1_, functor);
    }
};

using QueuedRemoveWait = MemberFunctor1<WorkerThread, os::Handle, bool>;

}  // namespace

WorkerThread::WorkerThread() {
    semaphore_ = os::createSemaphore(0, kQueueLimit);
    if (semaphore_ == nullptr) TRACE("Failed to create semaphore");
    handles_ = static_cast<os::Handle*>(heap::reallocate(nullptr, kFixedHandles * sizeof(os::Handle)));
    if (handles_ == nullptr) {
        TRACE("Out of memory");
        return;
    }
    handles_[0] = getStopEvent();
    handles_[1] = semaphore_;
}

WorkerThread::~WorkerThread() {
    stop();
    if (semaphore_ != nullptr) os::closeHandle(semaphore_);
    heap::release(handles_);
    for (size_t i = 0; i < queue_.size(); ++i) delete queue_[i];
    for (size_t i = 0; i < waitFunctors_.size(); ++i) delete waitFunctors_[i];
}

bool WorkerThread::changesGoThroughQueue() const { return wasResumed() && !finished_.load(); }

void WorkerThread::threadEntry() {
    running_.store(true);
    while (running_.load()) {
        uint32_t result = handles_ == nullptr ? os::kWaitFailed
                                              : os::waitForAny(handles_, static_cast<uint32_t>(handleCount_), os::kInfinite);
        size_t index = result - os::kWaitObject0;
        // The stop event, a failed wait and an abandoned or unknown result
        // all end the thread quietly.
        if (result == os::kWaitFailed || index == 0 || index >= handleCount_) {
            running_.store(false);
        } else if (index == 1) {
            runNextQueued();
        } else {
            (*waitFunctors_[index - kFixedHandles])();
        }
    }
    finished_.store(true);
}

void WorkerThread::runNextQueued() {
    FunctorIf* functor = nullptr;
    {
        os::ScopedLock lock(lock_);
        if (!queue_.empty()) {
            functor = queue_.back();
            queue_.removeLast();
        }
    }
    // Outside the lock, so that a functor may post further work.
    if (functor != nullptr) {
        (*functor)();
        delete functor;
    }
}

bool WorkerThread::post(FunctorIf* functor) {
    TRACE_ENTER("WorkerThread::post");
    bool queued = false;
    if (functor != nullptr) {
        os::ScopedLock lock(lock_);
        if (queue_.push_back(functor)) {
            // Under the lock the worker cannot have taken it yet, so a
            // refused count can take back exactly this entry.
            queued = os::releaseSemaphore(semaphore_);
            if (!queued) queue_.removeLast();
        }
    }
    if (!queued) {
        TRACE(functor == nullptr ? "Invalid parameters" : "Failed to queue functor");
        delete functor;
    }
    TRACE_LEAVE_INT("WorkerThread::post", queued);
    return queued;
}

bool WorkerThread::queueWaitChange(FunctorIf* change) {
    bool queued = false;
    {
        os::ScopedLock lock(lock_);
        // The worker takes from the end: putting wait changes at the front
        // runs them in the order they were made.
        if (queue_.insert(0, change)) {
            queued = os::releaseSemaphore(semaphore_);
            if (!queued) queue_.remove(static_cast<size_t>(0));
        }
    }
    if (!queued) {
        TRACE("Failed to queue functor");
        delete change;
    }
    return queued;
}

bool WorkerThread::addWait(os::Handle handle, FunctorIf* functor) {
    TRACE_ENTER("WorkerThread::addWait");
    bool result = false;
    if (handle == nullptr || functor == nullptr) {
        TRACE("Invalid parameters");
        delete functor;
    } else if (changesGoThroughQueue()) {
        auto* change = new (std::nothrow) QueuedAddWait(this, &WorkerThread::addWaitNow, handle, functor);
        if (change == nullptr) {
            TRACE("Out of memory");
            delete functor;
        } else {
            result = queueWaitChange(change);
        }
    } else {
        result = addWaitNow(handle, functor);
    }
    TRACE_LEAVE_INT("WorkerThread::addWait", result);
    return result;
}

bool WorkerThread::addWaitNow(os::Handle handle, FunctorIf* functor) {
    if (handles_ == nullptr || handleCount_ >= os::kMaxWaitHandles) {
        TRACE("Too many waits");
        delete functor;
        return false;
    }
    if (!waitFunctors_.push_back(functor)) {
        TRACE("Out of memory");
        delete functor;
        return false;
    }
    void* grown = heap::reallocate(handles_, (handleCount_ + 1) * sizeof(os::Handle));
    if (grown == nullptr) {
        TRACE("Out of memory");
        waitFunctors_.removeLast();
        delete functor;
        return false;
    }
    handles_ = static_cast<os::Handle*>(grown);
    handles_[handleCount_++] = handle;
    return true;
}

bool WorkerThread::removeWait(os::Handle handle) {
    TRACE_ENTER("WorkerThread::removeWait");
    bool result = false;
    if (handle == nullptr) {
        TRACE("Invalid parameters");
    } else if (changesGoThroughQueue()) {
        auto* change = new (std::nothrow) QueuedRemoveWait(this, &WorkerThread::removeWaitNow, handle);
        if (change == nullptr) {
            TRACE("Out of memory");
        } else {
            result = queueWaitChange(change);
        }
    } else {
        result = removeWaitNow(handle);
    }
    TRACE_LEAVE_INT("WorkerThread::removeWait", result);
    return result;
}

bool WorkerThread::removeWaitNow(os::Handle handle) {
    bool removed = false;
    size_t i = kFixedHandles;
    while (i < handleCount_) {
        if (handles_[i] != handle) {
            ++i;
            continue;
        }
        // Deleted now rather than at destruction: it can never run again,
        // and it is not running (only the worker runs functors, one at a
        // time, and it is executing this change).
        delete waitFunctors_[i - kFixedHandles];
        waitFunctors_.remove(i - kFixedHandles);
        std::memmove(handles_ + i, handles_ + i + 1, (handleCount_ - i - 1) * sizeof(os::Handle));
        --handleCount_;
        removed = true;
    }
    return removed;
}
