// The one trace facility. Debug builds (KSASIO_TRACE defined) write each line
// to the debugger output on Windows and to standard error on POSIX when the
// environment variable KSASIO_TRACE is set to a non-empty value other than
// "0". Release builds compile every trace call to nothing, so no trace text
// can ever reach a user.
#pragma once

#if defined(KSASIO_TRACE)

namespace os {
// printf-style; the line is cut at 511 characters and gets a line break.
void traceLine(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
bool traceEnabled();
}  // namespace os

#define TRACE(...) ::os::traceLine(__VA_ARGS__)

#else

#define TRACE(...) \
    do {           \
    } while (0)

#endif

// Bracket lines for public methods: TRACE_ENTER("Class::method") ...
#define TRACE_ENTER(name) TRACE("%s Enter", name)
#define TRACE_LEAVE(name) TRACE("%s Leave", name)
#define TRACE_LEAVE_INT(name, value) TRACE("%s Leave, returning %i", name, static_cast<int>(value))
#define TRACE_LEAVE_HEX(name, value) TRACE("%s Leave, returning %#08x", name, static_cast<unsigned>(value))
