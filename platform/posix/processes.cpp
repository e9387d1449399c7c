// Started processes as waitable objects, and the process environment.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/kernel_object.h"

extern char** environ;

namespace os::posix {
namespace {

constexpr uint32_t kStillActive = 259;

class ProcessObject : public KernelObject {
public:
    explicit ProcessObject(pid_t pid) : KernelObject(Kind::Process), pid(pid) {}
    bool isSignalled() override { return ended; }

    const pid_t pid;
    bool ended = false;
    bool terminated = false;
    uint32_t terminationCode = 0;
    uint32_t exitCode = kStillActive;
};

uint32_t errorFromSpawn(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: return kErrorFileNotFound;
        case EACCES:
        case EPERM: return kErrorAccessDenied;
        case ENOEXEC: return kErrorBadFormat;
        case ENOMEM: return kErrorNotEnoughMemory;
        default: return kErrorGenFailure;
    }
}

// One thread per started process blocks in waitpid until the child ends.
void reap(ProcessObject* process) {
    int status = 0;
    while (waitpid(process->pid, &status, 0) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(objectLock());
        if (process->terminated) {
            process->exitCode = process->terminationCode;
        } else if (WIFEXITED(status)) {
            process->exitCode = static_cast<uint32_t>(WEXITSTATUS(status));
        } else {
            // Ended by a signal: reported the way shells do.
            process->exitCode = 128u + static_cast<uint32_t>(WTERMSIG(status));
        }
        process->ended = true;
        process->notifyWaiters();
    }
    release(process);
}

// `arguments` split at spaces; runs of spaces separate like one.
std::vector<std::string> argumentList(const char* path, const char* arguments) {
    std::vector<std::string> list{path};
    std::string current;
    for (const char* p = arguments ? arguments : ""; *p; ++p) {
        if (*p == ' ') {
            if (!current.empty()) list.push_back(current);
            current.clear();
        } else {
            current += *p;
        }
    }
    if (!current.empty()) list.push_back(current);
    return list;
}

}  // namespace

bool threadExitCode(KernelObject* object, uint32_t* code);

bool exitCodeOf(KernelObject* object, uint32_t* code) {
    if (object->kind == KernelObject::Kind::Process) {
        *code = static_cast<ProcessObject*>(object)->exitCode;
        return true;
    }
    return threadExitCode(object, code);
}

}  // namespace os::posix

namespace os {

Handle startProcess(const char* path, const char* arguments) {
    if (!path || !*path) {
        setLastError(kErrorInvalidParameter);
        return nullptr;
    }
    if (!fileExists(path)) {
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    std::vector<std::string> list = posix::argumentList(path, arguments);
    std::vector<char*> argv;
    for (std::string& argument : list) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int error = posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        setLastError(posix::errorFromSpawn(error));
        return nullptr;
    }
    auto* process = new (std::nothrow) posix::ProcessObject(pid);
    if (!process) {
        // Without an object nobody could reap the child: end it now.
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    Handle handle = posix::publish(process);
    {
        std::lock_guard<std::mutex> lock(posix::objectLock());
        ++process->references;
    }
    try {
        std::thread(posix::reap, process).detach();
    } catch (const std::system_error&) {
        // No reaper: wait here so the handle still reports the exit.
        posix::reap(process);
    }
    return handle;
}

bool terminateProcess(Handle handle, uint32_t exitCode) {
    std::lock_guard<std::mutex> lock(posix::objectLock());
    posix::KernelObject* object = posix::lookupLocked(handle);
    if (!object || object->kind != posix::KernelObject::Kind::Process) {
        setLastError(kErrorInvalidHandle);
        return false;
    }
    auto* process = static_cast<posix::ProcessObject*>(object);
    if (process->ended) {
        setLastError(kErrorAccessDenied);
        return false;
    }
    // The pid cannot have been reused: the reaper has not collected it yet.
    process->terminated = true;
    process->terminationCode = exitCode;
    kill(process->pid, SIGKILL);
    return true;
}

uint32_t currentProcessId() { return static_cast<uint32_t>(getpid()); }

bool fileExists(const char* path) {
    struct stat info;
    return path && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

bool currentExecutablePath(char* path, size_t size) {
    if (!path || size == 0) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    ssize_t length = readlink("/proc/self/exe", path, size);
    if (length < 0) {
        setLastError(kErrorFileNotFound);
        path[0] = '\0';
        return false;
    }
    if (static_cast<size_t>(length) >= size) {
        setLastError(kErrorInsufficientBuffer);
        path[0] = '\0';
        return false;
    }
    path[length] = '\0';
    return true;
}

bool setEnvironmentVariable(const char* name, const char* value) {
    if (!name || !*name || std::strchr(name, '=')) {
        setLastError(kErrorInvalidParameter);
        return false;
    }
    int result = value ? setenv(name, value, 1) : unsetenv(name);
    if (result != 0) {
        setLastError(kErrorNotEnoughMemory);
        return false;
    }
    return true;
}

}  // namespace os
