// UUCP-style lock file for the serial device.
#pragma once

#include <cstdint>

namespace norvalith {

// Signal 0 decides; only ESRCH means gone (EPERM: someone else's live process).
bool pid_alive(std::int32_t pid);

// What the lock file holds: our process id.
inline constexpr char kLockContentFormat[] = "%10d\n";
// The name it is written under before it is linked to the lock's: in the lock's directory.
inline constexpr char kLockTemporaryPrefix[] = "LTMP.";

// Lock file path from a pattern such as "/var/lock/LCK..%s" and the device's last
// path component, cut to 64 bytes.
void lock_file_path(const char* pattern, const char* device_path, char (&out)[64]);

// Test seam: called between the steps of taking the lock, so tests can widen the
// windows between them. Unset (nullptr) in the daemon.
enum class LockStep {
    pid_write,      // the file that will hold our pid exists, the pid is not written yet
    stale_removal,  // a lock was read and judged stale, it is not removed yet
};
using LockHook = void (*)(LockStep step);
void set_lock_hook(LockHook hook);

// Creates the lock file holding our pid as "%10d\n" (written in full before the
// file appears under its name), replacing a stale one (dead pid, no number, or our
// own pid) only if it is still the file that was judged. Anything at the path but
// a regular file holds the lock. Where link() is refused, the lock is created in
// place with the same content. False when still held after the time-out.
bool lock_device(const char* pattern, const char* device_path, std::int32_t timeout_seconds);

// Removes the lock file if it holds our pid: for an exit that gives the line up.
void unlock_device(const char* pattern, const char* device_path);

}  // namespace norvalith
