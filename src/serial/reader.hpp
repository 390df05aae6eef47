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
// and is logged once until bytes arrive again. A readable wake_fd ends the wait
// for the first byte early (0 returned); it is only watched until then.
std::int32_t read_frame(SerialLine& line, std::span<std::uint8_t> buffer, std::int32_t first_byte_timeout_seconds,
                        std::int32_t allowance_ms, int wake_fd = -1);

}  // namespace norvalith
