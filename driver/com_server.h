// The in-process server: one class (the ASIO driver) in a one-entry
// factory template table, the class factory handed to hosts, and the work
// behind the library's exports. driver/library_exports.cpp binds these to
// the exported names and to the library's load and unload.
#pragma once

#include <cstdint>

#include "driver/com_object.h"

namespace com {

// Makes an object for the factory; null when memory runs out. A failure
// left in *result makes the factory delete the object and return it.
using CreationFunction = CUnknown* (*)(IUnknown* outer, HRESULT* result);

struct FactoryTemplate {
    static constexpr int kNameSize = 32;
    char16_t name[kNameSize];
    const GUID* classId;
    CreationFunction create;
    // Called with (true, class id) at load and (false, class id) at unload.
    void (*init)(bool loading, const GUID* classId);
};

// Load: creates the build's brand (the process-wide active brand from then
// on), takes its class identifier once, fills the template table and runs
// the entries' init routines. A brand that cannot be created leaves the
// table empty: every class is then unavailable.
void processAttach();
// Unload: runs the init routines with false. When no object of the library
// is alive it lets go of everything the library holds (the brand, the
// simulated device bus, the platform layer's threads and bookkeeping), so
// nothing of it is left behind in the process. At the end of the process
// (processEnding) the system has ended every other thread already and
// nothing needs letting go.
void processDetach(bool processEnding);

// DllGetClassObject and DllCanUnloadNow. The answer to DllCanUnloadNow is
// yes only when no object, lock or destruction of the library remains; the
// library then already lets go of its simulated bus (its clock thread), so
// that the unload finds no thread of it running.
HRESULT getClassObject(const GUID& classId, const GUID& iid, void** object);
HRESULT canUnloadNow();

// The table's one entry (tests replace its creation function).
FactoryTemplate& driverTemplate();

}  // namespace com

// Counts as a live object while it exists: a host holding a factory keeps
// the library loaded, since unloading would leave it calling freed code.
class CClassFactory : public IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const com::FactoryTemplate* entry);
    virtual ~CClassFactory();

    HRESULT KSASIO_COM_CALL QueryInterface(const GUID& iid, void** object) override;
    ULONG KSASIO_COM_CALL AddRef() override;
    ULONG KSASIO_COM_CALL Release() override;
    HRESULT KSASIO_COM_CALL CreateInstance(IUnknown* outer, const GUID& iid, void** object) override;
    HRESULT KSASIO_COM_CALL LockServer(int32_t lock) override;

private:
    const com::FactoryTemplate* entry_;
    std::atomic<int32_t> references_{0};
};
