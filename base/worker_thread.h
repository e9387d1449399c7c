// A thread that runs posted functors and functors attached to wait handles.
//
// Posted functors run one at a time on the worker, last posted first. Wait
// functors stay attached and run at every signal of their handle. The worker
// owns every functor handed to it, whether the call succeeds or not: a
// functor that cannot be queued or attached is deleted at once, never run.
#pragma once

#include <atomic>
#include <cstddef>

#include "base/functor.h"
#include "base/thread.h"
#include "base/vector.h"
#include "platform/os.h"

class WorkerThread : public ThreadAbs {
public:
    // Handle-array entries before the first wait handle: stop event, queue semaphore.
    static constexpr size_t kFixedHandles = 2;
    // One wait names at most os::kMaxWaitHandles handles.
    static constexpr size_t kMaxWaits = os::kMaxWaitHandles - kFixedHandles;

    WorkerThread();
    // Stops the thread if the owner has not, then deletes every functor still
    // queued or attached.
    ~WorkerThread() override;

    // Queues the functor. False (and the functor deleted) when it cannot be queued.
    bool post(FunctorIf* functor);

    // Attaches a functor to a wait handle. While the thread runs, the change
    // is queued for the worker, which alone touches its handle array then;
    // the result only says whether it was queued. Before the thread runs (or
    // after it has ended) the change is made at once and the result says
    // whether it was. False for a null handle or functor, when memory runs
    // out, or (when made at once) beyond kMaxWaits.
    bool addWait(os::Handle handle, FunctorIf* functor);

    // Detaches every wait on the handle and deletes its functor at that
    // moment. Queued like addWait while the thread runs; made at once
    // otherwise, and then false when the handle was not attached.
    bool removeWait(os::Handle handle);

    // Wait changes queued while the thread runs take effect in the order of
    // the calls, so an add followed by a remove of the same handle always
    // ends detached (ordinary functors still run last posted first).

protected:
    void threadEntry() override;

private:
    bool changesGoThroughQueue() const;
    bool queueWaitChange(FunctorIf* change);
    bool addWaitNow(os::Handle handle, FunctorIf* functor);
    bool removeWaitNow(os::Handle handle);
    void runNextQueued();

    std::atomic<bool> running_{false};
    // Set when threadEntry() has returned and will touch nothing any more.
    std::atomic<bool> finished_{false};
    size_t handleCount_ = kFixedHandles;
    os::Handle* handles_ = nullptr;
    Vector<FunctorIf*> queue_;
    os::RecursiveMutex lock_;
    // Entry i belongs to handles_[i + kFixedHandles].
    Vector<FunctorIf*> waitFunctors_;
    os::Handle semaphore_ = nullptr;
};
