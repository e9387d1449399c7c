// Named auto-reset events shared between processes.
//
// The shared signal is a POSIX named semaphore holding at most one count.
// A process that waits on the event runs one watcher thread that takes the
// count and sets the event's in-process state, so the wait functions treat
// named and unnamed events alike. The watcher starts only at the first wait:
// a process that merely opens and sets the event (the settings dialog)
// never takes its own signal.
//
// Whether a name "already exists" is decided by who holds it, not by what
// files are lying around: every process holding the event keeps a shared
// flock on a per-name holders file. A creator that gets an exclusive lock on
// it knows nobody else holds the name, so a name left behind by a crashed
// process counts as free. Creation, opening and leaving run under a second,
// exclusive per-name guard lock so that these checks cannot interleave.
#include "platform/posix/named_event.h"

#include <fcntl.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <new>
#include <string>

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
// that any event name is a valid file and semaphore name; overlong names
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
    std::string guard, holders, semaphore;
};

bool namePaths(const char* name, NamePaths* paths) {
    std::string directory;
    if (!eventDirectory(&directory)) return false;
    std::string key = sanitizedName(name);
    paths->guard = directory + "/" + key + ".guard";
    paths->holders = directory + "/" + key + ".holders";
    paths->semaphore = "/ksasio-" + std::to_string(getuid()) + "-" + key;
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
    sem_unlink(paths.semaphore.c_str());
    unlink(paths.holders.c_str());
    unlink(paths.guard.c_str());
    if (probe >= 0) close(probe);
}

void drain(sem_t* semaphore) {
    while (sem_trywait(semaphore) == 0) {
    }
}

class NamedEventObject;
std::map<std::string, NamedEventObject*>& namedEvents() {
    static auto* table = new std::map<std::string, NamedEventObject*>;
    return *table;
}

void* watch(void* argument);

class NamedEventObject : public EventObject {
public:
    NamedEventObject(std::string name, NamePaths paths, sem_t* semaphore, int holdersFd)
        : EventObject(false, false),
          name(std::move(name)),
          paths_(std::move(paths)),
          semaphore_(semaphore),
          holdersFd_(holdersFd) {}

    ~NamedEventObject() override {
        if (watching_) {
            pthread_cancel(watcher_);
            pthread_join(watcher_, nullptr);
        }
        NameGuard guard(paths_.guard);
        // A signal this process took but never used belongs to the others.
        if (signalled) postShared();
        close(holdersFd_);
        if (guard.held()) removeIfUnheld(paths_);
        sem_close(semaphore_);
    }

    bool isNamed() const override { return true; }

    // Takes a pending count at once rather than waiting for the watcher, so
    // that a set followed by a wait in one process behaves as on Windows.
    bool isSignalled() override {
        if (!signalled && sem_trywait(semaphore_) == 0) signalled = true;
        return signalled;
    }

    bool set() override {
        if (watching_) return EventObject::set();
        NameGuard guard(paths_.guard);
        postShared();
        return true;
    }

    bool reset() override {
        EventObject::reset();
        NameGuard guard(paths_.guard);
        drain(semaphore_);
        return true;
    }

    bool prepareForWait() override {
        if (watching_) return true;
        if (pthread_create(&watcher_, nullptr, watch, this) != 0) {
            TRACE("Failed to start the watcher of event %s", name.c_str());
            setLastError(kErrorNotEnoughMemory);
            return false;
        }
        watching_ = true;
        return true;
    }

    // Runs on the watcher thread.
    void watchLoop() {
        int state;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
        for (;;) {
            // Cancellation is acted upon only inside sem_wait, before it
            // has taken a count.
            pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &state);
            int result = sem_wait(semaphore_);
            pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state);
            if (result != 0) {
                if (errno == EINTR) continue;
                TRACE("Watching event %s failed", name.c_str());
                return;
            }
            std::lock_guard<std::mutex> lock(objectLock());
            EventObject::set();
        }
    }

    const std::string name;

private:
    // Leaves at most one count: an event is either set or not.
    void postShared() {
        int value = 0;
        if (sem_getvalue(semaphore_, &value) == 0 && value <= 0) sem_post(semaphore_);
    }

    const NamePaths paths_;
    sem_t* const semaphore_;
    const int holdersFd_;
    pthread_t watcher_{};
    bool watching_ = false;
};

void* watch(void* argument) {
    static_cast<NamedEventObject*>(argument)->watchLoop();
    return nullptr;
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

Handle publishNamed(const char* name, NamePaths paths, sem_t* semaphore, int holdersFd) {
    auto* event = new (std::nothrow) NamedEventObject(name, std::move(paths), semaphore, holdersFd);
    if (!event) {
        close(holdersFd);
        sem_close(semaphore);
        setLastError(kErrorNotEnoughMemory);
        return nullptr;
    }
    namedEvents()[event->name] = event;
    return publish(event);
}

}  // namespace

std::mutex& namedObjectLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void forgetNamedLocked(KernelObject* object) {
    namedEvents().erase(static_cast<NamedEventObject*>(object)->name);
}

Handle createNamedEvent(bool manualReset, bool initiallySignalled, const char* name, bool* alreadyExisted) {
    std::lock_guard<std::mutex> tableLock(namedObjectLock());
    if (Handle handle = existingHandle(name, alreadyExisted)) return handle;
    if (manualReset) {
        // One semaphore count cannot release every waiter of every process.
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
    sem_t* semaphore = sem_open(paths.semaphore.c_str(), O_CREAT, 0600, 0);
    if (semaphore == SEM_FAILED || !lockShared(holdersFd)) {
        setLastError(errorFromErrno(errno));
        if (semaphore != SEM_FAILED) sem_close(semaphore);
        close(holdersFd);
        return nullptr;
    }
    if (fresh) {
        // A count left by a process that crashed is no signal of ours.
        drain(semaphore);
        if (initiallySignalled) sem_post(semaphore);
    }
    Handle handle = publishNamed(name, std::move(paths), semaphore, holdersFd);
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
    sem_t* semaphore = sem_open(paths.semaphore.c_str(), 0);
    if (semaphore == SEM_FAILED || !lockShared(holdersFd)) {
        setLastError(semaphore == SEM_FAILED ? kErrorFileNotFound : errorFromErrno(errno));
        if (semaphore != SEM_FAILED) sem_close(semaphore);
        close(holdersFd);
        return nullptr;
    }
    Handle handle = publishNamed(name, std::move(paths), semaphore, holdersFd);
    if (handle) setLastError(kErrorSuccess);
    return handle;
}

}  // namespace os::posix
