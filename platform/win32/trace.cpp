// Trace and debug output to the debugger.
#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "platform/os.h"
#include "platform/trace.h"

namespace os {

void debugOutput(const char* text) {
    char line[520];
    std::snprintf(line, sizeof line, "%s\n", text ? text : "");
    OutputDebugStringA(line);
}

#if defined(KSASIO_TRACE)

// Debug output costs next to nothing without a listener, and viewers attach
// without a debugger, so tracing is always on.
bool traceEnabled() { return true; }

void traceLine(const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    debugOutput(text);
}

#endif

}  // namespace os
