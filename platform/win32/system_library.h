// Libraries of the operating system, loaded from its system folder only: a
// library of the same name planted next to the host program or in its
// current folder is never taken for it.
#pragma once

#include <windows.h>

namespace os {

// LoadLibraryExA with LOAD_LIBRARY_SEARCH_SYSTEM32; where the system does
// not know that flag (Windows 7 without its loader update) the full path in
// the system folder. Null on failure, with GetLastError set.
HMODULE loadSystemLibrary(const char* name);

}  // namespace os
