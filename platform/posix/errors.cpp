// Win32 error codes on POSIX: the thread's last error and the message texts.
#include <cstdio>
#include <cstring>

#include "platform/errors.h"
#include "platform/os.h"

namespace os {
namespace {

thread_local uint32_t threadLastError = kErrorSuccess;

struct ErrorText {
    uint32_t code;
    const char* text;
};

// The wording of the system message table, so that texts read the same
// whichever build shows them.
constexpr ErrorText kErrorTexts[] = {
    {kErrorSuccess, "The operation completed successfully."},
    {kErrorInvalidFunction, "Incorrect function."},
    {kErrorFileNotFound, "The system cannot find the file specified."},
    {kErrorPathNotFound, "The system cannot find the path specified."},
    {kErrorAccessDenied, "Access is denied."},
    {kErrorInvalidHandle, "The handle is invalid."},
    {kErrorNotEnoughMemory, "Not enough memory resources are available to process this command."},
    {kErrorBadFormat, "An attempt was made to load a program with an incorrect format."},
    {kErrorOutOfMemory, "Not enough memory resources are available to complete this operation."},
    {kErrorNotReady, "The device is not ready."},
    {kErrorCrc, "Data error (cyclic redundancy check)."},
    {kErrorGenFailure, "A device attached to the system is not functioning."},
    {kErrorNotSupported, "The request is not supported."},
    {kErrorInvalidParameter, "The parameter is incorrect."},
    {kErrorInsufficientBuffer, "The data area passed to a system call is too small."},
    {kErrorAlreadyExists, "Cannot create a file when that file already exists."},
    {kErrorMoreData, "More data is available."},
    {kErrorNoMoreItems, "No more data is available."},
    {kErrorTooManyPosts, "Too many posts were made to a semaphore."},
    {kErrorOperationAborted,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {kErrorIoIncomplete, "Overlapped I/O event is not in a signaled state."},
    {kErrorIoPending, "Overlapped I/O operation is in progress."},
    {kErrorRegistryCorrupt,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or "
     "the system's memory image of the file is corrupted, or the file could not be recovered because the "
     "alternate copy or log was absent or corrupted."},
    {kErrorKeyDeleted, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {kErrorDeviceNotConnected, "The device is not connected."},
    {kErrorNotFound, "Element not found."},
    {kErrorUnsupportedType, "Data of this type is not supported."},
};

}  // namespace

uint32_t lastError() { return threadLastError; }

void setLastError(uint32_t code) { threadLastError = code; }

bool systemErrorText(uint32_t code, char* text, size_t size) {
    const char* message = nullptr;
    for (const ErrorText& entry : kErrorTexts) {
        if (entry.code == code) message = entry.text;
    }
    if (!text || size == 0) return message != nullptr;
    if (message) {
        std::snprintf(text, size, "%s", message);
        return true;
    }
    std::snprintf(text, size, "Unknown error 0x%08x", static_cast<unsigned>(code));
    return false;
}

}  // namespace os
