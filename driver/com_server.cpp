#include "driver/com_server.h"

#include <new>

#include "brands/brand_build.h"
#include "driver/win_asio.h"
#include "platform/device_release.h"
#include "platform/library.h"
#include "platform/trace.h"

namespace com {
namespace {

GUID driverClassId = {};
bool classIdTaken = false;
FactoryTemplate templates[1] = {};
int templateCount = 0;
// Created at load; deleted at unload unless objects of the library are
// still alive (a host that exits without releasing them), which may read it.
AsioBrandIf* processBrand = nullptr;

// A destruction handed to a thread of its own may take a moment to finish.
constexpr uint32_t kDestructionWaitMs = 5000;

bool nothingAlive() { return lockCount() <= 0 && liveObjectCount() == 0 && pendingDestructions() == 0; }

}  // namespace

FactoryTemplate& driverTemplate() { return templates[0]; }

void processAttach() {
    if (processBrand == nullptr) processBrand = createBuildBrand();
    if (processBrand == nullptr) {
        TRACE("Out of memory");
        return;
    }
    if (!classIdTaken) {
        processBrand->getClassId(&driverClassId);
        classIdTaken = true;
    }
    FactoryTemplate& entry = templates[0];
    const char* id = processBrand->getDriverId();
    int i = 0;
    for (; id[i] != '\0' && i < FactoryTemplate::kNameSize - 1; ++i)
        entry.name[i] = static_cast<char16_t>(static_cast<unsigned char>(id[i]));
    entry.name[i] = u'\0';
    entry.classId = &driverClassId;
    entry.create = &WinAsio::create;
    entry.init = nullptr;
    templateCount = 1;
    for (int t = 0; t < templateCount; ++t)
        if (templates[t].init != nullptr) templates[t].init(true, templates[t].classId);
}

void processDetach(bool processEnding) {
    for (int t = 0; t < templateCount; ++t)
        if (templates[t].init != nullptr) templates[t].init(false, templates[t].classId);
    if (processEnding) return;
    // Natively the loader does not stop other threads while it unloads, so
    // a destruction still under way is awaited (a host that unloads without
    // asking DllCanUnloadNow). With objects still alive (a host that exits
    // without releasing them) everything stays: they may still use it.
    awaitDestructions(kDestructionWaitMs);
    if (liveObjectCount() != 0 || pendingDestructions() != 0) return;
    templateCount = 0;
    delete processBrand;
    processBrand = nullptr;
    os::releaseDeviceBoundary();
    if (!os::prepareUnload()) TRACE("Unloading with parts of the library still in use");
}

HRESULT getClassObject(const GUID& classId, const GUID& iid, void** object) {
    TRACE_ENTER("DllGetClassObject");
    if (object == nullptr) return kComPointer;
    *object = nullptr;
    if (!os::guidEquals(iid, kIidIUnknown) && !os::guidEquals(iid, kIidIClassFactory)) return kComNoInterface;
    for (int t = 0; t < templateCount; ++t) {
        if (!os::guidEquals(classId, *templates[t].classId)) continue;
        CClassFactory* factory = new (std::nothrow) CClassFactory(&templates[t]);
        if (factory == nullptr) return kComOutOfMemory;
        factory->AddRef();
        *object = static_cast<IClassFactory*>(factory);
        TRACE_LEAVE_HEX("DllGetClassObject", kComOk);
        return kComOk;
    }
    return kComClassNotAvailable;
}

HRESULT canUnloadNow() {
    TRACE("DLLCanUnloadNow called - IsLocked = %d, Active objects = %d", static_cast<int>(lockCount()),
          static_cast<int>(liveObjectCount()));
    if (!nothingAlive()) return kComFalse;
    // Its clock thread would otherwise idle on for a moment, and on Windows
    // a thread cannot end while the loader unloads us.
    os::releaseDeviceBoundary();
    return kComOk;
}

}  // namespace com

CClassFactory::CClassFactory(const com::FactoryTemplate* entry) : CBaseObject("CClassFactory"), entry_(entry) {}

CClassFactory::~CClassFactory() = default;

HRESULT KSASIO_COM_CALL CClassFactory::QueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return kComPointer;
    *object = nullptr;
    if (!os::guidEquals(iid, kIidIUnknown) && !os::guidEquals(iid, kIidIClassFactory)) return kComNoInterface;
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return kComOk;
}

ULONG KSASIO_COM_CALL CClassFactory::AddRef() { return static_cast<ULONG>(++references_); }

ULONG KSASIO_COM_CALL CClassFactory::Release() {
    const int32_t count = --references_;
    if (count == 0) delete this;
    return static_cast<ULONG>(count < 0 ? 0 : count);
}

HRESULT KSASIO_COM_CALL CClassFactory::CreateInstance(IUnknown* outer, const GUID& iid, void** object) {
    if (object == nullptr) return kComPointer;
    *object = nullptr;
    if (outer != nullptr && !os::guidEquals(iid, kIidIUnknown)) return kComNoInterface;
    HRESULT result = kComOk;
    CUnknown* created = entry_->create(outer, &result);
    if (created == nullptr) return kComOutOfMemory;
    if (!comSucceeded(result)) {
        delete created;
        return result;
    }
    // Held across the query, so a failed query releases the object to 0.
    created->NonDelegatingAddRef();
    result = created->NonDelegatingQueryInterface(iid, object);
    created->NonDelegatingRelease();
    return result;
}

HRESULT KSASIO_COM_CALL CClassFactory::LockServer(int32_t lock) {
    com::changeLockCount(lock != 0);
    return kComOk;
}
