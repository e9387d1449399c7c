// The exports of the driver library and the work of its load and unload.
// Windows: DllMain receives the process attach and detach; the export table
// comes from driver.def. Elsewhere a load-time constructor and an unload-time
// destructor do the same work, and only the two COM entry points are
// visible (driver.map hides everything else, the static libraries too).
#include <cstdint>

#include "driver/com_server.h"

#if defined(_WIN32)
#define KSASIO_EXPORT
#else
#define KSASIO_EXPORT __attribute__((visibility("default")))
#endif

extern "C" KSASIO_EXPORT HRESULT KSASIO_COM_CALL DllGetClassObject(const GUID& classId, const GUID& iid,
                                                                   void** object) {
    return com::getClassObject(classId, iid, object);
}

extern "C" KSASIO_EXPORT HRESULT KSASIO_COM_CALL DllCanUnloadNow() { return com::canUnloadNow(); }

#if defined(_WIN32)

#include "platform/library.h"

namespace {
constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;
}  // namespace

extern "C" int32_t __stdcall DllMain(void* module, uint32_t reason, void* reserved) {
    if (reason == kProcessAttach) {
        os::disableThreadNotifications(module);
        com::processAttach();
    } else if (reason == kProcessDetach) {
        // A reserved value means the process is ending, not FreeLibrary.
        com::processDetach(reserved != nullptr);
    }
    return 1;
}

#else

namespace {

__attribute__((constructor)) void libraryLoaded() { com::processAttach(); }

__attribute__((destructor)) void libraryUnloaded() { com::processDetach(false); }

}  // namespace

#endif
