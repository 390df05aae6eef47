// Cutting the byte stream from the module into bursts.
#pragma once

#include <cstdint>
#include <span>

namespace norvalith {

// The open line and what the reader remembers about it between calls.
struct SerialLine {
    int fd = -1;
    bool failing = false;          // a failure was logged; quiet until bytes arrive again
    std::int64_t last_bytes_ms = -1;  // monotonic time of the last read that brought bytes
};

// Waits up to first_byte_timeout_seconds for a first byte, then collects what
// follows within allowance_ms, shared by all waits of the call. Returns the
// byte count placed at the start of buffer (0 = nothing); the rest of the buffer
// keeps what it held. A failing line (error or hang-up) costs one second per call
// and is logged once until bytes arrive again.
std::int32_t read_frame(SerialLine& line, std::span<std::uint8_t> buffer, std::int32_t first_byte_timeout_seconds,
                        std::int32_t allowance_ms);

// True when bytes are waiting on the line or arrive within timeout_ms.
bool line_busy(const SerialLine& line, int timeout_ms);

// True when the line delivered bytes within the last gap_ms and more are waiting
// or arrive within gap_ms: it did not fall quiet.
bool line_still_busy(const SerialLine& line, int gap_ms);

// Reads into `into` what follows on the line without a pause longer than gap_ms,
// the first byte included, until `into` is full. Returns the count.
std::size_t read_following(SerialLine& line, std::span<std::uint8_t> into, int gap_ms);

}  // namespace norvalith
