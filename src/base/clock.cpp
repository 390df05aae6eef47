#include "base/clock.hpp"

namespace norvalith {

std::int32_t monotonic_seconds() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    return static_cast<std::int32_t>(now.tv_sec);
}

std::int64_t monotonic_ms() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

WallTime wall_time_at(std::time_t seconds) {
    WallTime at;
    at.seconds = seconds;
    at.valid = localtime_r(&seconds, &at.local) != nullptr;
    return at;
}

WallTime read_wall_clock() { return wall_time_at(std::time(nullptr)); }

}  // namespace norvalith
