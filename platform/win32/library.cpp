#include "platform/library.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/win32/system_library.h"

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

HMODULE loadSystemLibrary(const char* name) {
    HMODULE library = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return library;
    char path[MAX_PATH];
    const UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length + 1 + std::strlen(name) >= MAX_PATH) return nullptr;
    std::snprintf(path + length, MAX_PATH - length, "\\%s", name);
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* getProcAddress(Library library, const char* name) {
    if (library == nullptr || name == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

bool freeLibrary(Library library) { return library != nullptr && FreeLibrary(static_cast<HMODULE>(library)) != 0; }

const char* libraryErrorText() { return lastLibraryError; }

bool prepareUnload() { return true; }

void disableThreadNotifications(void* module) {
    if (module != nullptr) DisableThreadLibraryCalls(static_cast<HMODULE>(module));
}

}  // namespace os
