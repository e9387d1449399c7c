// Where the settings live and how they are read and written.
//
// The per-user store is $XDG_CONFIG_HOME/ksasio/registry/user.reg (or
// ~/.config/...). Every operation takes an exclusive flock on user.lock in
// that folder, reads the whole file, and a change writes the whole file
// anew: user.reg.tmp is written, flushed, renamed over user.reg and the
// folder flushed, so the file is always either the old or the new content,
// whenever a process dies. The lock makes read-modify-write atomic between
// processes. A file that does not parse is renamed to
// user.reg.damaged-<time>-<pid> and the store starts empty.
//
// The machine store (read only) is the file named by KSASIO_MACHINE_REGISTRY,
// else /etc/xdg/ksasio/registry/machine.reg, in the same text form.
#include "platform/posix/settings_store.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "platform/errors.h"
#include "platform/trace.h"

namespace os::posix {
namespace {

uint32_t errorFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR: return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS: return kErrorAccessDenied;
        case ENOMEM: return kErrorNotEnoughMemory;
        default: return kErrorGenFailure;
    }
}

std::string userStoreDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/') return std::string(config) + "/ksasio/registry";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user ? user->pw_dir : "/tmp";
    }
    return std::string(home) + "/.config/ksasio/registry";
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// Reads a whole file; ENOENT leaves `text` empty and counts as success.
bool readFile(const std::string& path, std::string* text, int* error) {
    text->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return errno == ENOENT;
    }
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            close(fd);
            return false;
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

StoreSession::StoreSession(RegRoot root) : status_(kErrorSuccess) {
    int error = 0;
    std::string text;
    if (root == RegRoot::LocalMachine) {
        const char* machine = std::getenv("KSASIO_MACHINE_REGISTRY");
        file_ = machine && *machine ? machine : "/etc/xdg/ksasio/registry/machine.reg";
        if (!readFile(file_, &text, &error)) {
            status_ = errorFromErrno(error);
        } else if (!text.empty() && !parseSettings(text, &tree_)) {
            TRACE("Machine settings %s are damaged; reading them as empty", file_.c_str());
            tree_ = SettingsKey();
        }
        return;
    }
    writable_ = true;
    directory_ = userStoreDirectory();
    file_ = directory_ + "/user.reg";
    if (!makeDirectories(directory_)) {
        status_ = errorFromErrno(errno);
        return;
    }
    lockFd_ = open((directory_ + "/user.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0) {
        status_ = errorFromErrno(errno);
        return;
    }
    while (flock(lockFd_, LOCK_EX) != 0) {
        if (errno != EINTR) {
            status_ = errorFromErrno(errno);
            return;
        }
    }
    if (!readFile(file_, &text, &error)) {
        status_ = errorFromErrno(error);
        return;
    }
    if (!text.empty() && !parseSettings(text, &tree_)) {
        std::string aside = file_ + ".damaged-" + std::to_string(std::time(nullptr)) + "-" + std::to_string(getpid());
        TRACE("Settings file %s is damaged; moved to %s, starting empty", file_.c_str(), aside.c_str());
        if (rename(file_.c_str(), aside.c_str()) != 0) {
            status_ = kErrorRegistryCorrupt;
            return;
        }
        tree_ = SettingsKey();
    }
}

StoreSession::~StoreSession() {
    if (lockFd_ >= 0) close(lockFd_);
}

uint32_t StoreSession::save() {
    if (!writable_ || status_ != kErrorSuccess) return kErrorAccessDenied;
    std::string temporary = file_ + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return errorFromErrno(errno);
    bool written = writeAll(fd, serializeSettings(tree_)) && fsync(fd) == 0;
    int error = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), file_.c_str()) != 0) {
        if (written) error = errno;
        unlink(temporary.c_str());
        TRACE("Failed to save settings to %s", file_.c_str());
        return errorFromErrno(error);
    }
    // The rename itself is durable only once the folder is flushed.
    int folder = open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return kErrorSuccess;
}

}  // namespace os::posix
