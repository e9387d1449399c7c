// Small string and registry helpers shared by the Kernel Streaming layer,
// the hardware models and the settings.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/registry.h"

// Size of the buffer behind getSystemErrorText, terminator included.
constexpr uint32_t kSystemErrorTextSize = 256;

// The system's message for a Win32 error code in the user's language, at most
// 255 characters, without trailing line breaks. The text lives in a buffer
// per thread that the thread's next call overwrites.
const char* getSystemErrorText(uint32_t code);

// The first place in `text` where `pattern` occurs, comparing ASCII letters
// without regard to case. An empty pattern matches at the start; null when
// the pattern is absent or either argument is null.
const char* findTextNoCase(const char* text, const char* pattern);

// Deletes a registry key with everything below it. Returns a Win32 error
// code; an empty or null subkey name is refused (ERROR_INVALID_PARAMETER)
// rather than taken as "everything below parent".
uint32_t deleteRegistryKey(os::RegKey parent, const char* subKey);

// The identifier as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower-case
// hex, in a buffer per thread that the thread's next call overwrites.
const char* formatGuid(const GUID& guid);
