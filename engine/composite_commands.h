// How host threads and device events reach the composite device's
// streaming thread: one command at a time (a semaphore with one count),
// one auto-reset event per command, and a manual-reset acknowledgement the
// thread sets when it has handled a command or when it ends.
//
// Every wait here also watches the streaming thread itself, so a command
// sent after the thread has ended (a failed wait ended it) or while it is
// ending returns at once instead of waiting for an answer that never comes.
#pragma once

#include <cstdint>

#include "platform/os.h"

enum CompositeCommand : uint32_t {
    kCompositeQuit = 0,
    kCompositePause = 1,
    kCompositeRun = 2,
    kCompositeAddUnit = 3,
    kCompositeRemoveUnit = 4,
};
constexpr uint32_t kCompositeCommands = 5;

class CompositeCommands {
public:
    CompositeCommands();
    ~CompositeCommands();
    CompositeCommands(const CompositeCommands&) = delete;
    CompositeCommands& operator=(const CompositeCommands&) = delete;

    // False when an event or the semaphore could not be created.
    bool valid() const { return valid_; }
    // The command events, index = command.
    const os::Handle* events() const { return events_; }

    // Sends a command to the streaming thread `thread`. With wait, returns
    // once the thread has handled it. False when nothing was handled: no
    // thread, or it ended before it could take the command.
    bool send(CompositeCommand command, bool wait, os::Handle thread);
    // The streaming thread's own way to give itself a command, which it
    // takes at its next wait: only when no other command is under way (the
    // thread cannot wait for its turn). False when one is.
    bool post(CompositeCommand command);
    // Streaming thread: the command taken from its event is done (or the
    // thread ends); the next one may come.
    void acknowledge();
    // Before a new stream: forgets command signals nobody took and frees the
    // one count a thread that ended without acknowledging may have kept.
    void reset();

private:
    os::Handle events_[kCompositeCommands] = {};
    os::Handle semaphore_ = nullptr;
    os::Handle acknowledged_ = nullptr;
    bool valid_ = false;
};
