// Bringing the RC1180 module's configuration memory into line with our table.
#pragma once

#include <cstdint>

#include "serial/reader.hpp"

namespace norvalith {

struct ConfigPair {
    std::uint8_t address;
    std::uint8_t value;
};

// The parameters the daemon owns, in the order they are written; ends with 255, 255.
inline constexpr ConfigPair CONFIG_PAIRS[] = {
    {0, 1},   {1, 5},  {3, 1},  {4, 0},  {5, 1},  {10, 0}, {16, 124}, {18, 1},
    {22, 0},  {48, 5}, {53, 0}, {54, 0}, {58, 0}, {61, 2}, {62, 0},   {63, 0},
    {255, 255},
};

inline constexpr std::uint8_t kCmdEnterConfig = 0x00;
inline constexpr std::uint8_t kCmdReadMemory = '0';
inline constexpr std::uint8_t kCmdWriteMemory = 'M';
inline constexpr std::uint8_t kCmdEndWrite = 0xFF;
inline constexpr std::uint8_t kCmdExitConfig = 'X';
inline constexpr std::uint8_t kPrompt = '>';

struct RadioTimeouts {
    std::int32_t answer_seconds;       // for each awaited answer of the module
    std::int32_t drain_quiet_seconds;  // the drain ends once the line is quiet this long
    std::int32_t drain_limit_seconds;  // and after this much chatter in any case
    std::int32_t write_seconds;        // for the line to take a whole command
    std::int32_t allowance_ms;         // the reader's, for every answer
};

// Drains the line (at most drain_limit_seconds of chatter), reads the memory, writes
// the pairs that differ and leaves configuration mode. False, without leaving
// configuration mode, as soon as an awaited answer is missing or wrong or the line
// does not take every byte of a command within write_seconds.
bool init_radio(SerialLine& line, const RadioTimeouts& timeouts);

// One command byte, taken by the line within timeout_seconds.
bool send_command(SerialLine& line, std::uint8_t command, std::int32_t timeout_seconds);

}  // namespace norvalith
