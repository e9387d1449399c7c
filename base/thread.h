// A thread object with a stop event. The thread is created suspended by the
// constructor, runs threadEntry() once resumed, and is joined by stop().
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/os.h"

class ThreadAbs {
public:
    explicit ThreadAbs(os::ThreadPriority priority = os::ThreadPriority::Normal);
    // Closes the stop event only: owners call stop() first, because the
    // thread runs a virtual member of the object being destroyed.
    virtual ~ThreadAbs();
    ThreadAbs(const ThreadAbs&) = delete;
    ThreadAbs& operator=(const ThreadAbs&) = delete;

    // False when the stop event or the thread could not be created.
    bool isCreated() const { return thread_ != nullptr; }

    // Lets the suspended thread run; does nothing without a thread or when
    // it was resumed already.
    void resume();

    // Sets the stop event, waits without a time-out until the thread has
    // ended and closes its handle. Returns at once when there is no thread
    // (never created or stopped already) or when it has ended by itself.
    // A thread that was never resumed ends without running threadEntry(),
    // so stopping it cannot block on a body that never got to look at the
    // stop event. Must not be called from the thread itself.
    void stop();

    // Whether the caller runs on this object's thread (where stop() would
    // wait for itself).
    bool isCurrentThread() const;

protected:
    // The thread's body; it watches the stop event and returns once it is set.
    virtual void threadEntry() = 0;

    os::Handle getStopEvent() const { return stopEvent_; }
    // True once resume() has let the thread run.
    bool wasResumed() const { return resumed_.load(); }

private:
    static uint32_t threadStart(void* self);

    os::Handle stopEvent_ = nullptr;
    os::Handle thread_ = nullptr;
    std::atomic<bool> resumed_{false};
    // Set by stop() on a thread that was never resumed.
    std::atomic<bool> skipBody_{false};
    std::atomic<uint32_t> threadId_{0};
};
