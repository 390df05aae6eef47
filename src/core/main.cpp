// Norvalithd: wireless M-Bus concentrator. No options, no environment: every
// path and value it uses is fixed in constants.hpp.
#include <unistd.h>

#include <cstdlib>

#include "base/clock.hpp"
#include "base/log.hpp"
#include "core/constants.hpp"
#include "core/identity.hpp"
#include "core/loop.hpp"
#include "serial/line.hpp"
#include "serial/lock.hpp"
#include "serial/radio.hpp"
#include "serial/reader.hpp"

using namespace norvalith;

namespace {
// Lives for the whole process, like everything the loop owns.
Receiver g_receiver;
}  // namespace

int main() {
    setsid();
    openlog(kSyslogIdent, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log_msg(LOG_NOTICE, "started");

    if (!lock_device(kLockPattern, kSerialDevice, kLockTimeoutSeconds)) {
        log_msg(LOG_ERR, "device ttyS1 is locked");
        return EXIT_FAILURE;
    }
    SerialLine line;
    line.fd = open_serial(kSerialDevice, kLineBitsPerSecond, kLineDataBits, kLineParity, kLineStopBits);
    if (line.fd == kLineBusy) {
        // Our lock file would name a dead process while the line's holder runs.
        unlock_device(kLockPattern, kSerialDevice);
        log_msg(LOG_ERR, "device ttyS1 is locked");
        return EXIT_FAILURE;
    }
    if (line.fd < 0) {
        return EXIT_FAILURE;
    }
    constexpr RadioTimeouts timeouts{kAnswerTimeoutSeconds, kDrainQuietSeconds, kDrainLimitSeconds,
                                     kWriteTimeoutSeconds, kBurstAllowanceMs};
    if (!init_radio(line, timeouts)) {
        log_msg(LOG_ERR, "rc1180 initialize error");
        return EXIT_FAILURE;
    }

    Receiver& receiver = g_receiver;
    receiver.table = attach_meter_table(kTableKeyPath, kTableProjectId);
    if (receiver.table == nullptr) {
        log_msg(LOG_ERR, "meters initialize error");
        return EXIT_FAILURE;
    }
    clear_meter_table(receiver.table);
    receiver.export_dir = kExportDir;
    // Only now, holding the line: no other daemon is writing there.
    sweep_export_temporaries(kExportDir);
    load_settings(receiver.settings, kSettingsPath);
    gather_identity(receiver.identity, kWiredInterface, kWanInterface, kVersionPath);
    reset_receiver(receiver, monotonic_seconds());

    const Clocks clocks{read_wall_clock, monotonic_seconds};
    for (;;) {
        receive_pass(receiver, line, clocks);
    }
}
