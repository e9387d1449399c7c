// Named auto-reset events shared between processes.
//
// The shared signal is one byte in a per-name FIFO that every holder keeps
// open: setting writes the byte unless one is already there, a waiter reads
// it, and only one reader can get it. The pipe's content lives only while
// some process has it open, so no signal outlives its holders. A process
// that waits on the event runs one watcher thread that polls the FIFO (and
// a stop pipe) and moves the byte into the event's in-process state, so the
// wait functions treat named and unnamed events alike. The watcher starts
// only at the first wait: a process that merely opens and sets the event
// (the settings dialog) never takes its own signal.
//
// Whether a name "already exists" is decided by who holds it, not by what
// files are lying around: every process holding the event keeps a shared
// flock on a per-name holders file. A creator that gets an exclusive lock on
// it knows nobody else holds the name, so a name left behind by a crashed
// process counts as free. Creation, opening and leaving run under a second,
// exclusive per-name guard lock so that these checks cannot interleave.
#include "platform/posix/named_event.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/trace.h"

namespace os::posix {
namespace {

uint32_t errorFromErrno(int error) {
    switch (error) {
        case ENOENT: return kErrorFileNotFound;
        case EACCES:
        case EPERM: return kErrorAccessDenied;
        case ENOMEM: return kErrorNotEnoughMemory;
        default: return kErrorGenFailure;
    }
}

// Keeps letters, digits and "-_." and writes every other byte as %XX, so
// that any event name is a valid file name; overlong names
// are cut and get a hash of the whole name.
std::string sanitizedName(const char* name) {
    std::string out;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '_' || c == '.';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            out += escaped;
        }
    }
    if (out.size() > 180) {
        uint64_t hash = 1469598103934665603ull;
        for (const char* p = name; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 1099511628211ull;
        char suffix[20];
        std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
        out = out.substr(0, 160) + suffix;
    }
    return out;
}

// $XDG_RUNTIME_DIR/ksasio-events, or /tmp/ksasio-events-<uid>; private to
// the user.
bool eventDirectory(std::string* directory) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        *directory = std::string(runtime) + "/ksasio-events";
    } else {
        *directory = "/tmp/ksasio-events-" + std::to_string(getuid());
    }
    if (mkdir(directory->c_str(), 0700) != 0 && errno != EEXIST) {
        setLastError(errorFromErrno(errno));
        return false;
    }
    struct stat info;
    if (lstat(directory->c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid()) {
        TRACE("Event folder %s is not a private folder", directory->c_str());
        setLastError(kErrorAccessDenied);
        return false;
    }
    return true;
}

struct NamePaths {
    std::string guard, holders, signal;
};

bool namePaths(const char* name, NamePaths* paths) {
    std::string directory;
    if (!eventDirectory(&directory)) return false;
    std::string key = sanitizedName(name);
    paths->guard = directory + "/" + key + ".guard";
    paths->holders = directory + "/" + key + ".holders";
    paths->signal = directory + "/" + key + ".fifo";
    return true;
}

// The per-name guard, held exclusively while holders are checked or changed.
// The last process to leave a name removes its files, guard included, while
// holding the guard; so a guard is only held once the locked file is still
// the one at the path.
class NameGuard {
public:
    explicit NameGuard(const std::string& path) {
        for (;;) {
            fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd_ < 0) return;
            int locked;
            while ((locked = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) {
            }
            struct stat opened, current;
            if (locked == 0 && fstat(fd_, &opened) == 0 && stat(path.c_str(), &current) == 0 &&
                opened.st_dev == current.st_dev && opened.st_ino == current.st_ino) {
                return;
            }
            close(fd_);
            fd_ = -1;
            if (locked != 0) return;
        }
    }
    ~NameGuard() {
        if (fd_ >= 0) close(fd_);
    }
    NameGuard(const NameGuard&) = delete;
    NameGuard& operator=(const NameGuard&) = delete;
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool lockShared(int fd) {
    while (flock(fd, LOCK_SH) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// With the guard held: removes the name's files when no process holds it.
void removeIfUnheld(const NamePaths& paths) {
    int probe = open(paths.holders.c_str(), O_RDWR | O_CLOEXEC);
    if (probe >= 0 && flock(probe, LOCK_EX | LOCK_NB) != 0) {
        close(probe);
        return;
    }
    unlink(paths.signal.c_str());
    unlink(paths.holders.c_str());
    unlink(paths.guard.c_str());
    if (probe >= 0) close(probe);
}

// The shared signal: at most one byte in the name's FIFO.
int openSignal(const std::string& path, bool create) {
    if (create && mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) return -1;
    // Read-write, so the FIFO never sees "no writer" and opening never blocks.
    int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISFIFO(info.st_mode))) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool takeSignal(int fd) {
    char byte;
    return read(fd, &byte, 1) == 1;
}

void drainSignal(int fd) {
    while (takeSignal(fd)) {
    }
}

// With the guard held, so that two setters leave one byte, not two.
void postSignal(int fd) {
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) == 0 && pending == 0) {
        ssize_t written = write(fd, "s", 1);
        (void)written;
    }
}

class NamedEventObject : public EventObject {
public:
    NamedEventObject(std::string name, NamePaths paths, int signalFd, int holdersFd)
        : EventObject(false, false),
          name(std::move(name)),
          paths_(std::move(paths)),
          signalFd_(signalFd),
          holdersFd_(holdersFd) {}

    ~NamedEventObject() override {
        if (watcher_.joinable()) {
            ssize_t written = write(stopPipe_[1], "x", 1);
            (void)written;
            watcher_.join();
            close(stopPipe_[0]);
            close(stopPipe_[1]);
        }
        NameGuard guard(paths_.guard);
        // A signal this process took but never used belongs to the others.
        if (signalled && guard.held()) postSignal(signalFd_);
        close(signalFd_);
        close(holdersFd_);
        if (guard.held()) removeIfUnheld(paths_);
    }

    bool isNamed() const override { return true; }

    // Takes a pending signal at once rather than waiting for the watcher, so
    // that a set followed by a wait in one process behaves as on Windows.
    bool isSignalled() override {
        if (!signalled && takeSignal(signalFd_)) signalled = true;
        return signalled;
    }

    bool set() override {
        if (watcher_.joinable()) return EventObject::set();
        NameGuard guard(paths_.guard);
        if (!guard.held()) {
            setLastError(kErrorAccessDenied);
            return false;
        }
        postSignal(signalFd_);
        return true;
    }

    bool reset() override {
        EventObject::reset();
        drainSignal(signalFd_);
        return true;
    }

    bool prepareForWait() override {
        if (watcher_.joinable()) return true;
        if (pipe2(stopPipe_, O_CLOEXEC) != 0) {
            setLastError(kErrorNotEnoughMemory);
            return false;
        }
        try {
            watcher_ = std::thread(&NamedEventObject::watch, this);
        } catch (const std::system_error&) {
            close(stopPipe_[0]);
            close(stopPipe_[1]);
            TRACE("Failed to start the watcher of event %s", name.c_str());
            setLastError(kErrorNotEnoughMemory);
            return false;
        }
        return true;
    }

    const std::string name;

private:
    // The watcher thread: blocks until the FIFO or the stop pipe is readable.
    void watch() {
        pollfd watched[2] = {{signalFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
        for (;;) {
            if (poll(watched, 2, -1) < 0) {
                if (errno == EINTR) continue;
                TRACE("Watching event %s failed", name.c_str());
                return;
            }
            if (watched[1].revents) return;
            // Another process may have read the byte first.
            if (!takeSignal(signalFd_)) continue;
            std::lock_guard<std::mutex> lock(objectLock());
            EventObject::set();
        }
    }

    const NamePaths paths_;
    const int signalFd_;
    const int holdersFd_;
    int stopPipe_[2] = {-1, -1};
    std::thread watcher_;
};

// With namedObjectLock() held; created on first use, freed before an
// unload once empty.
std::map<std::string, NamedEventObject*>*& namedEventSlot() {
    static std::map<std::string, NamedEventObject*>* table = nullptr;
    return table;
}
std::map<std::string, NamedEventObject*>& namedEvents() {
    std::map<std::string, NamedEventObject*>*& table = namedEventSlot();
    if (table == nullptr) table = new std::map<std::string, NamedEventObject*>;
    return *table;
}

Handle existingHandle(const char* name, bool* alreadyExisted) {
    auto found = namedEvents().find(name);
    if (found == namedEvents().end()) return nullptr;
    std::lock_guard<std::mutex> lock(objectLock());
    addHandleLocked(found->second);
    if (alreadyExisted) *alreadyExisted = true;
    setLastError(kErrorAlreadyExists);
    return found->second;
}

Handle publishNamed(const char* name, NamePaths paths, int signalFd, int holdersFd) {
    auto* event = new (std::nothrow) NamedEventObject(name, std::move(paths), signalFd, holdersFd);
    if (!event) {
        close(holdersFd);
        close(signalFd);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    namedEvents()[event->name] = event;
    return publish(event);
}

}  // namespace

std::mutex& namedObjectLock() {
    static std::mutex lock;  // trivially destructible: safe at exit
    return lock;
}

bool releaseNamedEventTable() {
    std::lock_guard<std::mutex> tableLock(namedObjectLock());
    std::map<std::string, NamedEventObject*>*& table = namedEventSlot();
    if (table != nullptr && !table->empty()) return false;
    delete table;
    table = nullptr;
    return true;
}

void forgetNamedLocked(KernelObject* object) {
    namedEvents().erase(static_cast<NamedEventObject*>(object)->name);
}

Handle createNamedEvent(bool manualReset, bool initiallySignalled, const char* name, bool* alreadyExisted) {
    std::lock_guard<std::mutex> tableLock(namedObjectLock());
    if (Handle handle = existingHandle(name, alreadyExisted)) return handle;
    if (manualReset) {
        // One byte cannot release every waiter of every process.
        TRACE("Named manual-reset events are not supported");
        setLastError(kErrorNotSupported);
        return nullptr;
    }
    NamePaths paths;
    if (!namePaths(name, &paths)) return nullptr;
    NameGuard guard(paths.guard);
    int holdersFd = open(paths.holders.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (!guard.held() || holdersFd < 0) {
        setLastError(errorFromErrno(errno));
        if (holdersFd >= 0) close(holdersFd);
        return nullptr;
    }
    bool fresh = flock(holdersFd, LOCK_EX | LOCK_NB) == 0;
    int signalFd = openSignal(paths.signal, true);
    if (signalFd < 0 || !lockShared(holdersFd)) {
        setLastError(errorFromErrno(errno));
        if (signalFd >= 0) close(signalFd);
        close(holdersFd);
        return nullptr;
    }
    if (fresh) {
        // A byte a setter left just now, after the last holder, is stale.
        drainSignal(signalFd);
        if (initiallySignalled) postSignal(signalFd);
    }
    Handle handle = publishNamed(name, std::move(paths), signalFd, holdersFd);
    if (handle) {
        if (alreadyExisted) *alreadyExisted = !fresh;
        setLastError(fresh ? kErrorSuccess : kErrorAlreadyExists);
    }
    return handle;
}

Handle openNamedEvent(const char* name) {
    std::lock_guard<std::mutex> tableLock(namedObjectLock());
    if (Handle handle = existingHandle(name, nullptr)) {
        setLastError(kErrorSuccess);
        return handle;
    }
    NamePaths paths;
    if (!namePaths(name, &paths)) return nullptr;
    NameGuard guard(paths.guard);
    int holdersFd = open(paths.holders.c_str(), O_RDWR | O_CLOEXEC);
    if (holdersFd < 0 || !guard.held() || flock(holdersFd, LOCK_EX | LOCK_NB) == 0) {
        if (holdersFd >= 0) close(holdersFd);
        // Nobody holds the name; what is on disk was left by a dead process.
        if (guard.held()) removeIfUnheld(paths);
        setLastError(kErrorFileNotFound);
        return nullptr;
    }
    int signalFd = openSignal(paths.signal, false);
    if (signalFd < 0 || !lockShared(holdersFd)) {
        setLastError(signalFd < 0 ? kErrorFileNotFound : errorFromErrno(errno));
        if (signalFd >= 0) close(signalFd);
        close(holdersFd);
        return nullptr;
    }
    Handle handle = publishNamed(name, std::move(paths), signalFd, holdersFd);
    if (handle) setLastError(kErrorSuccess);
    return handle;
}

}  // namespace os::posix
