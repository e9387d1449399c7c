#include "panel/failure_recording_store.h"

#include "platform/errors.h"

uint32_t FailureRecordingStore::note(uint32_t result) {
    if (result != os::kErrorSuccess) lastFailure_ = result;
    return result;
}

uint32_t FailureRecordingStore::createKey(os::RegKey parent, const char* subKey, os::RegKey* key) {
    return note(inner_.createKey(parent, subKey, key));
}

uint32_t FailureRecordingStore::setValue(os::RegKey key, const char* name, uint32_t type, const void* data,
                                         uint32_t size) {
    return note(inner_.setValue(key, name, type, data, size));
}

uint32_t FailureRecordingStore::deleteValue(os::RegKey key, const char* name) {
    const uint32_t result = inner_.deleteValue(key, name);
    return result == os::kErrorFileNotFound ? result : note(result);
}

uint32_t FailureRecordingStore::deleteTree(os::RegKey parent, const char* subKey) {
    return note(inner_.deleteTree(parent, subKey));
}
