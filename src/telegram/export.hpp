// The daily XML export of configured meters.
#pragma once

#include <cstdint>
#include <ctime>

#include "core/identity.hpp"
#include "core/settings.hpp"
#include "telegram/header.hpp"

namespace norvalith {

// Largest export document; the longest texts escaped still fit well inside.
inline constexpr std::size_t kExportDocumentCapacity = 4096;

// The export document for one burst received at local time `local` (instant `now`).
// The raw copy is min(length byte, n) bytes. Returns its length, 0 if it does not fit.
std::size_t format_export(char* out, std::size_t capacity, const std::uint8_t* burst, std::int32_t n,
                          const MeterInfo& meter, const DeviceIdentity& identity, std::time_t now,
                          const std::tm& local);

// Writes "<dir>/%08u_%04u-%02u-%02u.xml" through a temporary file that is renamed
// into place once every write succeeded. False (and nothing left behind) on failure.
bool write_export(const char* dir, std::time_t now, const std::uint8_t* burst, std::int32_t n,
                  const MeterInfo& meter, const DeviceIdentity& identity);

// write_export at the current time.
bool export_xml(const char* dir, const std::uint8_t* burst, std::int32_t n, const MeterInfo& meter,
                const DeviceIdentity& identity);

// Exports the burst once for every configured slot naming this meter that has no
// file yet today; a slot is marked only when its file was written. A failure is
// logged once per slot and day.
void export_due_meters(Settings& settings, const char* dir, const std::uint8_t* burst, std::int32_t n,
                       const MeterInfo& meter, const DeviceIdentity& identity);

}  // namespace norvalith
