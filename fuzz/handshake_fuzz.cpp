// RC1180 handshake against a scripted module on a pseudo-terminal. Whatever the
// module answers, init_radio returns within bounded time, speaks only the
// protocol (0x00, '0', then 'M', pairs of CONFIG_PAIRS in table order, 0xFF 0xFF,
// and 'X' only on success), leaves out only pairs the memory answer already
// holds, and logs the success message exactly when it wrote pairs.
//
// Input: answers separated by 0xFE, each cut to 256 bytes: chatter before the
// handshake, then the answers to 0x00, '0', 'M' and 0xFF 0xFF. An empty answer is
// silence; an answer of the single byte 0xFD hangs the line up instead.
//
// The line waits run 50 times faster (select and nanosleep are wrapped at link
// time), so a silent module costs 100 ms instead of 5 s.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/log.hpp"
#include "core/constants.hpp"
#include "fuzz_support.hpp"
#include "serial/radio.hpp"

namespace {

using norvalith::fuzz::check;

constexpr long long kTimeScale = 50;
constexpr std::uint8_t kSeparator = 0xFE;
constexpr std::uint8_t kHangUp = 0xFD;
constexpr std::size_t kAnswerCap = 256;
constexpr auto kBound = std::chrono::seconds(5);

std::atomic<bool> g_wrapped{false};
int g_successes = 0;

void count_log(int, const char* text) {
    if (std::strcmp(text, "rc1180 successfully initialized") == 0) {
        ++g_successes;
    }
}

long long micros(const timeval& t) {
    return t.tv_sec * 1000000LL + t.tv_usec;
}
timeval from_micros(long long us) {
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

// Plays the module: answers each command from the script and records what the
// daemon sent, checking it against the grammar of the exchange.
struct Module {
    std::vector<std::string> script;  // [0] chatter, [1..4] answers
    int master = -1;
    int stop = -1;
    std::string sent;
    std::vector<std::pair<std::uint8_t, std::uint8_t>> pairs;
    enum Phase { kEnter, kRead, kWriteOrExit, kPairs, kExit, kDone } phase = kEnter;
    bool wrote_memory = false;
    std::string pending_pair;

    void answer(std::size_t index) {
        if (master < 0 || index >= script.size() || script[index].empty()) {
            return;
        }
        if (script[index] == std::string(1, static_cast<char>(kHangUp))) {
            close(master);
            master = -1;
            return;
        }
        [[maybe_unused]] const ssize_t ignored = write(master, script[index].data(), script[index].size());
    }

    void take(std::uint8_t byte) {
        sent += static_cast<char>(byte);
        switch (phase) {
            case kEnter:
                check(byte == norvalith::kCmdEnterConfig, "first command is not 0x00");
                phase = kRead;
                answer(1);
                break;
            case kRead:
                check(byte == norvalith::kCmdReadMemory, "second command is not '0'");
                phase = kWriteOrExit;
                answer(2);
                break;
            case kWriteOrExit:
                if (byte == norvalith::kCmdExitConfig) {
                    phase = kDone;
                    break;
                }
                check(byte == norvalith::kCmdWriteMemory, "after '0' came neither 'M' nor 'X'");
                wrote_memory = true;
                phase = kPairs;
                answer(3);
                break;
            case kPairs:
                pending_pair += static_cast<char>(byte);
                if (pending_pair.size() == 2) {
                    const auto address = static_cast<std::uint8_t>(pending_pair[0]);
                    const auto value = static_cast<std::uint8_t>(pending_pair[1]);
                    pending_pair.clear();
                    if (address == norvalith::kCmdEndWrite && value == norvalith::kCmdEndWrite) {
                        phase = kExit;
                        answer(4);
                    } else {
                        pairs.emplace_back(address, value);
                    }
                }
                break;
            case kExit:
                check(byte == norvalith::kCmdExitConfig, "after the end bytes came something but 'X'");
                phase = kDone;
                break;
            case kDone: norvalith::fuzz::fail("bytes after 'X'");
        }
    }

    // Until told to stop; then what the daemon wrote last is still taken in. The
    // stop byte says whether 'X' is due ('X': wait for it up to a second) or not
    // ('-': 20 ms of quiet end it).
    void run() {
        char stop_byte = 0;
        auto deadline = std::chrono::steady_clock::now();
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {stop_byte != 0 ? -1 : stop, POLLIN, 0}};
            const int ready = poll(fds, 2, stop_byte != 0 ? 20 : 1000);
            if (ready > 0 && (fds[0].revents & POLLIN) != 0) {
                std::uint8_t chunk[512];
                const ssize_t got = read(master, chunk, sizeof chunk);
                for (ssize_t i = 0; i < got; ++i) {
                    take(chunk[i]);
                }
                if (got > 0) {
                    continue;
                }
            }
            if (stop_byte != 0) {
                if (stop_byte != 'X' || phase == kDone || std::chrono::steady_clock::now() > deadline) {
                    return;
                }
                continue;
            }
            if (ready > 0 && (fds[1].revents & POLLIN) != 0 && read(stop, &stop_byte, 1) == 1) {
                deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
            }
        }
    }
};

std::vector<std::string> split_script(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size && parts.size() <= 5; ++i) {
        if (data[i] == kSeparator) {
            parts.emplace_back();
        } else if (parts.back().size() < kAnswerCap) {
            parts.back() += static_cast<char>(data[i]);
        }
    }
    return parts;
}

}  // namespace

// The line waits of the daemon, on a faster clock. Linux writes the time left
// back, and the reader relies on that, so the remainder is scaled back up.
extern "C" int __real_select(int, fd_set*, fd_set*, fd_set*, timeval*);
extern "C" int __wrap_select(int count, fd_set* readable, fd_set* writable, fd_set* failed, timeval* timeout) {
    g_wrapped = true;
    if (timeout == nullptr) {
        return __real_select(count, readable, writable, failed, timeout);
    }
    const long long asked = micros(*timeout);
    timeval scaled = from_micros(asked / kTimeScale);
    const int result = __real_select(count, readable, writable, failed, &scaled);
    *timeout = from_micros(std::min(asked, micros(scaled) * kTimeScale));
    return result;
}

extern "C" int __real_nanosleep(const timespec*, timespec*);
extern "C" int __wrap_nanosleep(const timespec* duration, timespec* left) {
    const long long ns = (duration->tv_sec * 1000000000LL + duration->tv_nsec) / kTimeScale;
    const timespec scaled{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return __real_nanosleep(&scaled, left);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Closing the master side must not end the fuzzer.
    std::signal(SIGHUP, SIG_IGN);
    norvalith::set_log_sink(count_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Module module;
    module.script = split_script(data, size);

    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    check(openpty(&module.master, &slave, nullptr, &raw, nullptr) == 0, "openpty");
    check(fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK) == 0, "non-blocking line");
    int stop[2];
    check(pipe(stop) == 0, "pipe");
    module.stop = stop[0];
    g_successes = 0;
    g_wrapped = false;

    // The chatter is on the line before the daemon starts draining it.
    module.answer(0);
    std::thread peer([&module] { module.run(); });
    const auto start = std::chrono::steady_clock::now();
    norvalith::SerialLine line{slave};
    using namespace norvalith;
    const bool ok = init_radio(line, {kAnswerTimeoutSeconds, kDrainQuietSeconds, kDrainLimitSeconds,
                                      kWriteTimeoutSeconds, kBurstAllowanceMs});
    const auto elapsed = std::chrono::steady_clock::now() - start;
    [[maybe_unused]] const ssize_t ignored = write(stop[1], ok ? "X" : "-", 1);
    peer.join();
    close(stop[0]);
    close(stop[1]);
    close(slave);
    if (module.master >= 0) {
        close(module.master);
    }

    check(g_wrapped, "select is not wrapped: the line waits run at full length");
    check(elapsed < kBound, "init_radio took too long");
    check(ok == (module.phase == Module::kDone), "'X' sent exactly when init_radio succeeds");
    check(g_successes == (ok && module.wrote_memory ? 1 : 0), "success message exactly when memory was written");

    // Pairs in table order, each with its table value; once the list is known to be
    // complete, a pair left out must already stand in the memory answer.
    const bool complete = (module.phase == Module::kDone && !module.wrote_memory) ||
                          (module.wrote_memory && module.phase >= Module::kExit);
    check(!complete || !module.wrote_memory || !module.pairs.empty(), "memory written without a pair");
    const std::string memory = module.script.size() > 2 ? module.script[2] : std::string();
    std::size_t next = 0;
    for (const norvalith::ConfigPair& pair : norvalith::CONFIG_PAIRS) {
        if (pair.address == 255) {
            break;
        }
        if (next < module.pairs.size() && module.pairs[next].first == pair.address) {
            check(module.pairs[next].second == pair.value, "pair written with another value");
            ++next;
        } else if (complete) {
            check(pair.address < memory.size() && static_cast<std::uint8_t>(memory[pair.address]) == pair.value,
                  "a differing parameter was not written");
        }
    }
    check(next == module.pairs.size(), "pairs not from the table or out of order");
    return 0;
}
