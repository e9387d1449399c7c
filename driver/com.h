// The few COM types an in-process server needs, declared with the binary
// layout COM hosts expect: HRESULT is a 32-bit signed code, ULONG 32-bit
// unsigned, identifiers are 16-byte GUIDs passed by reference, and the
// IUnknown slots use the stdcall convention on Windows (the one convention
// of x64, and what 32-bit COM requires). The same layout holds natively.
#pragma once

#include <cstdint>

#include "platform/guid.h"

using HRESULT = int32_t;
using ULONG = uint32_t;

#if defined(_WIN32)
#define KSASIO_COM_CALL __stdcall
#else
#define KSASIO_COM_CALL
#endif

constexpr HRESULT kComOk = 0;               // S_OK
constexpr HRESULT kComFalse = 1;            // S_FALSE
constexpr HRESULT kComNoInterface = static_cast<HRESULT>(0x80004002u);        // E_NOINTERFACE
constexpr HRESULT kComPointer = static_cast<HRESULT>(0x80004003u);            // E_POINTER
constexpr HRESULT kComFail = static_cast<HRESULT>(0x80004005u);               // E_FAIL
constexpr HRESULT kComOutOfMemory = static_cast<HRESULT>(0x8007000Eu);        // E_OUTOFMEMORY
constexpr HRESULT kComInvalidArgument = static_cast<HRESULT>(0x80070057u);    // E_INVALIDARG
constexpr HRESULT kComNoAggregation = static_cast<HRESULT>(0x80040110u);      // CLASS_E_NOAGGREGATION
constexpr HRESULT kComClassNotAvailable = static_cast<HRESULT>(0x80040111u);  // CLASS_E_CLASSNOTAVAILABLE

constexpr bool comSucceeded(HRESULT result) { return result >= 0; }

// {00000000-0000-0000-C000-000000000046}
constexpr GUID kIidIUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
constexpr GUID kIidIClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// No virtual destructor anywhere in these interfaces: it would take vtable
// slots and shift every method a host calls.
class IUnknown {
public:
    virtual HRESULT KSASIO_COM_CALL QueryInterface(const GUID& iid, void** object) = 0;
    virtual ULONG KSASIO_COM_CALL AddRef() = 0;
    virtual ULONG KSASIO_COM_CALL Release() = 0;
};

class IClassFactory : public IUnknown {
public:
    virtual HRESULT KSASIO_COM_CALL CreateInstance(IUnknown* outer, const GUID& iid, void** object) = 0;
    virtual HRESULT KSASIO_COM_CALL LockServer(int32_t lock) = 0;
};

// The two exports of an in-process server, as a host calls them.
using DllGetClassObjectFunction = HRESULT(KSASIO_COM_CALL*)(const GUID& classId, const GUID& iid, void** object);
using DllCanUnloadNowFunction = HRESULT(KSASIO_COM_CALL*)();
