// The class factory's creation function, apart from the driver object so
// that a program linking the object alone (its tests) need not bring the
// registry backend and the audio engine.
#include <new>

#include "driver/driver_backend.h"
#include "driver/win_asio.h"

CUnknown* WinAsio::create(IUnknown* outer, HRESULT* result) {
    return new (std::nothrow) WinAsio(outer, result, createRegistryBackend());
}
