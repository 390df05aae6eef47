// Norvalithd: wireless M-Bus concentrator. Every path and value it uses is fixed
// in constants.hpp; of the environment it reads only the service manager's
// NOTIFY_SOCKET. Its only options tell what it is.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

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

namespace {
constexpr const char* kUsage =
    "usage: Norvalithd [--version | --help]\n"
    "Wireless M-Bus concentrator for the RC1180 module on /dev/ttyS1; started\n"
    "without arguments, normally by its service unit. See Norvalithd(8).\n";

// Answered before anything is opened: started by hand as root, the daemon would
// otherwise take the port's lock and create the table as root.
int answer_command_line(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::fputs("Norvalithd " NORVALITH_VERSION "\n", stdout);
        return EXIT_SUCCESS;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return EXIT_SUCCESS;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        return answer_command_line(argc, argv);
    }
    const std::time_t started = read_wall_clock().seconds;
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
    receiver.watch.start_time = started;
    receiver.watch.version = NORVALITH_VERSION;
    receiver.watch.metrics_dir = kMetricsDir;
    open_notifier(receiver.watch.notifier, std::getenv(kNotifySocketVariable));
    announce_ready(receiver);

    const Clocks clocks{read_wall_clock, monotonic_seconds};
    for (;;) {
        receive_pass(receiver, line, clocks);
    }
}
