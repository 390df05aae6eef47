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

// Every byte must reach the module: one lost pair byte shifts its address/value
// pairing. A line that takes nothing for a while is waited for, but not for ever
// (Linux writes the time left back, so the allowance is for the whole send).
bool send(int line, std::span<const std::uint8_t> bytes, std::int32_t timeout_seconds) {
    if (line < 0 || line >= FD_SETSIZE) {
        return false;
    }
    timeval allowance{timeout_seconds, 0};
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

bool send_byte(int line, std::uint8_t byte, std::int32_t timeout_seconds) { return send(line, {&byte, 1}, timeout_seconds); }

bool prompt_answered(SerialLine& line, std::span<std::uint8_t> response, const RadioTimeouts& timeouts) {
    const std::int32_t n = read_frame(line, response, timeouts.answer_seconds, timeouts.allowance_ms);
    return n > 0 && response[0] == kPrompt;
}

// Discards whatever the module says before we speak, but not for ever: a module
// that never falls quiet would otherwise hold start-up indefinitely.
void drain(SerialLine& line, std::span<std::uint8_t> response, const RadioTimeouts& timeouts) {
    const std::int32_t start = monotonic_seconds();
    int rounds = 0;
    while (read_frame(line, response, timeouts.drain_quiet_seconds, timeouts.allowance_ms) > 0) {
        ++rounds;
        const std::int32_t now = monotonic_seconds();
        const bool clockless = start < 0 || now < 0;
        // Without a clock, count bursts; each lasts at least a few milliseconds.
        if ((clockless && rounds >= timeouts.drain_limit_seconds * 50) ||
            (!clockless && now - start >= timeouts.drain_limit_seconds)) {
            return;
        }
    }
}

}  // namespace

bool init_radio(SerialLine& line, const RadioTimeouts& timeouts) {
    std::uint8_t response[kResponseCapacity] = {};
    drain(line, response, timeouts);

    if (!send_byte(line.fd, kCmdEnterConfig, timeouts.write_seconds) || !prompt_answered(line, response, timeouts)) {
        return false;
    }

    if (!send_byte(line.fd, kCmdReadMemory, timeouts.write_seconds)) {
        return false;
    }
    const std::int32_t memory_size = read_frame(line, response, timeouts.answer_seconds, timeouts.allowance_ms);
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
        if (!send_byte(line.fd, kCmdWriteMemory, timeouts.write_seconds) || !prompt_answered(line, response, timeouts)) {
            return false;
        }
        for (std::size_t i = 0; i < change_count; ++i) {
            const std::uint8_t bytes[2] = {changes[i].address, changes[i].value};
            if (!send(line.fd, bytes, timeouts.write_seconds)) {
                return false;
            }
        }
        const std::uint8_t end[2] = {kCmdEndWrite, kCmdEndWrite};
        if (!send(line.fd, end, timeouts.write_seconds) || !prompt_answered(line, response, timeouts)) {
            return false;
        }
    }

    // Until the module has left configuration mode it sends no telegram: only then
    // is it initialized.
    if (!send_byte(line.fd, kCmdExitConfig, timeouts.write_seconds)) {
        return false;
    }
    if (change_count > 0) {
        log_msg(LOG_NOTICE, "rc1180 successfully initialized");
    }
    return true;
}

bool send_command(SerialLine& line, std::uint8_t command, std::int32_t timeout_seconds) {
    return send_byte(line.fd, command, timeout_seconds);
}

}  // namespace norvalith
