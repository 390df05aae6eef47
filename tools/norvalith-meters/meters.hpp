// norvalith-meters: lists the meters in the daemon's shared table, for operators
// (a text table) and scripts (JSON). Only ever reads the segment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/meter_table.hpp"

namespace norvalith::meters {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
// The daemon is not installed or has not made its table, or the table is unusable.
inline constexpr int kExitNoTable = 2;
// The daemon is not running: the table it left behind is listed all the same.
inline constexpr int kExitNotRunning = 3;
// This user may not read the table (it is the daemon's user's, mode 0600).
inline constexpr int kExitNoPermission = 4;

struct Row {
    std::uint32_t index;
    MeterInfo meter;
};

// EN 13757-3 medium of a device type; "reserved" for codes without one.
const char* medium_name(std::uint32_t device_type);

// -rssi/2 as a decimal with one digit, e.g. "-42.5"; the module reports RSSI in half dB steps.
void format_dbm(std::uint32_t rssi, char (&out)[16]);

// Quoted JSON string of text, with quotes, backslashes and control bytes escaped.
std::string json_string(const char* text);

// Consistent copy of one entry while the daemon may be writing it; id 0 when empty.
MeterInfo snapshot_entry(const MeterInfo& entry);

// Every non-empty entry, in table order.
std::vector<Row> snapshot_table(const MeterTable& table);

// Header line, one line per meter, and the count line.
std::string format_text(const std::vector<Row>& rows);
// A JSON array with one object per meter ("[]" when empty), newline-terminated.
std::string format_json(const std::vector<Row>& rows);

// A read-only attachment of the daemon's segment; detached when destroyed.
class TableAttachment {
public:
    TableAttachment() = default;
    explicit TableAttachment(const void* address) : address_(address) {}
    ~TableAttachment();
    TableAttachment(TableAttachment&& other) noexcept;
    TableAttachment& operator=(TableAttachment&& other) noexcept;
    TableAttachment(const TableAttachment&) = delete;
    TableAttachment& operator=(const TableAttachment&) = delete;

    // nullptr when the attach failed.
    const MeterTable* table() const { return static_cast<const MeterTable*>(address_); }

private:
    const void* address_ = nullptr;
};

struct AttachError {
    int status = kExitOk;
    std::string message;
};

// ftok(key_path, project_id), shmget without IPC_CREAT, shmat with SHM_RDONLY. On failure the attachment is empty and error holds
// the exit status and the reason.
TableAttachment attach_readonly(const char* key_path, int project_id, AttachError& error);

inline constexpr const char* kDefaultLockPath = "/var/lock/LCK..ttyS1";

// Whether the daemon runs: the lock file's pid is alive and runs the program
// at key_path. The table's attach count cannot tell: any reader adds to it.
bool daemon_running(const char* lock_path, const char* key_path);

// The whole command: options, attach, listing on out, messages on err; returns the exit status.
int run(int argc, char** argv, std::FILE* out, std::FILE* err);

}  // namespace norvalith::meters
