#include "platform/library.h"

#include <dlfcn.h>

#include <cstdio>

#include "platform/errors.h"
#include "platform/os.h"
#include "platform/posix/kernel_object.h"
#include "platform/trace.h"

namespace os {
namespace {

thread_local char lastLibraryError[512] = "";

}  // namespace

Library loadLibrary(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        setLastError(kErrorInvalidParameter);
        std::snprintf(lastLibraryError, sizeof(lastLibraryError), "no library path given");
        return nullptr;
    }
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        std::snprintf(lastLibraryError, sizeof(lastLibraryError), "%s", reason ? reason : "unknown reason");
        setLastError(fileExists(path) ? kErrorBadFormat : kErrorFileNotFound);
        return nullptr;
    }
    lastLibraryError[0] = '\0';
    return library;
}

void* getProcAddress(Library library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return dlsym(library, name);
}

bool freeLibrary(Library library) { return library != nullptr && dlclose(library) == 0; }

const char* libraryErrorText() { return lastLibraryError; }

void disableThreadNotifications(void* module) { (void)module; }

bool prepareUnload() {
    // Threads end within moments once their owners are gone; a thread that
    // has not ended by then is a part still in use.
    constexpr uint32_t kJoinMs = 2000;
    posix::stopProcessReapers();
    if (!posix::joinAllThreads(kJoinMs)) {
        TRACE("A thread of the library still runs: its process-wide state stays");
        return false;
    }
    posix::releaseProcessReapers();
    const bool keys = posix::releaseRegistryKeys();
    const bool events = posix::releaseNamedEventTable();
    const bool handles = posix::releaseHandleTable();
    return keys && events && handles;
}

bool comInitialize() { return false; }

void comUninitialize() {}

int32_t comCreateInProcessObject(const GUID& classId, const GUID& iid, void** object) {
    (void)classId;
    (void)iid;
    if (object != nullptr) *object = nullptr;
    return hresultFromWin32(kErrorNotSupported);
}

}  // namespace os
