// UUCP-style lock file for the serial device.
#pragma once

#include <cstdint>

namespace norvalith {

// Signal 0 decides; only ESRCH means gone (EPERM: someone else's live process).
bool pid_alive(std::int32_t pid);

// Lock file path from a pattern such as "/var/lock/LCK..%s" and the device's last
// path component, cut to 64 bytes.
void lock_file_path(const char* pattern, const char* device_path, char (&out)[64]);

// Creates the lock file holding our pid as "%10d\n", replacing a stale one (dead
// pid, no number, or our own pid). False when still held after the time-out.
bool lock_device(const char* pattern, const char* device_path, std::int32_t timeout_seconds);

}  // namespace norvalith
