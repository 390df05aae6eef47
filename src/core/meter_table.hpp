// The table of meters heard, published in System V shared memory for other programs.
#pragma once

#include <cstddef>

#include "telegram/header.hpp"

namespace norvalith {

inline constexpr std::size_t kTableEntries = 128;

// Entry layout and size are read by other programs: never change them.
struct MeterTable {
    MeterInfo entries[kTableEntries];
};
static_assert(sizeof(MeterTable) == 2048, "the shared table is 2048 bytes");

// ftok(key_path, project_id), shmget(2048, IPC_CREAT | 0600), shmat; nullptr on
// failure, and when the segment is not exactly 2048 bytes or was created by
// another user (detached again, untouched).
MeterTable* attach_meter_table(const char* key_path, int project_id);

// Empties every entry, ids first, in the order a concurrent reader needs.
void clear_meter_table(MeterTable* table);

// Refreshes the trailer of a known meter or fills the first empty entry; a full
// table stays unchanged (false: the meter is not in it). A new entry's id is
// written last so readers never see it half filled.
bool record_meter(MeterTable* table, const MeterInfo& meter);

// Entries in use.
unsigned count_meters(const MeterTable* table);

}  // namespace norvalith
