// Every fixed path, key, size and time-out of the product. Only main() passes
// these; every component takes what it works on as a parameter.
#pragma once

#include <cstdint>

namespace norvalith {

inline constexpr const char* kSyslogIdent = "Norvalith";

inline constexpr const char* kSerialDevice = "/dev/ttyS1";
inline constexpr const char* kLockPattern = "/var/lock/LCK..%s";
inline constexpr std::int32_t kLockTimeoutSeconds = 1;

inline constexpr std::uint32_t kLineBitsPerSecond = 19200;
inline constexpr std::int32_t kLineDataBits = 8;
inline constexpr const char* kLineParity = "N";
inline constexpr std::int32_t kLineStopBits = 1;

inline constexpr std::int32_t kRxCapacity = 512;
inline constexpr std::int32_t kFrameTimeoutSeconds = 5;

inline constexpr const char* kSettingsPath = "/opt/Norvalith/etc/settings";
inline constexpr const char* kVersionPath = "/opt/Norvalith/etc/version";
inline constexpr const char* kTableKeyPath = "/opt/Norvalith/bin/Norvalithd";
inline constexpr int kTableProjectId = 1;
inline constexpr const char* kExportDir = "/var/data/Norvalith";

inline constexpr const char* kWiredInterface = "eth0";
inline constexpr const char* kWanInterface = "ppp0";

}  // namespace norvalith
