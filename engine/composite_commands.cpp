#include "engine/composite_commands.h"

#include "platform/trace.h"

CompositeCommands::CompositeCommands() {
    acknowledged_ = os::createEvent(true, true);
    if (acknowledged_ == nullptr) {
        TRACE("Failed to create event");
        return;
    }
    semaphore_ = os::createSemaphore(1, 1);
    if (semaphore_ == nullptr) {
        TRACE("Failed to create semaphore");
        return;
    }
    for (os::Handle& event : events_) {
        event = os::createEvent(false, false);
        if (event == nullptr) {
            TRACE("Failed to create event");
            return;
        }
    }
    valid_ = true;
}

CompositeCommands::~CompositeCommands() {
    for (os::Handle event : events_)
        if (event != nullptr) os::closeHandle(event);
    if (semaphore_ != nullptr) os::closeHandle(semaphore_);
    if (acknowledged_ != nullptr) os::closeHandle(acknowledged_);
}

bool CompositeCommands::send(CompositeCommand command, bool wait, os::Handle thread) {
    if (!valid_ || thread == nullptr || command >= kCompositeCommands) return false;
    if (os::waitForOne(thread, 0) == os::kWaitObject0) return false;  // it has ended
    const os::Handle turn[2] = {semaphore_, thread};
    if (os::waitForAny(turn, 2, os::kInfinite) != os::kWaitObject0) return false;
    if (!wait) return os::setEvent(events_[command]);
    os::resetEvent(acknowledged_);
    os::setEvent(events_[command]);
    const os::Handle answer[2] = {acknowledged_, thread};
    return os::waitForAny(answer, 2, os::kInfinite) == os::kWaitObject0;
}

bool CompositeCommands::post(CompositeCommand command) {
    if (!valid_ || command >= kCompositeCommands) return false;
    if (os::waitForOne(semaphore_, 0) != os::kWaitObject0) return false;
    return os::setEvent(events_[command]);
}

void CompositeCommands::acknowledge() {
    os::setEvent(acknowledged_);
    os::releaseSemaphore(semaphore_, 1);
}

void CompositeCommands::reset() {
    if (!valid_) return;
    for (os::Handle event : events_) os::waitForOne(event, 0);
    os::waitForOne(semaphore_, 0);
    os::releaseSemaphore(semaphore_, 1);
    os::setEvent(acknowledged_);
}
