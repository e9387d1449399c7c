// The registry functions over the Windows registry, in the view of the
// process's own bitness: the 64-bit driver and hosts read the 64-bit view,
// the 32-bit driver and hosts the 32-bit view (where 32-bit hosts list
// their drivers and the installer registers the 32-bit library).
#include <windows.h>

#include "platform/errors.h"
#include "platform/registry.h"

namespace os {
namespace {

HKEY native(RegKey key) { return static_cast<HKEY>(key); }

// A 32-bit process sees the 32-bit view without asking (and 32-bit systems
// have only that one).
#if defined(_WIN64)
constexpr REGSAM kOwnView = KEY_WOW64_64KEY;
#else
constexpr REGSAM kOwnView = 0;
#endif

using DeleteKeyEx = LONG(WINAPI*)(HKEY, LPCSTR, REGSAM, DWORD);

// RegDeleteKeyExA, which can name the view, is missing from old
// systems; it is looked up once and RegDeleteKeyA used without it.
LONG deleteKey(HKEY parent, const char* subKey) {
    static const DeleteKeyEx deleteKeyEx = [] {
        HMODULE library = GetModuleHandleA("advapi32.dll");
        if (!library) library = LoadLibraryA("advapi32.dll");
        FARPROC entry = library ? GetProcAddress(library, "RegDeleteKeyExA") : nullptr;
        DeleteKeyEx typed = nullptr;
        static_assert(sizeof typed == sizeof entry, "function pointers differ in size");
        memcpy(&typed, &entry, sizeof typed);
        return typed;
    }();
    if (deleteKeyEx) return deleteKeyEx(parent, subKey, kOwnView, 0);
    return RegDeleteKeyA(parent, subKey);
}

// Bottom-up: a key can only be deleted once it has no subkeys.
LONG deleteTree(HKEY parent, const char* subKey) {
    HKEY key;
    LONG result = RegOpenKeyExA(parent, subKey, 0, KEY_READ | kOwnView, &key);
    if (result != ERROR_SUCCESS) return result;
    for (;;) {
        char name[256];
        DWORD length = sizeof name;
        result = RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result == ERROR_SUCCESS) result = deleteTree(key, name);
        if (result != ERROR_SUCCESS) {
            RegCloseKey(key);
            return result;
        }
    }
    RegCloseKey(key);
    return deleteKey(parent, subKey);
}

}  // namespace

RegKey regRootKey(RegRoot root) {
    return root == RegRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

uint32_t regCreateKey(RegKey parent, const char* subKey, RegKey* key) {
    if (!key) return kErrorInvalidParameter;
    // The machine-wide part belongs to the installer.
    if (native(parent) == HKEY_LOCAL_MACHINE) return kErrorAccessDenied;
    HKEY created;
    LONG result = RegCreateKeyExA(native(parent), subKey ? subKey : "", 0, nullptr, 0,
                                  KEY_READ | KEY_WRITE | kOwnView, nullptr, &created, nullptr);
    if (result == ERROR_SUCCESS) *key = created;
    return static_cast<uint32_t>(result);
}

uint32_t regOpenKey(RegKey parent, const char* subKey, bool writable, RegKey* key) {
    if (!key) return kErrorInvalidParameter;
    if (writable && native(parent) == HKEY_LOCAL_MACHINE) return kErrorAccessDenied;
    HKEY opened;
    REGSAM access = KEY_READ | kOwnView | (writable ? KEY_WRITE : 0);
    LONG result = RegOpenKeyExA(native(parent), subKey ? subKey : "", 0, access, &opened);
    if (result == ERROR_SUCCESS) *key = opened;
    return static_cast<uint32_t>(result);
}

uint32_t regCloseKey(RegKey key) {
    if (native(key) == HKEY_CURRENT_USER || native(key) == HKEY_LOCAL_MACHINE) return kErrorSuccess;
    return static_cast<uint32_t>(RegCloseKey(native(key)));
}

uint32_t regEnumKey(RegKey key, uint32_t index, char* name, uint32_t* size) {
    if (!name || !size) return kErrorInvalidParameter;
    DWORD length = *size;
    LONG result = RegEnumKeyExA(native(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_MORE_DATA) {
        // Report a size that fits, as the store on other systems does.
        DWORD longest = 0;
        if (RegQueryInfoKeyA(native(key), nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr, nullptr,
                             nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            *size = longest + 1;
        }
    } else if (result == ERROR_SUCCESS) {
        *size = length;
    }
    return static_cast<uint32_t>(result);
}

uint32_t regQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size) {
    if (data && !size) return kErrorInvalidParameter;
    DWORD nativeType = 0, nativeSize = size ? *size : 0;
    LONG result = RegQueryValueExA(native(key), name, nullptr, &nativeType, static_cast<BYTE*>(data),
                                   size ? &nativeSize : nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) {
        if (type) *type = nativeType;
        if (size) *size = nativeSize;
    }
    return static_cast<uint32_t>(result);
}

uint32_t regSetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size) {
    if (!data && size) return kErrorInvalidParameter;
    return static_cast<uint32_t>(
        RegSetValueExA(native(key), name, 0, type, static_cast<const BYTE*>(data), size));
}

uint32_t regDeleteValue(RegKey key, const char* name) {
    return static_cast<uint32_t>(RegDeleteValueA(native(key), name));
}

uint32_t regDeleteTree(RegKey parent, const char* subKey) {
    if (!subKey || !*subKey) return kErrorInvalidParameter;
    if (native(parent) == HKEY_LOCAL_MACHINE) return kErrorAccessDenied;
    return static_cast<uint32_t>(deleteTree(native(parent), subKey));
}

}  // namespace os
