// The COM calls of a host, apart from the library loading so that a
// program that only loads libraries does not import ole32.
#include <objbase.h>
#include <windows.h>

#include "platform/library.h"

namespace os {

bool comInitialize() {
    const HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    return SUCCEEDED(result);
}

void comUninitialize() { CoUninitialize(); }

int32_t comCreateInProcessObject(const GUID& classId, const GUID& iid, void** object) {
    return CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, iid, object);
}

}  // namespace os
