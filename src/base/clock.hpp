// The two clocks: the monotonic one for time-outs and silences, and one reading
// of the wall clock with its local date for everything that is dated.
#pragma once

#include <cstdint>
#include <ctime>

namespace norvalith {

// Whole seconds of the monotonic clock, or -1 when it cannot be read.
std::int32_t monotonic_seconds();

// Milliseconds of the monotonic clock, or -1 when it cannot be read.
std::int64_t monotonic_ms();

// An instant and its local broken-down time. Not valid when the local time cannot
// be had (a year that does not fit); such an instant dates nothing.
struct WallTime {
    std::time_t seconds = 0;
    std::tm local{};
    bool valid = false;
};

// The local time of a given instant.
WallTime wall_time_at(std::time_t seconds);

// One reading of the wall clock. Only the reception loop reads it; everything
// below is handed the reading, so one telegram is dated once.
WallTime read_wall_clock();

}  // namespace norvalith
