#include "serial/lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/clock.hpp"

namespace norvalith {

bool pid_alive(std::int32_t pid) {
    if (pid <= 0) {
        return false;
    }
    if (kill(pid, 0) == 0) {
        return true;
    }
    return errno != ESRCH;
}

void lock_file_path(const char* pattern, const char* device_path, char (&out)[64]) {
    const char* slash = std::strrchr(device_path, '/');
    const char* name = slash != nullptr ? slash + 1 : device_path;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(out, sizeof out, pattern, name);
#pragma GCC diagnostic pop
}

namespace {

LockHook g_hook = nullptr;

void step(LockStep at) {
    if (g_hook != nullptr) {
        g_hook(at);
    }
}

// A name of our own beside the lock: LTMP.<pid> in the lock's directory.
bool private_path(const char* lock_path, char (&out)[96]) {
    const char* slash = std::strrchr(lock_path, '/');
    const int dir_len = slash != nullptr ? static_cast<int>(slash - lock_path + 1) : 0;
    const int len = std::snprintf(out, sizeof out, "%.*s%s%d", dir_len, lock_path, kLockTemporaryPrefix,
                                  static_cast<int>(getpid()));
    return len > 0 && static_cast<std::size_t>(len) < sizeof out;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

enum class Found { none, held, stale };

// What stands at the lock path. Only a regular file is opened, and never so that
// it follows a link, blocks on a FIFO or becomes our terminal: the directory is
// world-writable, and anything else planted there holds the lock. `judged` is the
// file that was read.
Found inspect(const char* path, struct stat& judged) {
    struct stat info {};
    if (lstat(path, &info) != 0) {
        return errno == ENOENT ? Found::none : Found::held;
    }
    if (!S_ISREG(info.st_mode)) {
        return Found::held;
    }
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? Found::none : Found::held;
    }
    char text[32] = {};
    ssize_t got = -1;
    if (fstat(fd, &judged) == 0 && S_ISREG(judged.st_mode)) {
        got = read(fd, text, sizeof text - 1);
    }
    close(fd);
    if (got < 0) {
        return Found::held;
    }
    text[got] = '\0';
    // No number, or one no process can have, leaves 0: stale.
    const long value = std::strtol(text, nullptr, 10);
    const std::int32_t pid = value > 0 && value <= INT32_MAX ? static_cast<std::int32_t>(value) : 0;
    // Our own pid cannot be a lock we hold yet: it is left from before a reboot.
    return !pid_alive(pid) || pid == static_cast<std::int32_t>(getpid()) ? Found::stale : Found::held;
}

// Removes the stale lock that was judged, and nothing else: another process that
// judged it too may have replaced it with its fresh lock meanwhile. The file is
// moved aside first, so what is checked is exactly what was taken away: the same
// file, and still stale (a fresh lock may reuse the inode number of the stale one
// it replaced, but it names a live process). A lock taken by mistake goes back
// under its name; only a third process taking the name in that instant could
// still slip in, and the flock on the line stops that one.
void remove_stale(const char* path, const char* aside, const struct stat& judged) {
    step(LockStep::stale_removal);
    if (rename(path, aside) != 0) {
        return;  // gone already, or not ours to move
    }
    struct stat moved {};
    if (inspect(aside, moved) != Found::stale || !same_file(moved, judged)) {
        if (link(aside, path) != 0) {
            // The name was taken meanwhile: that lock stands.
        }
    }
    unlink(aside);
}

bool write_pid(int fd) {
    char content[32];
    const int len = std::snprintf(content, sizeof content, kLockContentFormat, static_cast<int>(getpid()));
    const bool written = write(fd, content, static_cast<std::size_t>(len)) == len;
    return close(fd) == 0 && written;
}

// Where the file system refuses hard links the lock is created in place, as
// locks always were: for that instant it holds no pid yet.
bool create_in_place(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    if (write_pid(fd)) {
        return true;
    }
    unlink(path);
    return false;
}

// The lock appears under its name complete or not at all: the pid goes into a
// private file first, which is then linked to the lock name (link() never
// replaces an existing name).
bool try_create(const char* path, const char* temporary) {
    unlink(temporary);  // left by an earlier process that had our pid
    const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    step(LockStep::pid_write);
    if (!write_pid(fd)) {
        unlink(temporary);
        return false;
    }
    const bool linked = link(temporary, path) == 0;
    const int cause = errno;
    unlink(temporary);
    if (linked || cause == EEXIST || cause == ENOENT || cause == EACCES) {
        return linked;
    }
    return create_in_place(path);  // EPERM, EOPNOTSUPP, EMLINK, ...
}

}  // namespace

void set_lock_hook(LockHook hook) { g_hook = hook; }

void unlock_device(const char* pattern, const char* device_path) {
    char path[64];
    lock_file_path(pattern, device_path, path);
    struct stat judged {};
    char text[32] = {};
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    const bool regular = fstat(fd, &judged) == 0 && S_ISREG(judged.st_mode);
    const ssize_t got = regular ? read(fd, text, sizeof text - 1) : -1;
    close(fd);
    if (got > 0 && std::strtol(text, nullptr, 10) == static_cast<long>(getpid())) {
        unlink(path);
    }
}

bool lock_device(const char* pattern, const char* device_path, std::int32_t timeout_seconds) {
    char path[64];
    lock_file_path(pattern, device_path, path);
    char temporary[96];
    if (!private_path(path, temporary)) {
        return false;
    }
    const std::int32_t start = monotonic_seconds();
    // Without a clock the attempts are counted: ten per second, plus one second
    // as the whole-second clock would give.
    const std::int64_t max_attempts = (static_cast<std::int64_t>(timeout_seconds) + 1) * 10;
    for (std::int64_t attempt = 1;; ++attempt) {
        struct stat judged {};
        if (inspect(path, judged) == Found::stale) {
            remove_stale(path, temporary, judged);
        }
        if (try_create(path, temporary)) {
            return true;
        }
        const timespec pause{0, 100000000};
        nanosleep(&pause, nullptr);
        const std::int32_t now = monotonic_seconds();
        if (start < 0 || now < 0) {
            if (attempt >= max_attempts) {
                return false;
            }
        } else if (static_cast<std::int64_t>(start) + timeout_seconds < now) {
            return false;
        }
    }
}

}  // namespace norvalith
