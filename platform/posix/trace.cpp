// Trace and debug output to standard error.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/os.h"
#include "platform/trace.h"

namespace os {

static void writeLine(const char* text) {
    // One write per line keeps lines of concurrent threads whole.
    char line[520];
    int length = std::snprintf(line, sizeof line - 1, "%s", text);
    if (length < 0) return;
    if (static_cast<size_t>(length) > sizeof line - 2) length = sizeof line - 2;
    line[length] = '\n';
    ssize_t written = write(STDERR_FILENO, line, static_cast<size_t>(length) + 1);
    (void)written;
}

void debugOutput(const char* text) { writeLine(text ? text : ""); }

#if defined(KSASIO_TRACE)

bool traceEnabled() {
    static const bool enabled = [] {
        const char* value = std::getenv("KSASIO_TRACE");
        return value && *value && std::strcmp(value, "0") != 0;
    }();
    return enabled;
}

void traceLine(const char* format, ...) {
    if (!traceEnabled()) return;
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    writeLine(text);
}

#endif

}  // namespace os
