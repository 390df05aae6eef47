// The emulated module on the master side of a pty: one poll() loop, no threads.
#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "module.hpp"
#include "options.hpp"
#include "telegrams.hpp"

namespace norvalith::sim {

struct Counters {
    std::uint64_t telegrams_sent = 0;  // from the sources and "tx"
    std::uint64_t garbage_sent = 0;
    std::uint64_t bytes_sent = 0;
    std::uint64_t bytes_received = 0;
};

std::int64_t monotonic_ms();
std::int64_t monotonic_ns();

// The --seed value, or one from the system's entropy.
std::uint64_t pick_seed(const Options& options);

class Engine {
   public:
    // master: the pty master, used but not closed (a hang-up replaces it by /dev/null).
    // slave: an open slave descriptor used to see whether the daemon has read
    // everything before exiting, or -1.
    Engine(Options options, int master, int slave = -1);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Memory, replay file, output files and the control FIFO. False with a message.
    bool open(std::string& error);
    // Runs until stop_fd becomes readable, "quit", --duration or, with --exit-when-done,
    // the end of the telegrams. Returns the exit status.
    int run(int stop_fd);

    const Module& module() const { return module_; }
    const Counters& counters() const { return counters_; }
    std::uint64_t seed() const { return seed_; }
    // One line for stderr at exit.
    std::string summary() const;

   private:
    // A burst on its way out: transmitted at the line rate after the bursts before it.
    struct Queued {
        Bytes data;
        const char* kind;
        std::int64_t start_ns;  // when its first byte is due
        std::size_t written;
    };

    void send_burst(const Bytes& burst, const char* kind, std::int64_t now, std::int64_t delay_ns = 0);
    // Writes to the pty whatever the UART has handed over by now_ns.
    void transmit(std::int64_t now_ns);
    // When the next chunk is due, or -1 (nothing queued, or the pty is full).
    std::int64_t next_chunk_ns() const;
    void send_answers(std::int64_t now);
    void send_telegram(const Bytes& telegram, std::int64_t now, double dbm);
    double random_dbm();
    Bytes random_bytes(std::size_t min, std::size_t max);
    void begin_sources(std::int64_t now);
    void run_sources(std::int64_t now);
    void after_source_telegram(std::int64_t now);
    // Earliest time a source may send under --min-gap-ms; -1 without one.
    std::int64_t quiet_until() const;
    bool exhausted() const;
    void read_master(std::int64_t now);
    void read_control(std::int64_t now);
    void control_line(const std::string& line, std::int64_t now);
    void hang_up();
    void write_stats();
    bool slave_queue_empty() const;

    Options options_;
    int master_;
    int slave_;
    Module module_;
    Counters counters_;
    std::uint64_t seed_ = 0;
    std::mt19937_64 rng_;

    int sent_fd_ = -1;
    int trace_fd_ = -1;
    int control_fd_ = -1;
    int control_keepalive_fd_ = -1;
    bool control_created_ = false;
    std::string control_buffer_;

    std::deque<Queued> line_;        // bursts in line order
    std::int64_t line_free_ns_ = 0;  // when the last queued burst has left the line
    bool blocked_ = false;           // the pty did not take all that was due
    bool hung_up_ = false;
    bool muted_ = false;  // "mute": commands from the daemon are dropped unanswered
    bool quit_ = false;
    std::int64_t quit_ms_ = -1;
    std::int64_t master_idle_until_ = -1;

    std::int64_t start_ms_ = 0;
    std::int64_t chatter_until_ = -1;
    std::int64_t next_chatter_ = -1;
    bool started_ = false;

    std::vector<ReplayEntry> replay_;
    std::size_t replay_index_ = 0;
    std::int64_t replay_due_ = -1;
    // When the last burst has left the line (with --chunk 0: when it was written, plus
    // its transmission time with --full-rate).
    std::int64_t last_burst_end_ms_ = 0;

    std::vector<Meter> meters_;
    std::int64_t generate_due_ = -1;

    std::int64_t garbage_due_ = -1;
    std::uint64_t source_telegrams_ = 0;
    std::int64_t done_since_ = -1;
    bool stats_dirty_ = false;
    std::int64_t stats_written_ = 0;
};

}  // namespace norvalith::sim
