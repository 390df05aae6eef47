#include "serial/lock.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// Removes the lock file when the process it names is gone.
void remove_if_stale(const char* path) {
    struct stat info {};
    if (stat(path, &info) != 0) {
        return;
    }
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) {
        return;
    }
    char text[32] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    // No number, or one no process can have, leaves 0: stale.
    const long value = std::strtol(text, nullptr, 10);
    const std::int32_t pid = value > 0 && value <= INT32_MAX ? static_cast<std::int32_t>(value) : 0;
    // Our own pid cannot be a lock we hold yet: it is left from before a reboot.
    if (!pid_alive(pid) || pid == static_cast<std::int32_t>(getpid())) {
        unlink(path);
    }
}

bool try_create(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    char content[32];
    const int len = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(getpid()));
    const ssize_t written = write(fd, content, static_cast<std::size_t>(len));
    close(fd);
    return written >= 0;
}

}  // namespace

bool lock_device(const char* pattern, const char* device_path, std::int32_t timeout_seconds) {
    char path[64];
    lock_file_path(pattern, device_path, path);
    const std::int32_t start = monotonic_seconds();
    // Without a clock the attempts are counted: ten per second, plus one second
    // as the whole-second clock would give.
    const std::int64_t max_attempts = (static_cast<std::int64_t>(timeout_seconds) + 1) * 10;
    for (std::int64_t attempt = 1;; ++attempt) {
        remove_if_stale(path);
        if (try_create(path)) {
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
