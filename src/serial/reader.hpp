// Cutting the byte stream from the module into bursts.
#pragma once

#include <cstdint>

namespace norvalith {

// Waits up to first_byte_timeout_seconds for a first byte, then collects what
// follows within a 200 ms allowance shared by all waits of the call. Returns the
// byte count placed at the start of buffer (0 = nothing); the rest of the buffer
// keeps what it held. A failing line (error or hang-up) costs one second per call
// and is logged once until bytes arrive again.
std::int32_t read_frame(int line, std::uint8_t* buffer, std::int32_t capacity,
                        std::int32_t first_byte_timeout_seconds);

}  // namespace norvalith
