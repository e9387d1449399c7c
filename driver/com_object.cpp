#include "driver/com_object.h"

#include <algorithm>

#include "platform/trace.h"

namespace com {
namespace {

std::atomic<int32_t> liveObjects{0};
// Hosts lock and create from one thread; atomic all the same, since it
// costs nothing and DllCanUnloadNow may be asked from another.
std::atomic<int32_t> locks{0};

// Threads that destroy an object released on a thread of its own: few at
// most, since only a driver object's own callbacks release it that way.
constexpr int kDestroyingThreads = 16;
std::atomic<os::Handle> destroyingThreads[kDestroyingThreads];

uint32_t destroyObject(void* object) {
    delete static_cast<CUnknown*>(object);
    return 0;
}

// Starts the destruction on a thread of its own; false when no thread could
// be made (the object is then kept: destroying it here would deadlock).
bool destroyElsewhere(CUnknown* object) {
    os::Handle thread = os::createThread(&destroyObject, object, true);
    if (thread == nullptr) return false;
    bool kept = false;
    for (int attempt = 0; attempt < 2 && !kept; ++attempt) {
        for (std::atomic<os::Handle>& slot : destroyingThreads) {
            os::Handle none = nullptr;
            if (slot.compare_exchange_strong(none, thread)) {
                kept = true;
                break;
            }
        }
        if (!kept) pendingDestructions();  // frees the slots of ended ones
    }
    if (!kept) TRACE("Too many destructions at once: one is not waited for");
    os::resumeThread(thread);
    if (!kept) os::closeHandle(thread);
    return true;
}

}  // namespace

int32_t pendingDestructions() {
    int32_t pending = 0;
    for (std::atomic<os::Handle>& slot : destroyingThreads) {
        os::Handle thread = slot.load();
        if (thread == nullptr) continue;
        if (os::waitForOne(thread, 0) == os::kWaitObject0 && slot.compare_exchange_strong(thread, nullptr))
            os::closeHandle(thread);
        else
            ++pending;
    }
    return pending;
}

bool awaitDestructions(uint32_t timeoutMs) {
    const uint32_t start = os::tickMs();
    for (std::atomic<os::Handle>& slot : destroyingThreads) {
        os::Handle thread = slot.load();
        if (thread == nullptr) continue;
        const uint32_t spent = os::tickMs() - start;
        os::waitForOne(thread, spent < timeoutMs ? timeoutMs - spent : 0);
    }
    return pendingDestructions() == 0;
}

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
        if (mayDestroyHere())
            delete this;
        else if (!com::destroyElsewhere(this))
            TRACE("No thread to destroy the object on: it is kept");
        return 0;
    }
    return static_cast<ULONG>(std::max(count, 1));
}

HRESULT CUnknown::ownerQueryInterface(const GUID& iid, void** object) {
    return outer_ != nullptr ? outer_->QueryInterface(iid, object) : NonDelegatingQueryInterface(iid, object);
}

ULONG CUnknown::ownerAddRef() { return outer_ != nullptr ? outer_->AddRef() : NonDelegatingAddRef(); }

ULONG CUnknown::ownerRelease() { return outer_ != nullptr ? outer_->Release() : NonDelegatingRelease(); }
