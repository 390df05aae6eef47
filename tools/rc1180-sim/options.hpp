// Command line of rc1180-sim.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "module.hpp"

namespace norvalith::sim {

// The daemon's reader joins bursts less than 200 ms apart; this keeps them apart with room to spare.
inline constexpr std::int64_t kMixedSourcesMinGapMs = 250;
// A 16550-style receive FIFO: what a gateway's UART hands the reader at a time.
inline constexpr std::size_t kUartFifoBytes = 16;
inline constexpr std::size_t kMaxChunkBytes = 4096;

struct Options {
    std::string link;         // symlink to the pty slave
    std::string memory_file;  // persistent configuration memory
    std::string replay_file;
    std::string sent_file;
    std::string control_path;  // FIFO for commands
    std::string trace_file;
    std::string stats_file;
    bool no_handshake = false;
    bool repeat = false;
    bool full_rate = false;
    bool exit_when_done = false;
    bool help = false;
    std::int64_t gap_ms = 500;  // 0 with --full-rate unless given
    // Least quiet time before a source burst; 250 unless given when --replay and
    // --generate both run, so their telegrams never meet in one of the daemon's frames.
    std::int64_t min_gap_ms = 0;
    // Bytes the UART hands over at a time, at the line rate; 0: each burst in one write at once.
    std::size_t chunk = kUartFifoBytes;
    std::size_t generate = 0;
    std::uint64_t seed = 0;
    bool seed_given = false;
    double rate = 1.0;  // telegrams per second, all generated meters together
    double rssi_low_dbm = -95.0;
    double rssi_high_dbm = -40.0;
    double garbage = 0.0;     // probability of a garbage burst after a telegram
    bool rssi_appended = false;  // the length byte leaves the RSSI byte out (L + 2 bytes)
    double pause_share = 0.0;    // share of telegrams with a pause inside them
    std::int64_t pause_low_ms = 60;
    std::int64_t pause_high_ms = 300;
    std::uint64_t count = 0;  // 0: no limit
    double duration_s = 0.0;  // 0: no limit
    double chatter_seconds = 3.0;
    Faults faults;
};

// args excludes the program name. False with a message on a bad command line.
bool parse_options(std::span<const char* const> args, Options& options, std::string& error);

const char* usage_text();

}  // namespace norvalith::sim
