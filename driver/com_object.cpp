#include "driver/com_object.h"

#include <algorithm>

#include "platform/trace.h"

namespace com {
namespace {

std::atomic<int32_t> liveObjects{0};
// Hosts lock and create from one thread; atomic all the same, since it
// costs nothing and DllCanUnloadNow may be asked from another.
std::atomic<int32_t> locks{0};

}  // namespace

int32_t liveObjectCount() { return liveObjects.load(); }
int32_t lockCount() { return locks.load(); }
void changeLockCount(bool lock) {
    if (lock)
        ++locks;
    else
        --locks;
}

}  // namespace com

CBaseObject::CBaseObject(const char* name) {
    (void)name;
    com::liveObjects++;
}

CBaseObject::~CBaseObject() { com::liveObjects--; }

CUnknown::CUnknown(const char* name, IUnknown* outer, HRESULT* result) : CBaseObject(name), outer_(outer) {
    (void)result;
}

HRESULT KSASIO_COM_CALL CUnknown::NonDelegatingQueryInterface(const GUID& iid, void** object) {
    if (object == nullptr) return kComPointer;
    if (os::guidEquals(iid, kIidIUnknown)) {
        *object = &ownUnknown_;
        NonDelegatingAddRef();
        return kComOk;
    }
    *object = nullptr;
    return kComNoInterface;
}

ULONG KSASIO_COM_CALL CUnknown::NonDelegatingAddRef() {
    int32_t count = ++references_;
    return static_cast<ULONG>(std::max(count, 1));
}

ULONG KSASIO_COM_CALL CUnknown::NonDelegatingRelease() {
    int32_t count = --references_;
    if (count == 0) {
        // A Release reached from the destructor must not delete again.
        references_ = 1;
        delete this;
        return 0;
    }
    return static_cast<ULONG>(std::max(count, 1));
}

HRESULT CUnknown::ownerQueryInterface(const GUID& iid, void** object) {
    return outer_ != nullptr ? outer_->QueryInterface(iid, object) : NonDelegatingQueryInterface(iid, object);
}

ULONG CUnknown::ownerAddRef() { return outer_ != nullptr ? outer_->AddRef() : NonDelegatingAddRef(); }

ULONG CUnknown::ownerRelease() { return outer_ != nullptr ? outer_->Release() : NonDelegatingRelease(); }
