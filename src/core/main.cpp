// Norvalithd: wireless M-Bus concentrator. Every path and value it uses is fixed
// in constants.hpp; of the environment it reads only the service manager's
// NOTIFY_SOCKET. Its only options tell what it is, or check a settings file.
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
#include "core/settings.hpp"
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
    "usage: Norvalithd [--version | --help | --check-settings [FILE]]\n"
    "Wireless M-Bus concentrator for the RC1180 module on /dev/ttyS1; started\n"
    "without arguments, normally by its service unit. See Norvalithd(8).\n";

// The check's own copy: it touches nothing of a running daemon's.
Settings g_checked;

void print_problem(void* /*context*/, unsigned line, const char* text) {
    if (line == 0) {
        std::printf("%s\n", text);
    } else {
        std::printf("settings line %u: %s\n", line, text);
    }
}

// The settings as the daemon would read them: one line per problem, then the
// meters configured; exit status 0 only without a problem.
int check_settings_file(const char* path) {
    unsigned problems = 0;
    const bool opened = read_settings(g_checked, path, print_problem, nullptr, &problems);
    DailyExport none{};
    std::printf("%u meters configured\n", count_exports(none, g_checked).configured);
    return opened && problems == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

// Answered before anything is opened: started by hand as root, the daemon would
// otherwise take the port's lock and create the table as root.
int answer_command_line(int argc, char** argv) {
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "--check-settings") == 0) {
        return check_settings_file(argc == 3 ? argv[2] : kSettingsPath);
    }
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
    // From the start: a SIGHUP during the handshake must not end the daemon.
    const int reload_fd = open_reload_signal();

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
    receiver.settings_path = kSettingsPath;
    receiver.reload_fd = reload_fd;
    read_settings(receiver.settings, kSettingsPath, log_settings_problem, nullptr);
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
