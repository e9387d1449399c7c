// Started processes as waitable objects, and the process environment.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <mutex>
#include <string>
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

// The reapers' stop signal: a pipe that becomes readable, for good, when the
// library is about to be unloaded. Created with the first reaper.
std::mutex& reaperLock() {
    static std::mutex lock;  // trivially destructible: safe at exit
    return lock;
}
int reaperStop[2] = {-1, -1};

int reaperStopFd() {
    std::lock_guard<std::mutex> lock(reaperLock());
    if (reaperStop[0] < 0 && pipe2(reaperStop, O_CLOEXEC) != 0) reaperStop[0] = reaperStop[1] = -1;
    return reaperStop[0];
}

// Blocks until the child has ended and collects it; false when the reapers
// were told to stop first (the child is then left to the host process).
// Without process descriptors (kernels before 5.3) it waits in waitpid and
// cannot be stopped.
bool collectChild(pid_t pid, int* status) {
    const int stopFd = reaperStopFd();
    const int childFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (childFd >= 0 && stopFd >= 0) {
        pollfd watched[2] = {{childFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        for (;;) {
            if (poll(watched, 2, -1) < 0 && errno != EINTR) break;
            if (watched[1].revents != 0) {
                close(childFd);
                return false;
            }
            if (watched[0].revents != 0) break;
        }
    }
    if (childFd >= 0) close(childFd);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// One helper thread per started process waits for the child to end.
void reap(void* argument) {
    auto* process = static_cast<ProcessObject*>(argument);
    int status = 0;
    if (collectChild(process->pid, &status)) {
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

void stopProcessReapers() {
    std::lock_guard<std::mutex> lock(reaperLock());
    if (reaperStop[1] < 0) return;
    ssize_t written = write(reaperStop[1], "x", 1);
    (void)written;
}

void releaseProcessReapers() {
    std::lock_guard<std::mutex> lock(reaperLock());
    for (int& fd : reaperStop) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

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
    // Without a reaper: wait here so the handle still reports the exit.
    pthread_t reaper;
    if (!posix::startHelperThread(posix::reap, process, &reaper, process)) {
        posix::reap(process);
        return handle;
    }
    std::lock_guard<std::mutex> lock(posix::objectLock());
    process->hasThread = true;
    process->thread = reaper;
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

uint32_t processThreadCount() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return 0;
    uint32_t count = 0;
    while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
    closedir(tasks);
    return count;
}

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
