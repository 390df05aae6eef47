#include "options.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace norvalith::sim {

namespace {

bool parse_double(const std::string& text, double& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value)) {
        return false;
    }
    out = value;
    return true;
}

bool parse_unsigned(const std::string& text, std::uint64_t& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    out = value;
    return true;
}

// "LO-HI" or a single value; either sign may be left out, strengths are always negative dBm.
bool parse_rssi_range(const std::string& text, double& low, double& high) {
    const char* p = text.c_str();
    char* end = nullptr;
    const double a = std::strtod(p, &end);
    if (end == p) {
        return false;
    }
    double b = a;
    if (*end == '-') {
        p = end + 1;
        b = std::strtod(p, &end);
        if (end == p) {
            return false;
        }
    }
    if (*end != '\0' || !std::isfinite(a) || !std::isfinite(b)) {
        return false;
    }
    const double x = -std::fabs(a);
    const double y = -std::fabs(b);
    low = std::fmin(x, y);
    high = std::fmax(x, y);
    return low >= -127.5;
}

bool set_fault(std::string_view names, Faults& faults) {
    while (!names.empty()) {
        const std::size_t comma = names.find(',');
        const std::string_view name = names.substr(0, comma);
        names = comma == std::string_view::npos ? std::string_view{} : names.substr(comma + 1);
        if (name == "silent") {
            faults.silent = true;
        } else if (name == "wrong-prompt") {
            faults.wrong_prompt = true;
        } else if (name == "short-memory") {
            faults.short_memory = true;
        } else if (name == "chatter") {
            faults.chatter = true;
        } else if (name == "no-write-prompt") {
            faults.no_write_prompt = true;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* usage_text() {
    return "usage: rc1180-sim [options]\n"
           "Emulates an RC1180 wireless M-Bus module on a pseudo-terminal. The first line on stdout\n"
           "is the slave's path; the daemon opens it as its serial line.\n"
           "\n"
           "  --link PATH            symlink PATH to the slave (replaces an existing link; removed on exit)\n"
           "  --memory FILE          configuration memory (256 bytes): loaded if FILE exists, saved\n"
           "                         after every completed write; factory defaults otherwise\n"
           "  --no-handshake         send telegrams at once, not only after the first \"X\"\n"
           "  --replay FILE          telegrams, one per line as hex, optionally \"DELAY_MS HEX\";\n"
           "                         '#' and blank lines skipped; a table with a \"hex\" header column works\n"
           "  --gap-ms MS            gap before each replayed telegram without its own delay and after\n"
           "                         each burst with --full-rate (default 500; 0 with --full-rate)\n"
           "  --min-gap-ms MS        no telegram or garbage burst from --replay/--generate starts less\n"
           "                         than MS after the previous burst of any kind has left the line\n"
           "                         (with --chunk 0: after it was written, plus its transmission time\n"
           "                         with --full-rate); a burst due earlier waits. Default 0,\n"
           "                         but 250 when --replay and --generate both run, so that the two\n"
           "                         sources never fall into one 200 ms frame of the daemon's reader\n"
           "  --chunk N              bytes go out at 19200 bit/s (10 bits a byte), N at a time as a UART's\n"
           "                         receive FIFO hands them over (default 16, one chunk every 8.3 ms);\n"
           "                         a burst due while another is on the line follows it without a gap.\n"
           "                         1: byte by byte; 0: each burst in one write at once, the line\n"
           "                         taking no time\n"
           "  --repeat               replay the file over and over\n"
           "  --generate N           N meters with random ids, manufacturers and device types\n"
           "  --seed S               random seed (default: from the clock, printed on stderr)\n"
           "  --rate R               generated telegrams per second, all meters together, with\n"
           "                         exponential gaps (default 1)\n"
           "  --full-rate            telegrams back to back at 19200 bit/s pacing: each waits for the\n"
           "                         previous burst's transmission time plus --gap-ms (or its delay)\n"
           "  --rssi-range LO-HI     signal strength in dBm, e.g. -95--40 (default); the RSSI byte\n"
           "                         (dBm = -RSSI/2) follows each telegram when memory address 5 is 1\n"
           "  --garbage P            probability of a burst of 1..40 random bytes between telegrams\n"
           "  --rssi-appended        in RSSI mode the length byte leaves the RSSI byte out: a\n"
           "                         telegram is L + 2 bytes on the line (default: L counts it, L + 1)\n"
           "  --pause-share P        share of telegrams that pause inside, as a loaded UART may\n"
           "                         (needs --chunk above 0); logged as a telegram and its \"rest\"\n"
           "  --pause-ms LO-HI       length of such a pause, uniform (default 60-300)\n"
           "  --count N              stop sending after N telegrams from --replay/--generate\n"
           "  --duration S           exit S seconds after start\n"
           "  --exit-when-done       exit once the telegrams are all sent (with no --replay/--generate\n"
           "                         and no --control: once the daemon has left configuration mode)\n"
           "  --sent FILE            append \"MONOTONIC_MS KIND HEX\" per burst sent, timed by its first\n"
           "                         byte; KIND is answer, telegram, garbage, raw or chatter\n"
           "  --control PATH         create a FIFO taking lines: \"tx HEX [DBM]\" (a telegram, framed\n"
           "                         as above, sent at once), \"raw HEX\" (bytes as they are, blanks\n"
           "                         allowed), \"hangup\" (close the pty master), \"mute\" (take no\n"
           "                         command from the daemon, answer nothing; telegrams still go out),\n"
           "                         \"unmute\", \"quit\" (once the line has sent what was asked before it)\n"
           "  --trace FILE           append \"MONOTONIC_MS HEX\" per read of bytes from the daemon\n"
           "  --stats FILE           key=value counters (memory_writes, write_sessions, left_config,\n"
           "                         telegrams_sent, garbage_sent, bytes_sent, bytes_received, seed),\n"
           "                         rewritten after each memory write, each second while they change, on exit\n"
           "  --fault KIND           silent | wrong-prompt | short-memory | chatter | no-write-prompt;\n"
           "                         repeatable or comma-separated\n"
           "  --chatter-seconds S    length of the chatter fault (default 3)\n"
           "  --help                 this text\n"
           "\n"
           "Exit status: 0 on quit, signal or when done; 1 on a runtime failure; 2 on a bad command line.\n";
}

bool parse_options(std::span<const char* const> args, Options& options, std::string& error) {
    bool gap_given = false;
    bool min_gap_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        if (const std::size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        const auto flag = [&](bool& target) {
            if (has_value) {
                error = name + " takes no value";
                return false;
            }
            target = true;
            return true;
        };
        if (name == "--help" || name == "-h") {
            if (!flag(options.help)) {
                return false;
            }
            continue;
        }
        if (name == "--no-handshake" || name == "--repeat" || name == "--full-rate" || name == "--exit-when-done" ||
            name == "--rssi-appended") {
            bool& target = name == "--no-handshake"    ? options.no_handshake
                           : name == "--rssi-appended" ? options.rssi_appended
                           : name == "--repeat"     ? options.repeat
                           : name == "--full-rate"  ? options.full_rate
                                                    : options.exit_when_done;
            if (!flag(target)) {
                return false;
            }
            continue;
        }
        static constexpr std::string_view kWithValue[] = {
            "--link",     "--memory",          "--replay", "--sent",       "--control",    "--trace",   "--stats",
            "--gap-ms",   "--generate",        "--seed",   "--rate",       "--rssi-range", "--garbage", "--count",
            "--duration", "--chatter-seconds", "--fault",  "--min-gap-ms", "--chunk",
            "--pause-share", "--pause-ms",
        };
        if (std::find(std::begin(kWithValue), std::end(kWithValue), name) == std::end(kWithValue)) {
            error = (name.rfind("--", 0) == 0 ? "unknown option " : "unexpected argument ") + name;
            return false;
        }
        if (!has_value) {
            if (i + 1 >= args.size()) {
                error = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        const auto bad = [&] {
            error = std::string("bad value for ").append(name).append(": ").append(value);
            return false;
        };
        std::uint64_t number = 0;
        double real = 0.0;
        if (name == "--link") {
            options.link = value;
        } else if (name == "--memory") {
            options.memory_file = value;
        } else if (name == "--replay") {
            options.replay_file = value;
        } else if (name == "--sent") {
            options.sent_file = value;
        } else if (name == "--control") {
            options.control_path = value;
        } else if (name == "--trace") {
            options.trace_file = value;
        } else if (name == "--stats") {
            options.stats_file = value;
        } else if (name == "--gap-ms") {
            if (!parse_unsigned(value, number) || number > 86400000) {
                return bad();
            }
            options.gap_ms = static_cast<std::int64_t>(number);
            gap_given = true;
        } else if (name == "--min-gap-ms") {
            if (!parse_unsigned(value, number) || number > 86400000) {
                return bad();
            }
            options.min_gap_ms = static_cast<std::int64_t>(number);
            min_gap_given = true;
        } else if (name == "--chunk") {
            if (!parse_unsigned(value, number) || number > kMaxChunkBytes) {
                return bad();
            }
            options.chunk = number;
        } else if (name == "--generate") {
            if (!parse_unsigned(value, number) || number < 1 || number > 1000000) {
                return bad();
            }
            options.generate = number;
        } else if (name == "--seed") {
            if (!parse_unsigned(value, number)) {
                return bad();
            }
            options.seed = number;
            options.seed_given = true;
        } else if (name == "--rate") {
            if (!parse_double(value, real) || real <= 0.0 || real > 1e6) {
                return bad();
            }
            options.rate = real;
        } else if (name == "--rssi-range") {
            if (!parse_rssi_range(value, options.rssi_low_dbm, options.rssi_high_dbm)) {
                return bad();
            }
        } else if (name == "--pause-share") {
            if (!parse_double(value, real) || real < 0.0 || real > 1.0) {
                return bad();
            }
            options.pause_share = real;
        } else if (name == "--pause-ms") {
            const std::size_t dash = value.find('-');
            std::uint64_t low = 0;
            std::uint64_t high = 0;
            if (dash == std::string::npos || !parse_unsigned(value.substr(0, dash), low) ||
                !parse_unsigned(value.substr(dash + 1), high) || low > high || high > 60000) {
                return bad();
            }
            options.pause_low_ms = static_cast<std::int64_t>(low);
            options.pause_high_ms = static_cast<std::int64_t>(high);
        } else if (name == "--garbage") {
            if (!parse_double(value, real) || real < 0.0 || real > 1.0) {
                return bad();
            }
            options.garbage = real;
        } else if (name == "--count") {
            if (!parse_unsigned(value, number) || number < 1) {
                return bad();
            }
            options.count = number;
        } else if (name == "--duration") {
            if (!parse_double(value, real) || real <= 0.0) {
                return bad();
            }
            options.duration_s = real;
        } else if (name == "--chatter-seconds") {
            if (!parse_double(value, real) || real < 0.0) {
                return bad();
            }
            options.chatter_seconds = real;
        } else {  // --fault
            if (!set_fault(value, options.faults)) {
                return bad();
            }
        }
    }
    if (options.full_rate && !gap_given) {
        options.gap_ms = 0;
    }
    if (!min_gap_given && !options.replay_file.empty() && options.generate > 0) {
        options.min_gap_ms = kMixedSourcesMinGapMs;
    }
    return true;
}

}  // namespace norvalith::sim
