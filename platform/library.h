// Loading shared libraries at run time, and the COM calls a host makes to
// create an in-process object by its registered class (Windows only).
//
// Windows: LoadLibraryA, GetProcAddress, FreeLibrary, CoInitializeEx and
// CoCreateInstance (a program that uses the COM calls links ole32). POSIX:
// dlopen (RTLD_NOW | RTLD_LOCAL), dlsym, dlclose; the COM calls answer
// ERROR_NOT_SUPPORTED there, as no class registry exists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/guid.h"

namespace os {

using Library = void*;

// Null on failure, with lastError() set (ERROR_MOD_NOT_FOUND-like codes on
// Windows; ERROR_FILE_NOT_FOUND or ERROR_BAD_FORMAT on POSIX) and a text
// for the user in libraryErrorText().
Library loadLibrary(const char* path);
// Null when the library has no such symbol.
void* getProcAddress(Library library, const char* name);
bool freeLibrary(Library library);
// Why the last loadLibrary of this thread failed, for a message to the user.
const char* libraryErrorText();

// A library's entry point may ask not to be told of thread starts and
// ends (Windows: DisableThreadLibraryCalls); nothing to do elsewhere.
void disableThreadNotifications(void* module);

// For a library that carries this platform layer, before it is unloaded and
// once nothing of it is in use: ends the threads that wait for started
// processes, joins every thread it started (one that has ended may still
// run its last instructions, which must not run in unloaded code) and frees
// the process-wide bookkeeping. False when a thread still runs or a handle
// is still open; everything is then kept, never freed under a user.
// Windows: nothing to do (a thread handle is signalled once the thread has
// left the library), true.
bool prepareUnload();

// Windows: initialises COM for the calling thread in a single-threaded
// apartment, as ASIO hosts do. True when COM is usable on the thread.
bool comInitialize();
void comUninitialize();
// CoCreateInstance(classId, null, CLSCTX_INPROC_SERVER, iid, object); the
// HRESULT it returns (0x80070032 on POSIX).
int32_t comCreateInProcessObject(const GUID& classId, const GUID& iid, void** object);

}  // namespace os
