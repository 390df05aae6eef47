// The export document of one telegram and the file that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "base/clock.hpp"
#include "telegram/header.hpp"

namespace norvalith {

// The gateway's identity, written into every export.
struct DeviceIdentity {
    char name[100];       // host name, "---" when unknown
    char device_id[13];   // wired interface's hardware address, twelve hex digits
    char public_ip[16];   // WAN interface's IPv4 address, dotted
    char firmware[100];   // "Norvalith-" and the version file's first line
};

// Largest export document; the longest texts escaped still fit well inside.
inline constexpr std::size_t kExportDocumentCapacity = 4096;

// The document for a telegram received at `at`, carrying `raw` (its raw copy) in
// Base64. Returns its length, 0 if it does not fit into out.
std::size_t format_export(std::span<char> out, std::span<const std::uint8_t> raw, const MeterInfo& meter,
                          const DeviceIdentity& identity, const WallTime& at);

// Writes "<dir>/%08u_%04u-%02u-%02u.xml" (the local date of `at`) through the
// temporary file "<dir>/.%08u.<pid>.xml.tmp" that is renamed into place once every
// write succeeded, never over an existing file of that name (which counts as
// written): without replacing where the file system can, else by a link, else
// (FAT) after a look for the name; the directory is synced after the rename.
// False on failure, with no temporary left behind (a sync that failed after the
// rename leaves the complete file).
bool export_xml(const char* dir, const WallTime& at, std::span<const std::uint8_t> raw_copy, const MeterInfo& meter,
                const DeviceIdentity& identity);

// The two calls that put a temporary under its name without replacing one;
// tests put in those of a file system that has neither.
struct PlaceCalls {
    int (*rename_noreplace)(int dir_fd, const char* from, const char* to);
    int (*link)(int dir_fd, const char* from, const char* to);
};
extern PlaceCalls g_place_calls;

// Whether name is one of export_xml's temporary names, ".<id>.<pid>.xml.tmp" or the
// earlier ".<id>.xml.tmp" (digits only, ten at most).
bool is_export_temporary(std::string_view name);

// Removes the regular files under temporary names that crashed runs left in dir;
// never anything else, never through a link. Returns how many were removed.
std::int32_t sweep_export_temporaries(const char* dir);

}  // namespace norvalith
