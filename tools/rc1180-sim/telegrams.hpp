// What the module sends: telegram framing, replay files and generated meters.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "module.hpp"

namespace norvalith::sim {

std::string to_hex(std::span<const std::uint8_t> bytes);
// Even number of hex digits, either case, nothing else; false otherwise.
bool parse_hex(std::string_view text, Bytes& out);

// RSSI byte for a signal strength: dBm = -RSSI / 2, clamped to the byte.
std::uint8_t rssi_byte(double dbm);

// The burst for a telegram: in RSSI mode the RSSI byte follows, and the length
// byte counts it unless rssi_appended; otherwise the telegram as it is.
Bytes frame_telegram(std::span<const std::uint8_t> telegram, bool rssi_mode, std::uint8_t rssi,
                     bool rssi_appended = false);

// Serial time of a burst at 19200 bit/s, 10 bits per byte, in milliseconds (rounded up).
std::int64_t transmission_ms(std::size_t bytes);
// The same in nanoseconds (rounded up, so that a byte is due once this much time has passed).
std::int64_t transmission_ns(std::size_t bytes);
// Bytes of a burst of size bytes that a UART handing over chunk bytes at a time has
// delivered elapsed_ns after the burst's first byte: chunk k is due at k chunk times,
// whatever was delivered before. chunk 0: everything at once.
std::size_t uart_bytes_due(std::size_t size, std::size_t chunk, std::int64_t elapsed_ns);

struct ReplayEntry {
    std::optional<std::int64_t> delay_ms;  // overrides the default gap before this telegram
    Bytes telegram;
};

// One telegram per line as hex, optionally "DELAY_MS HEX"; blank and '#' lines skipped.
// A header row whose first tab-separated column is "hex" makes it a table: from then on
// only the first column of each row counts. False with "line N: ..." on a bad line.
bool parse_replay(std::string_view text, std::vector<ReplayEntry>& out, std::string& error);

struct Meter {
    std::uint8_t id[4];  // BCD, least significant pair first, as on the air
    std::uint16_t manufacturer;
    std::uint8_t version;
    std::uint8_t device_type;
    std::uint8_t access_number;
    std::uint32_t volume_litres;
};

// n meters with distinct non-zero BCD ids, random manufacturers and device types.
std::vector<Meter> make_meters(std::size_t n, std::mt19937_64& rng);
// One unencrypted SND_NR telegram of the meter (L + 1 bytes); advances its counters.
Bytes make_telegram(Meter& meter, std::mt19937_64& rng);

}  // namespace norvalith::sim
