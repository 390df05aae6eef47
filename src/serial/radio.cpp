#include "serial/radio.hpp"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
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
// A command is a few bytes, milliseconds at 19200 bit/s: a line that takes none
// of them for this long is stuck.
constexpr std::int32_t kWriteTimeoutSeconds = 2;

// Every byte must reach the module: one lost pair byte shifts its address/value
// pairing. A line that takes nothing for a while is waited for, but not for ever
// (Linux writes the time left back, so the allowance is for the whole send).
bool send(int line, std::span<const std::uint8_t> bytes) {
    if (line < 0 || line >= FD_SETSIZE) {
        return false;
    }
    timeval allowance{kWriteTimeoutSeconds, 0};
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(line, bytes.data() + done, bytes.size() - done);
        if (written > 0) {
            done += static_cast<std::size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(line, &writable);
        const int ready = select(line + 1, nullptr, &writable, nullptr, &allowance);
        if (ready == 0 || (ready < 0 && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

bool send_byte(int line, std::uint8_t byte) { return send(line, {&byte, 1}); }

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

    if (!send_byte(line.fd, kCmdEnterConfig) || !prompt_answered(line, response)) {
        return false;
    }

    if (!send_byte(line.fd, kCmdReadMemory)) {
        return false;
    }
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
        if (!send_byte(line.fd, kCmdWriteMemory) || !prompt_answered(line, response)) {
            return false;
        }
        for (std::size_t i = 0; i < change_count; ++i) {
            const std::uint8_t bytes[2] = {changes[i].address, changes[i].value};
            if (!send(line.fd, bytes)) {
                return false;
            }
        }
        const std::uint8_t end[2] = {kCmdEndWrite, kCmdEndWrite};
        if (!send(line.fd, end) || !prompt_answered(line, response)) {
            return false;
        }
    }

    // Until the module has left configuration mode it sends no telegram: only then
    // is it initialized.
    if (!send_byte(line.fd, kCmdExitConfig)) {
        return false;
    }
    if (change_count > 0) {
        log_msg(LOG_NOTICE, "rc1180 successfully initialized");
    }
    return true;
}

}  // namespace norvalith
