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
// What arrives within this of a burst's first byte is one burst.
inline constexpr std::int32_t kBurstAllowanceMs = 200;

// The module's handshake: an answer's wait, the quiet second that ends the drain
// of chatter before it and the drain's bound, and the wait for the line to take a
// command (a few bytes, milliseconds at 19200 bit/s: a line that takes none of them
// for this long is stuck).
inline constexpr std::int32_t kAnswerTimeoutSeconds = 5;
inline constexpr std::int32_t kDrainQuietSeconds = 1;
inline constexpr std::int32_t kDrainLimitSeconds = 10;
inline constexpr std::int32_t kWriteTimeoutSeconds = 2;

// A running module asked whether it is alive has this long to prompt.
inline constexpr std::int32_t kQuestionTimeoutSeconds = 1;
// A question without a prompt is asked this many times in all, at quiet passes
// this far apart, before the module counts as not answering: a prompt missed
// (late, or lost in noise) leaves it in configuration mode, deaf to the air.
inline constexpr unsigned kQuestionTries = 4;
inline constexpr std::int32_t kQuestionRetrySeconds = 3;

// The service manager's RuntimeDirectory=: absent without one, and then no metrics.
inline constexpr const char* kMetricsDir = "/run/Norvalith";
// Its variable naming the socket for readiness, watchdog and status.
inline constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";

inline constexpr const char* kSettingsPath = "/opt/Norvalith/etc/settings";
// Its keys (case is ignored); a meter slot's is the prefix and the slot's number.
inline constexpr const char* kMeterKeyPrefix = "MOD_WMBUS_ADDR";
inline constexpr const char* kSilenceAlarmKey = "MOD_WMBUS_SILENCE_ALARM";
inline constexpr const char* kEnabledKey = "MOD_WMBUS_ENABLED";
inline constexpr const char* kFtpServerKey = "MOD_WMBUS_FTP_SERV_IP";
inline constexpr const char* kFolderKey = "MOD_WMBUS_FOLDER";
inline constexpr const char* kUsernameKey = "MOD_WMBUS_USERNAME";
inline constexpr const char* kPasswordKey = "MOD_WMBUS_PASSWORD";
inline constexpr const char* kPeriodKey = "MOD_WMBUS_PERIOD";
inline constexpr const char* kVersionPath = "/opt/Norvalith/etc/version";
inline constexpr const char* kTableKeyPath = "/opt/Norvalith/bin/Norvalithd";
inline constexpr int kTableProjectId = 1;
inline constexpr const char* kExportDir = "/var/data/Norvalith";

inline constexpr const char* kWiredInterface = "eth0";
inline constexpr const char* kWanInterface = "ppp0";

}  // namespace norvalith
