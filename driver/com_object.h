// The base classes of the COM objects of the driver library: a live-object
// count that tells the host whether the library may be unloaded, and the
// unknown with a non-delegating half, so that an aggregated object counts
// its references on its outer object.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/os.h"

#include "driver/com.h"

namespace com {

// Objects alive in the library: driver objects and class factories.
int32_t liveObjectCount();
// LockServer's count.
int32_t lockCount();
void changeLockCount(bool lock);

// Objects whose last reference went on a thread their destruction must
// join are destroyed on a thread of their own (CUnknown::mayDestroyHere).
// The destructions still under way; those that have ended are joined and
// forgotten on the way. The objects count as live until destroyed, and the
// library must stay loaded while a destroying thread still runs.
int32_t pendingDestructions();
// Waits up to timeoutMs for every pending destruction; true when none is left.
bool awaitDestructions(uint32_t timeoutMs);

}  // namespace com

// Counts itself as a live object from construction to destruction.
class CBaseObject {
public:
    // The name is for tracing only; it is not kept.
    explicit CBaseObject(const char* name);
    virtual ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

// The object's own unknown: answers and counts references for the object
// itself, even when the object is aggregated. Slot order: the three
// operations, then the destructor.
class INonDelegatingUnknown {
public:
    virtual HRESULT KSASIO_COM_CALL NonDelegatingQueryInterface(const GUID& iid, void** object) = 0;
    virtual ULONG KSASIO_COM_CALL NonDelegatingAddRef() = 0;
    virtual ULONG KSASIO_COM_CALL NonDelegatingRelease() = 0;
    virtual ~INonDelegatingUnknown() = default;
};

class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    // Owner: the outer unknown when aggregated, else this object's own
    // non-delegating unknown. Never sets a failure in *result.
    CUnknown(const char* name, IUnknown* outer, HRESULT* result);
    ~CUnknown() override = default;

    HRESULT KSASIO_COM_CALL NonDelegatingQueryInterface(const GUID& iid, void** object) override;
    // Returns at least 1.
    ULONG KSASIO_COM_CALL NonDelegatingAddRef() override;
    // At 0 the object deletes itself (once) and 0 is returned; otherwise
    // the count, at least 1.
    ULONG KSASIO_COM_CALL NonDelegatingRelease() override;

    // The owner's unknown: the outer object's, or this object's own.
    HRESULT ownerQueryInterface(const GUID& iid, void** object);
    ULONG ownerAddRef();
    ULONG ownerRelease();

    bool isAggregated() const { return outer_ != nullptr; }

protected:
    // Whether the object may be destroyed on the calling thread when its
    // last reference goes there. An object whose destructor would join the
    // calling thread answers false (doing first what must happen at once);
    // it is then destroyed on a thread of its own.
    virtual bool mayDestroyHere() { return true; }

private:
    // The object's own unknown as the IUnknown hosts (and outer objects)
    // are handed: its three slots are the non-delegating ones.
    class OwnUnknown final : public IUnknown {
    public:
        explicit OwnUnknown(CUnknown* object) : object_(object) {}
        HRESULT KSASIO_COM_CALL QueryInterface(const GUID& iid, void** object) override {
            return object_->NonDelegatingQueryInterface(iid, object);
        }
        ULONG KSASIO_COM_CALL AddRef() override { return object_->NonDelegatingAddRef(); }
        ULONG KSASIO_COM_CALL Release() override { return object_->NonDelegatingRelease(); }

    private:
        CUnknown* object_;
    };

    IUnknown* outer_;
    std::atomic<int32_t> references_{0};
    OwnUnknown ownUnknown_{this};
};
