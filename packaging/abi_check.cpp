// Built with the shipped binaries, tests or not: the layouts other programs read
// and the 64-bit time the exports need must hold on every target, the 32-bit
// gateway above all.
#include <sys/types.h>

#include <ctime>

#include "core/meter_table.hpp"
#include "telegram/header.hpp"

static_assert(sizeof(std::time_t) == 8, "time_t must be 64-bit (_TIME_BITS=64): exports run past 2038");
static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit (_FILE_OFFSET_BITS=64)");
static_assert(sizeof(norvalith::MeterInfo) == 16, "a table entry is four 32-bit words");
static_assert(sizeof(norvalith::MeterTable) == 2048, "the shared table is 2048 bytes");
