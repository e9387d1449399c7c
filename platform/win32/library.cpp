#include "platform/library.h"

#include <windows.h>

#include <cstdio>

namespace os {
namespace {

thread_local char lastLibraryError[512] = "";

}  // namespace

Library loadLibrary(const char* path) {
    if (path == nullptr || path[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        std::snprintf(lastLibraryError, sizeof(lastLibraryError), "no library path given");
        return nullptr;
    }
    HMODULE library = LoadLibraryA(path);
    if (library == nullptr) {
        const DWORD error = GetLastError();
        char text[400] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                       sizeof(text), nullptr);
        for (size_t n = strlen(text); n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'); --n) text[n - 1] = 0;
        std::snprintf(lastLibraryError, sizeof(lastLibraryError), "error %lu%s%s", static_cast<unsigned long>(error),
                      text[0] ? ": " : "", text);
        SetLastError(error);
        return nullptr;
    }
    lastLibraryError[0] = '\0';
    return library;
}

void* getProcAddress(Library library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool freeLibrary(Library library) { return library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != 0; }

const char* libraryErrorText() { return lastLibraryError; }

void disableThreadNotifications(void* module) {
    if (module != nullptr) DisableThreadLibraryCalls(static_cast<HMODULE>(module));
}

}  // namespace os
