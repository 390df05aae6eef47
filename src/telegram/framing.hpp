// How bursts from the module divide into telegrams. With RSSI mode on, the module
// sends every telegram as a length byte L, the telegram's L bytes and the RSSI
// byte, back to back. Firmwares differ in whether L counts the RSSI byte (a
// telegram is L + 1 bytes on the line) or not (L + 2); the bursts tell which, and
// once they have shown it, single bursts never change it. Line noise and stray
// bytes stand anywhere: the header's own redundancy (the link layer's control
// byte, the manufacturer's three letters) tells where the next telegram starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace norvalith {

// A length byte below this leaves no room for the header: such a piece is no telegram.
inline constexpr std::uint8_t kMinLengthByte = 9;

inline bool starts_telegram(std::uint8_t length_byte) { return length_byte >= kMinLengthByte; }

// Bytes a piece needs to carry a whole header (length to device type).
inline constexpr std::size_t kHeaderBytes = 10;

// Bytes after the length byte's L: 1 when L counts the RSSI byte, 2 when it does not.
inline constexpr std::size_t kRssiCounted = 1;
inline constexpr std::size_t kRssiAppended = 2;

// The wireless M-Bus link layer's control byte takes only a few values.
bool valid_control(std::uint8_t control);

// Three letters A-Z in the five-bit packing, bit 15 aside.
bool valid_manufacturer(std::uint8_t low, std::uint8_t high);

// A telegram may start at `at`: a length byte that leaves room for the header and,
// as far as the bytes reach, a valid control byte and manufacturer.
bool plausible_header(std::span<const std::uint8_t> bytes, std::size_t at);

struct Walk {
    std::size_t count = 0;    // whole telegrams that follow each other from the start
    std::size_t end = 0;      // bytes they take
    std::size_t missing = 0;  // bytes the telegram at `end` still lacks (0: none begins there)
};

// Walks from length byte to length byte while each piece is a telegram that fits.
Walk walk(std::span<const std::uint8_t> bytes, std::size_t extra);

// Whether the header at the start of `bytes` (kHeaderBytes) names a meter heard
// before: a chance header never does.
using KnownMeter = bool (*)(const void* context, std::span<const std::uint8_t> header);

// What the reception loop keeps between passes.
struct Framer {
    KnownMeter known = nullptr;
    const void* known_context = nullptr;
    std::size_t extra = kRssiCounted;  // the convention followed
    bool established = false;          // shown beyond chance; then only sustained evidence turns it
    std::uint32_t shown[2] = {0, 0};   // before: telegrams that showed L + 1, L + 2
    std::uint32_t contrary = 0;        // after: evidence for the other since the last for this one
    bool anchored = true;              // the next burst starts where a telegram may
    std::size_t pending = 0;           // bytes of a cut telegram kept at the start of the buffer
    bool pending_anchored = true;      // it started where the one before it ended
};

// A buffer holds at most this many telegrams (the reader's 512 bytes hold 51).
inline constexpr std::size_t kMaxPassTelegrams = 64;

// The telegrams of one pass: `count` of them at `at`, each L + extra bytes; the
// bytes of no telegram, dropped; and a cut telegram from `cut`, kept for the next pass.
struct Pass {
    std::size_t extra = kRssiCounted;
    std::size_t count = 0;
    std::uint16_t at[kMaxPassTelegrams];
    std::size_t garbage = 0;        // bytes dropped, a kept piece whose rest never came included
    std::size_t fresh_garbage = 0;  // of them, the bytes just read
    std::size_t evidence = 0;       // telegrams whose start or end only this convention explains
    std::size_t cut = 0;            // == size: nothing kept
    std::size_t size = 0;           // bytes in the buffer
    bool cut_anchored = false;
    bool ends_clean = false;  // the last bytes were a telegram's
    bool lone = false;        // a burst of its own, exactly one telegram
};

// A cut telegram waits this long (whole seconds, the reader's unit) for its rest,
// after the quiet that ended the reader's window.
inline constexpr std::int32_t kRestTimeoutSeconds = 1;

// buffer: framer.pending bytes kept from the last pass, then the `fresh` bytes
// just read (0: the rest never came, and the kept piece is dropped). Decides which
// bytes are telegrams: a kept piece is completed only when that explains the fresh
// bytes at least as well as they explain themselves; after bytes that are no
// telegram, the next telegram is the first header that a decimal id and the
// headers after it, or a meter heard before, confirm.
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
