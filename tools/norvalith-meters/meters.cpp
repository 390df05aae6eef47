#include "norvalith-meters/meters.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

#include "core/constants.hpp"

namespace norvalith::meters {

namespace {

constexpr const char* kProgram = "norvalith-meters";

// A daemon restart empties the table in place; a reader that keeps seeing the id
// change gives the entry up for this listing rather than spin.
constexpr int kSnapshotAttempts = 3;

struct Medium {
    std::uint32_t code;
    const char* name;
};

constexpr Medium kMedia[] = {
    {0x00, "other"},
    {0x01, "oil"},
    {0x02, "electricity"},
    {0x03, "gas"},
    {0x04, "heat (outlet)"},
    {0x05, "steam"},
    {0x06, "warm water"},
    {0x07, "water"},
    {0x08, "heat cost allocator"},
    {0x09, "compressed air"},
    {0x0A, "cooling"},
    {0x0B, "cooling"},
    {0x0C, "heat (inlet)"},
    {0x0D, "heat/cooling"},
    {0x0E, "bus/system"},
    {0x0F, "unknown"},
    {0x15, "hot water"},
    {0x16, "cold water"},
    {0x17, "dual water"},
    {0x18, "pressure"},
    {0x19, "A/D converter"},
    {0x1A, "smoke detector"},
    {0x1B, "room sensor"},
    {0x1C, "gas detector"},
    {0x20, "breaker"},
    {0x21, "valve"},
    {0x25, "customer unit"},
    {0x28, "waste water"},
    {0x29, "garbage"},
    {0x31, "communication controller"},
    {0x32, "unidirectional repeater"},
    {0x33, "bidirectional repeater"},
    {0x36, "radio converter (system)"},
    {0x37, "radio converter (meter)"},
};

void append(std::string& out, const char* text) { out += text; }

void format_id(std::uint32_t id, char (&out)[16]) { std::snprintf(out, sizeof out, "%08u", id); }

const char* help_text() {
    return "Usage: norvalith-meters [--json] [--key-file PATH] [--lock-file PATH]\n"
           "Lists the meters Norvalithd has heard, from its shared meter table.\n"
           "\n"
           "  --json           print a JSON array for scripts instead of a table\n"
           "  --key-file PATH  key file of the table (default /opt/Norvalith/bin/Norvalithd)\n"
           "  --lock-file PATH  the daemon's lock file (default /var/lock/LCK..ttyS1)\n"
           "  -h, --help       show this help and exit\n"
           "\n"
           "Exit status:\n"
           "  0  listed (also when no meter is known)\n"
           "  1  other errors (options, writing the listing)\n"
           "  2  no table: Norvalithd is not installed or has not started, or the table\n"
           "     is unusable\n"
           "  3  Norvalithd is not running: the table it left is listed, and may be stale\n"
           "  4  no permission to read the table: run as root or as user norvalith\n";
}

// Up to size - 1 bytes of a regular file, never blocking on anything else.
std::string read_small(const char* path, std::size_t size) {
    const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    std::string text(size, '\0');
    struct stat info {};
    const ssize_t got = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? read(fd, text.data(), size - 1) : -1;
    close(fd);
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return text;
}

int usage_error(std::FILE* err, const char* what, const char* option) {
    std::fprintf(err, "%s: %s '%s'\nTry '%s --help'.\n", kProgram, what, option, kProgram);
    return kExitError;
}

}  // namespace

const char* medium_name(std::uint32_t device_type) {
    for (const Medium& medium : kMedia) {
        if (medium.code == device_type) {
            return medium.name;
        }
    }
    return "reserved";
}

void format_dbm(std::uint32_t rssi, char (&out)[16]) {
    // Integer halves, so no rounding can creep in and 0 does not print as "-0.0".
    std::snprintf(out, sizeof out, "%s%u.%u", rssi == 0 ? "" : "-", rssi / 2, (rssi % 2) * 5);
}

std::string json_string(const char* text) {
    std::string out = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            // Bytes outside printable ASCII would not be valid UTF-8 on their own.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

MeterInfo snapshot_entry(const MeterInfo& entry) {
    for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
        // The daemon publishes a new entry's id last with release ordering: once the
        // id is seen, the words written before it are visible too.
        MeterInfo copy{};
        copy.id = __atomic_load_n(&entry.id, __ATOMIC_ACQUIRE);
        if (copy.id == 0) {
            return MeterInfo{};
        }
        copy.device_type = __atomic_load_n(&entry.device_type, __ATOMIC_RELAXED);
        copy.manufacturer = __atomic_load_n(&entry.manufacturer, __ATOMIC_RELAXED);
        copy.trailer = __atomic_load_n(&entry.trailer, __ATOMIC_RELAXED);
        // The same id afterwards means no restart emptied the entry while it was copied.
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
        if (__atomic_load_n(&entry.id, __ATOMIC_RELAXED) == copy.id) {
            return copy;
        }
    }
    return MeterInfo{};
}

std::vector<Row> snapshot_table(const MeterTable& table) {
    std::vector<Row> rows;
    for (std::uint32_t i = 0; i < kTableEntries; ++i) {
        const MeterInfo meter = snapshot_entry(table.entries[i]);
        if (meter.id != 0) {
            rows.push_back(Row{i, meter});
        }
    }
    return rows;
}

std::string format_text(const std::vector<Row>& rows) {
    std::string out;
    char line[160];
    std::snprintf(line, sizeof line, "%5s  %-9s  %-12s  %-29s  %4s  %s\n", "index", "id", "manufacturer",
                  "device type", "rssi", "signal");
    append(out, line);
    for (const Row& row : rows) {
        const MeterInfo& meter = row.meter;
        char id[16];
        format_id(meter.id, id);
        char manufacturer[24];
        std::snprintf(manufacturer, sizeof manufacturer, "%s 0x%04X", manufacturer_letters(meter.manufacturer).data(),
                      meter.manufacturer);
        char type[48];
        std::snprintf(type, sizeof type, "0x%02X %s", meter.device_type, medium_name(meter.device_type));
        char dbm[16];
        format_dbm(meter.trailer, dbm);
        std::snprintf(line, sizeof line, "%5u  %-9s  %-12s  %-29s  %4u  %s dBm\n", row.index, id, manufacturer, type,
                      meter.trailer, dbm);
        append(out, line);
    }
    std::snprintf(line, sizeof line, "%zu %s\n", rows.size(), rows.size() == 1 ? "meter" : "meters");
    append(out, line);
    return out;
}

std::string format_json(const std::vector<Row>& rows) {
    if (rows.empty()) {
        return "[]\n";
    }
    std::string out = "[\n";
    char field[64];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const MeterInfo& meter = rows[i].meter;
        char id[16];
        format_id(meter.id, id);
        char dbm[16];
        format_dbm(meter.trailer, dbm);
        std::snprintf(field, sizeof field, "  {\"index\": %u, \"id\": %u, \"id_text\": ", rows[i].index, meter.id);
        append(out, field);
        out += json_string(id);
        append(out, ", \"manufacturer\": ");
        out += json_string(manufacturer_letters(meter.manufacturer).data());
        std::snprintf(field, sizeof field, ", \"manufacturer_code\": %u, \"device_type\": %u, \"medium\": ",
                      meter.manufacturer, meter.device_type);
        append(out, field);
        out += json_string(medium_name(meter.device_type));
        std::snprintf(field, sizeof field, ", \"rssi\": %u, \"dbm\": %s}%s\n", meter.trailer, dbm,
                      i + 1 < rows.size() ? "," : "");
        append(out, field);
    }
    append(out, "]\n");
    return out;
}

TableAttachment::~TableAttachment() {
    if (address_ != nullptr) {
        shmdt(address_);
    }
}

TableAttachment::TableAttachment(TableAttachment&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)) {}

TableAttachment& TableAttachment::operator=(TableAttachment&& other) noexcept {
    if (this != &other) {
        if (address_ != nullptr) {
            shmdt(address_);
        }
        address_ = std::exchange(other.address_, nullptr);
    }
    return *this;
}

namespace {
constexpr const char* kNoPermission = "no permission to read the meter table: run as root or as user norvalith";
}

TableAttachment attach_readonly(const char* key_path, int project_id, AttachError& error) {
    char message[512];
    const key_t key = ftok(key_path, project_id);
    if (key == -1) {
        const int cause = errno;
        if (cause == ENOENT) {
            std::snprintf(message, sizeof message, "key file %s not found: is Norvalithd installed?", key_path);
            error = {kExitNoTable, message};
        } else {
            std::snprintf(message, sizeof message, "key file %s: %s", key_path, std::strerror(cause));
            error = {kExitError, message};
        }
        return {};
    }
    // No IPC_CREAT: a reader must never leave a segment behind that the daemon did not make.
    const int segment = shmget(key, sizeof(MeterTable), 0);
    if (segment == -1) {
        const int cause = errno;
        if (cause == ENOENT) {
            error = {kExitNoTable, "no meter table: is Norvalithd running?"};
        } else if (cause == EACCES) {
            error = {kExitNoPermission, kNoPermission};
        } else if (cause == EINVAL) {
            std::snprintf(message, sizeof message, "meter table too small: the segment holds fewer than %zu bytes",
                          sizeof(MeterTable));
            error = {kExitNoTable, message};
        } else {
            std::snprintf(message, sizeof message, "meter table: %s", std::strerror(cause));
            error = {kExitError, message};
        }
        return {};
    }
    void* address = shmat(segment, nullptr, SHM_RDONLY);
    if (address == reinterpret_cast<void*>(-1)) {  // NOLINT(performance-no-int-to-ptr)
        const int cause = errno;
        if (cause == EACCES) {
            error = {kExitNoPermission, kNoPermission};
        } else {
            std::snprintf(message, sizeof message, "meter table: %s", std::strerror(cause));
            error = {kExitError, message};
        }
        return {};
    }
    error = {};
    return TableAttachment{address};
}

bool daemon_running(const char* lock_path, const char* key_path) {
    const long pid = std::strtol(read_small(lock_path, 32).c_str(), nullptr, 10);
    if (pid <= 0 || pid > INT32_MAX || (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)) {
        return false;
    }
    // The lock's pid may have been reused: it must be the daemon, run from its path
    // (also as an emulator's argument). A /proc that hides it cannot tell: alive then is enough.
    char proc[32];
    std::snprintf(proc, sizeof proc, "/proc/%ld/cmdline", pid);
    const std::string cmdline = read_small(proc, 4096);
    if (cmdline.empty()) {
        return true;
    }
    const char* slash = std::strrchr(key_path, '/');
    const std::string_view name = slash != nullptr ? slash + 1 : key_path;
    for (std::size_t at = 0; at < cmdline.size();) {
        const std::string_view arg(cmdline.c_str() + at);
        const std::size_t cut = arg.rfind('/');
        if ((cut == std::string_view::npos ? arg : arg.substr(cut + 1)) == name) {
            return true;
        }
        at += arg.size() + 1;
    }
    return false;
}

int run(int argc, char** argv, std::FILE* out, std::FILE* err) {
    bool json = false;
    const char* key_path = kTableKeyPath;
    const char* lock_path = kDefaultLockPath;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--key-file") {
            if (i + 1 >= argc) {
                return usage_error(err, "missing path after", argv[i]);
            }
            key_path = argv[++i];
        } else if (arg.starts_with("--key-file=")) {
            key_path = argv[i] + std::strlen("--key-file=");
        } else if (arg == "--lock-file") {
            if (i + 1 >= argc) {
                return usage_error(err, "missing path after", argv[i]);
            }
            lock_path = argv[++i];
        } else if (arg.starts_with("--lock-file=")) {
            lock_path = argv[i] + std::strlen("--lock-file=");
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(help_text(), out);
            return std::fflush(out) == 0 ? kExitOk : kExitError;
        } else {
            return usage_error(err, "unknown option", argv[i]);
        }
    }

    AttachError error;
    const TableAttachment attachment = attach_readonly(key_path, kTableProjectId, error);
    if (attachment.table() == nullptr) {
        std::fprintf(err, "%s: %s\n", kProgram, error.message.c_str());
        return error.status;
    }
    const std::vector<Row> rows = snapshot_table(*attachment.table());
    const std::string listing = json ? format_json(rows) : format_text(rows);
    if (std::fputs(listing.c_str(), out) == EOF || std::fflush(out) != 0) {
        std::fprintf(err, "%s: cannot write the listing: %s\n", kProgram, std::strerror(errno));
        return kExitError;
    }
    if (!daemon_running(lock_path, key_path)) {
        std::fprintf(err, "%s: daemon not running: last table shown\n", kProgram);
        return kExitNotRunning;
    }
    return kExitOk;
}

}  // namespace norvalith::meters
