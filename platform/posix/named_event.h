// Named events shared between processes (see named_event.cpp).
#pragma once

#include <mutex>

#include "platform/os.h"
#include "platform/posix/kernel_object.h"

namespace os::posix {

Handle createNamedEvent(bool manualReset, bool initiallySignalled, const char* name, bool* alreadyExisted);
Handle openNamedEvent(const char* name);

// Guards the table of this process's named events; taken before
// objectLock() when both are needed.
std::mutex& namedObjectLock();
// Removes an object whose last reference is going from the table; called
// with both locks held.
void forgetNamedLocked(KernelObject* object);

}  // namespace os::posix
