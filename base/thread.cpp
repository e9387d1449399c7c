#include "base/thread.h"

#include "platform/trace.h"

ThreadAbs::ThreadAbs(os::ThreadPriority priority) {
    stopEvent_ = os::createEvent(true, false);
    if (stopEvent_ == nullptr) {
        TRACE("Failed to create event");
        return;
    }
    // Without a stop event the thread could never be told to end, so it is
    // created only after the event exists.
    thread_ = os::createThread(&ThreadAbs::threadStart, this, true, priority);
    if (thread_ == nullptr) TRACE("Failed to create thread");
}

ThreadAbs::~ThreadAbs() {
    if (stopEvent_ != nullptr) os::closeHandle(stopEvent_);
}

uint32_t ThreadAbs::threadStart(void* self) {
    auto* thread = static_cast<ThreadAbs*>(self);
    thread->threadId_.store(os::currentThreadId());
    if (!thread->skipBody_.load()) thread->threadEntry();
    // Thread ids are reused once a thread has ended.
    thread->threadId_.store(0);
    return 0;
}

bool ThreadAbs::isCurrentThread() const {
    const uint32_t id = threadId_.load();
    return id != 0 && id == os::currentThreadId();
}

void ThreadAbs::resume() {
    TRACE_ENTER("ThreadAbs::resume");
    if (thread_ != nullptr && !resumed_.exchange(true)) os::resumeThread(thread_);
    TRACE_LEAVE("ThreadAbs::resume");
}

void ThreadAbs::stop() {
    TRACE_ENTER("ThreadAbs::stop");
    if (thread_ != nullptr) {
        os::setEvent(stopEvent_);
        if (!resumed_.load()) {
            skipBody_.store(true);
            os::resumeThread(thread_);
        }
        os::waitForOne(thread_, os::kInfinite);
        os::closeHandle(thread_);
        thread_ = nullptr;
    }
    TRACE_LEAVE("ThreadAbs::stop");
}
