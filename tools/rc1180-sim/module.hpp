// The RC1180 module's command interpreter and configuration memory, without any I/O.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <vector>

namespace norvalith::sim {

using Memory = std::array<std::uint8_t, 256>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kEnterConfig = 0x00;
inline constexpr std::uint8_t kReadMemory = '0';
inline constexpr std::uint8_t kWriteMemory = 'M';
inline constexpr std::uint8_t kEndWrite = 0xFF;
inline constexpr std::uint8_t kExitConfig = 'X';
inline constexpr std::uint8_t kPrompt = '>';
inline constexpr std::uint8_t kWrongPrompt = '?';
inline constexpr std::uint8_t kRssiModeAddress = 5;
// Time the module needs to commit a write to its flash before it prompts again.
inline constexpr std::int64_t kFlashWriteMs = 31;
// Bytes of memory the short-memory fault answers with.
inline constexpr std::size_t kShortMemoryBytes = 40;

struct Faults {
    bool silent = false;           // never answers
    bool wrong_prompt = false;     // answers 0x00 with '?'
    bool short_memory = false;     // memory answer cut to 40 bytes
    bool chatter = false;          // random bytes for a while after start (driven by the engine)
    bool no_write_prompt = false;  // no prompt after the end of a write
};

// What a module fresh from the factory holds; differs from the daemon's table.
Memory factory_memory();

// Exactly 256 bytes from path. False (with error) when missing, unreadable or of another size.
bool load_memory(const std::string& path, Memory& memory, std::string& error);
// Writes a temporary file beside path and renames it into place.
bool save_memory(const std::string& path, const Memory& memory, std::string& error);

class Module {
   public:
    explicit Module(const Memory& memory, Faults faults = {});

    // Bytes from the daemon, received at now_ms. Answers become available via take_answers().
    void receive(std::span<const std::uint8_t> bytes, std::int64_t now_ms);
    // Finishes a flash write that is due by now_ms (and handles input held meanwhile).
    void tick(std::int64_t now_ms);
    // When tick() has work to do, or -1.
    std::int64_t next_due_ms() const { return busy_until_ms_; }

    // Answers produced since the last call, one burst each.
    std::vector<Bytes> take_answers();
    // True once after each completed write (time to save the memory).
    bool take_memory_committed();

    bool in_config() const { return state_ != State::normal; }
    bool busy() const { return busy_until_ms_ >= 0; }
    bool has_left_config() const { return left_config_; }
    bool rssi_mode() const { return memory_[kRssiModeAddress] == 1; }
    const Memory& memory() const { return memory_; }
    std::uint64_t memory_writes() const { return memory_writes_; }
    std::uint64_t completed_writes() const { return completed_writes_; }

   private:
    enum class State { normal, config, write_address, write_value };

    void handle(std::uint8_t byte, std::int64_t now_ms);
    void answer(Bytes burst);

    Memory memory_;
    Faults faults_;
    State state_ = State::normal;
    std::uint8_t address_ = 0;
    std::int64_t busy_until_ms_ = -1;
    std::deque<std::uint8_t> held_;
    std::vector<Bytes> answers_;
    bool left_config_ = false;
    bool committed_ = false;
    bool mute_next_unknown_ = false;
    std::uint64_t memory_writes_ = 0;
    std::uint64_t completed_writes_ = 0;
};

}  // namespace norvalith::sim
