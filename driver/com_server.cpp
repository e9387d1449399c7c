#include "driver/com_server.h"

#include <new>

#include "brands/brand_build.h"
#include "driver/win_asio.h"
#include "platform/trace.h"

namespace com {
namespace {

GUID driverClassId = {};
bool classIdTaken = false;
FactoryTemplate templates[1] = {};
int templateCount = 0;
// Created at the first load and kept for the life of the process: objects
// of this library may still read it from other threads while it unloads.
AsioBrandIf* processBrand = nullptr;

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

void processDetach() {
    for (int t = 0; t < templateCount; ++t)
        if (templates[t].init != nullptr) templates[t].init(false, templates[t].classId);
    // A host that unloads the library after DllCanUnloadNow said yes would
    // otherwise lose the brand at every load. With objects still alive
    // (a host that exits without releasing) it stays: they may read it.
    if (liveObjectCount() == 0) {
        templateCount = 0;
        delete processBrand;
        processBrand = nullptr;
    }
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
    return lockCount() > 0 || liveObjectCount() != 0 ? kComFalse : kComOk;
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
