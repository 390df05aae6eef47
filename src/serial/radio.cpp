#include "serial/radio.hpp"

#include <unistd.h>

#include <cstddef>
#include <iterator>
#include <span>

#include "base/clock.hpp"
#include "base/log.hpp"
#include "serial/reader.hpp"

namespace norvalith {

namespace {

constexpr std::int32_t kResponseCapacity = 512;
constexpr std::int32_t kAnswerTimeoutSeconds = 5;
constexpr std::int32_t kDrainTimeoutSeconds = 1;
constexpr std::int32_t kDrainLimitSeconds = 10;

void send(int line, std::span<const std::uint8_t> bytes) {
    // Results are not checked: a lost command shows as a missing answer.
    [[maybe_unused]] const ssize_t ignored = write(line, bytes.data(), bytes.size());
}

void send_byte(int line, std::uint8_t byte) { send(line, {&byte, 1}); }

bool prompt_answered(SerialLine& line, std::span<std::uint8_t> response) {
    const std::int32_t n = read_frame(line, response, kAnswerTimeoutSeconds);
    return n > 0 && response[0] == kPrompt;
}

// Discards whatever the module says before we speak, but not for ever: a module
// that never falls quiet would otherwise hold start-up indefinitely.
void drain(SerialLine& line, std::span<std::uint8_t> response) {
    const std::int32_t start = monotonic_seconds();
    int rounds = 0;
    while (read_frame(line, response, kDrainTimeoutSeconds) > 0) {
        ++rounds;
        const std::int32_t now = monotonic_seconds();
        const bool clockless = start < 0 || now < 0;
        // Without a clock, count bursts; each lasts at least a few milliseconds.
        if ((clockless && rounds >= kDrainLimitSeconds * 50) ||
            (!clockless && now - start >= kDrainLimitSeconds)) {
            return;
        }
    }
}

}  // namespace

bool init_radio(SerialLine& line) {
    std::uint8_t response[kResponseCapacity] = {};
    drain(line, response);

    send_byte(line.fd, kCmdEnterConfig);
    if (!prompt_answered(line, response)) {
        return false;
    }

    send_byte(line.fd, kCmdReadMemory);
    const std::int32_t memory_size = read_frame(line, response, kAnswerTimeoutSeconds);
    if (memory_size <= 0) {
        return false;
    }

    ConfigPair changes[std::size(CONFIG_PAIRS)];
    std::size_t change_count = 0;
    for (const ConfigPair& pair : CONFIG_PAIRS) {
        if (pair.address == 255) {
            break;
        }
        // An answer too short to reach this address says nothing about it: write it.
        if (pair.address >= memory_size || response[pair.address] != pair.value) {
            changes[change_count++] = pair;
        }
    }

    if (change_count > 0) {
        send_byte(line.fd, kCmdWriteMemory);
        if (!prompt_answered(line, response)) {
            return false;
        }
        for (std::size_t i = 0; i < change_count; ++i) {
            const std::uint8_t bytes[2] = {changes[i].address, changes[i].value};
            send(line.fd, bytes);
        }
        const std::uint8_t end[2] = {kCmdEndWrite, kCmdEndWrite};
        send(line.fd, end);
        if (!prompt_answered(line, response)) {
            return false;
        }
        log_msg(LOG_NOTICE, "rc1180 successfully initialized");
    }

    send_byte(line.fd, kCmdExitConfig);
    return true;
}

}  // namespace norvalith
