#include "module.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norvalith::sim {

Memory factory_memory() {
    Memory m{};
    // Addresses above the parameter block are erased flash.
    for (std::size_t i = 64; i < m.size(); ++i) {
        m[i] = 0xFF;
    }
    m[0] = 11;     // channel
    m[1] = 5;      // output power
    m[2] = 1;      // data rate
    m[3] = 0;      // S mode; the daemon wants T
    m[4] = 0;      // sleep off
    m[5] = 0;      // no RSSI byte after a telegram
    m[10] = 0;     // preamble
    m[16] = 64;    // receive timeout
    m[18] = 0;     // network role: meter
    m[19] = 0x0C;  // own manufacturer code and address
    m[20] = 0xAE;
    m[21] = 0x01;
    m[22] = 0;
    m[25] = 0x12;
    m[26] = 0x34;
    m[27] = 0x56;
    m[28] = 0x78;
    m[48] = 5;  // UART at 19200 bit/s
    m[49] = 0;  // no flow control
    m[53] = 0;
    m[54] = 0;
    m[58] = 1;  // LED on receive
    m[61] = 0;  // install mode
    m[62] = 0;
    m[63] = 0;
    return m;
}

bool load_memory(const std::string& path, Memory& memory, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    Memory loaded{};
    std::size_t total = 0;
    std::uint8_t extra = 0;
    for (;;) {
        const ssize_t n =
            total < loaded.size() ? read(fd, loaded.data() + total, loaded.size() - total) : read(fd, &extra, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    close(fd);
    if (total != loaded.size()) {
        error = path + ": holds " + std::to_string(total) + " bytes, not 256";
        return false;
    }
    memory = loaded;
    return true;
}

bool save_memory(const std::string& path, const Memory& memory, std::string& error) {
    std::string temp = path + ".XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < memory.size()) {
        const ssize_t n = write(fd, memory.data() + done, memory.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            error = temp + ": " + std::strerror(errno);
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    fchmod(fd, 0644);
    const bool ok = fsync(fd) == 0 && close(fd) == 0;
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

Module::Module(const Memory& memory, Faults faults) : memory_(memory), faults_(faults) {}

void Module::receive(std::span<const std::uint8_t> bytes, std::int64_t now_ms) {
    tick(now_ms);
    for (const std::uint8_t byte : bytes) {
        // While the flash is written the module takes nothing in; the UART buffer holds it.
        if (busy()) {
            held_.push_back(byte);
        } else {
            handle(byte, now_ms);
        }
    }
}

void Module::tick(std::int64_t now_ms) {
    if (!busy() || now_ms < busy_until_ms_) {
        return;
    }
    const std::int64_t done_ms = busy_until_ms_;
    busy_until_ms_ = -1;
    ++completed_writes_;
    committed_ = true;
    if (faults_.no_write_prompt) {
        // The daemon ends a write with two 0xFF; the second must not draw a prompt either.
        mute_next_unknown_ = true;
    } else {
        answer({kPrompt});
    }
    while (!held_.empty() && !busy()) {
        const std::uint8_t byte = held_.front();
        held_.pop_front();
        handle(byte, done_ms);
    }
}

std::vector<Bytes> Module::take_answers() {
    std::vector<Bytes> out;
    out.swap(answers_);
    return out;
}

bool Module::take_memory_committed() {
    const bool committed = committed_;
    committed_ = false;
    return committed;
}

void Module::answer(Bytes burst) {
    if (faults_.silent) {
        return;
    }
    answers_.push_back(std::move(burst));
}

void Module::handle(std::uint8_t byte, std::int64_t now_ms) {
    switch (state_) {
        case State::normal:
            // Outside configuration mode only the escape byte means anything.
            if (byte == kEnterConfig) {
                state_ = State::config;
                answer({faults_.wrong_prompt ? kWrongPrompt : kPrompt});
            }
            return;
        case State::config:
            if (byte != kEndWrite) {
                mute_next_unknown_ = false;
            }
            if (byte == kReadMemory) {
                const std::size_t size = faults_.short_memory ? kShortMemoryBytes : memory_.size();
                Bytes burst(memory_.begin(), memory_.begin() + static_cast<std::ptrdiff_t>(size));
                burst.push_back(kPrompt);
                answer(std::move(burst));
            } else if (byte == kWriteMemory) {
                state_ = State::write_address;
                answer({kPrompt});
            } else if (byte == kExitConfig) {
                state_ = State::normal;
                left_config_ = true;
            } else if (mute_next_unknown_) {
                mute_next_unknown_ = false;
            } else {
                answer({kPrompt});
            }
            return;
        case State::write_address:
            if (byte == kEndWrite) {
                state_ = State::config;
                busy_until_ms_ = now_ms + kFlashWriteMs;
            } else {
                address_ = byte;
                state_ = State::write_value;
            }
            return;
        case State::write_value:
            memory_[address_] = byte;
            ++memory_writes_;
            state_ = State::write_address;
            return;
    }
}

}  // namespace norvalith::sim
