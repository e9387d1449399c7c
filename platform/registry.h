// The per-user hierarchical settings store with the semantics of the Windows
// registry: keys hold subkeys and named values; values are typed (REG_DWORD,
// REG_SZ, ...); the empty name is the key's default value.
//
// On Windows this is the registry itself (HKEY_CURRENT_USER, and
// HKEY_LOCAL_MACHINE for reading the install folder). On POSIX it is a file
// store under $XDG_CONFIG_HOME (or ~/.config); every change is saved at once
// and crash-safe (written to a temporary file, flushed and renamed into
// place), so another process always reads either the old or the new content.
//
// Every function returns a Win32 error code: kErrorSuccess, or the reason.
#pragma once

#include <cstddef>
#include <cstdint>

namespace os {

using RegKey = void*;

enum class RegRoot {
    CurrentUser,   // HKEY_CURRENT_USER: read and write
    LocalMachine,  // HKEY_LOCAL_MACHINE: read only (the installer writes it)
};

// Value types (the Win32 numbers).
constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;

// The root keys as RegKey values, usable as `parent` below.
RegKey regRootKey(RegRoot root);

// Opens a key below `parent`, creating it and every missing key on the way.
uint32_t regCreateKey(RegKey parent, const char* subKey, RegKey* key);
// Opens an existing key; ERROR_FILE_NOT_FOUND when it is absent.
uint32_t regOpenKey(RegKey parent, const char* subKey, bool writable, RegKey* key);
uint32_t regCloseKey(RegKey key);

// The name of the index-th subkey: ERROR_NO_MORE_ITEMS past the last one,
// ERROR_MORE_DATA when *size (in characters, including the terminator) is too
// small. On success *size is the name's length without the terminator.
uint32_t regEnumKey(RegKey key, uint32_t index, char* name, uint32_t* size);

// Reads a value: type and bytes (strings with their terminator). With a null
// data pointer only type and size are reported; a buffer that is too small
// gives ERROR_MORE_DATA and the needed size.
uint32_t regQueryValue(RegKey key, const char* name, uint32_t* type, void* data, uint32_t* size);
uint32_t regSetValue(RegKey key, const char* name, uint32_t type, const void* data, uint32_t size);
uint32_t regDeleteValue(RegKey key, const char* name);

// Deletes a key with everything below it.
uint32_t regDeleteTree(RegKey parent, const char* subKey);

// Convenience forms.
uint32_t regSetDword(RegKey key, const char* name, uint32_t value);
uint32_t regSetString(RegKey key, const char* name, const char* value);
// Reads a REG_DWORD; ERROR_UNSUPPORTED_TYPE when the value has another type.
uint32_t regGetDword(RegKey key, const char* name, uint32_t* value);
// Reads a REG_SZ into text (always terminated); ERROR_UNSUPPORTED_TYPE for
// another type, ERROR_MORE_DATA when it does not fit.
uint32_t regGetString(RegKey key, const char* name, char* text, uint32_t size);

}  // namespace os
