// How bursts from the module divide into telegrams. With RSSI mode on, the module
// sends every telegram as a length byte L, the telegram's L bytes and the RSSI
// byte, back to back. Firmwares differ in whether L counts the RSSI byte (a
// telegram is L + 1 bytes on the line) or not (L + 2); the bursts tell which.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace norvalith {

// A length byte below this leaves no room for the header: such a piece is no telegram.
inline constexpr std::uint8_t kMinLengthByte = 9;

// The one check that a piece starting with this length byte can be a telegram.
inline bool starts_telegram(std::uint8_t length_byte) { return length_byte >= kMinLengthByte; }

// Bytes a piece needs to carry a whole header (length to device type).
inline constexpr std::size_t kHeaderBytes = 10;

// Bytes after the length byte's L: 1 when L counts the RSSI byte, 2 when it does not.
inline constexpr std::size_t kRssiCounted = 1;
inline constexpr std::size_t kRssiAppended = 2;

struct Walk {
    std::size_t count = 0;    // whole telegrams that follow each other from the start
    std::size_t end = 0;      // bytes they take
    std::size_t missing = 0;  // bytes the telegram at `end` still lacks (0: none begins there)
};

// Walks from length byte to length byte while each piece is a telegram that fits.
Walk walk(std::span<const std::uint8_t> bytes, std::size_t extra);

// What the reception loop keeps between passes.
struct Framer {
    std::int32_t score = 0;      // >= 0: L + 1 bytes, < 0: L + 2; its size is the confidence
    std::size_t pending = 0;     // bytes of a cut telegram kept at the start of the buffer
    std::size_t pending_extra = kRssiCounted;
    bool pending_alone = false;  // the kept piece was a burst of its own
};

// The telegrams of one pass: `count` of them from `start`, each L + extra bytes,
// and when `missing` > 0 a cut one after them, kept for the next pass.
struct Pass {
    std::size_t alone = 0;  // > 0: a burst of its own whose rest never came, taken whole first
    std::size_t start = 0;
    std::size_t extra = kRssiCounted;
    std::size_t count = 0;
    std::size_t end = 0;  // where the cut one (or the stray bytes) begins
    std::size_t missing = 0;
    std::size_t size = 0;  // bytes in the buffer
    bool cut_alone = false;  // the cut one is all of a burst of its own
};

// A cut telegram waits this long (whole seconds, the reader's unit) for its rest,
// after the quiet that ended the reader's window.
inline constexpr std::int32_t kRestTimeoutSeconds = 1;

// buffer: framer.pending bytes kept from the last pass, then the `fresh` bytes
// just read (0: the rest never came, and the cut piece is dropped, unless it was
// a burst of its own: that is taken whole, as a single burst always was). Decides which
// bytes are telegrams; a kept piece is completed only when its rest explains the
// fresh bytes at least as well as they explain themselves, so neither the bytes
// of one telegram start another nor a rest that never came takes the next one's.
Pass plan_pass(Framer& framer, std::span<const std::uint8_t> buffer, std::size_t fresh);

// After the pass's telegrams were handled: moves its cut piece to the start of
// the buffer and remembers it. Returns where the next read goes.
std::size_t keep_cut(Framer& framer, std::span<std::uint8_t> buffer, const Pass& pass);

// The copy an export carries: the first L bytes of the telegram, its length byte
// included and never past its end. The module's RSSI byte is not the meter's:
// it is taken as the trailer and zeroed before the copy is made, so whatever the
// convention, no export carries it.
std::span<const std::uint8_t> raw_copy(std::span<std::uint8_t> telegram);

}  // namespace norvalith
