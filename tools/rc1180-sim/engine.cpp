#include "engine.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sstream>

namespace norvalith::sim {

namespace {

constexpr std::int64_t kChatterPeriodMs = 100;
constexpr std::size_t kGarbageMaxBytes = 40;
// After the last burst, time for the daemon's reader to finish its burst before we exit.
constexpr std::int64_t kExitLingerMs = 300;
constexpr std::int64_t kExitDrainLimitMs = 3000;
// Nobody holds the slave: master reads fail at once, so look again only this much later.
constexpr std::int64_t kIdleRetryMs = 100;
constexpr std::int64_t kStatsPeriodMs = 1000;
constexpr std::int64_t kMaxPollNs = 60'000'000'000;

bool read_file(const std::string& path, std::string& out, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = path + ": " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

int open_append(const std::string& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
    }
    return fd;
}

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void append_line(int fd, const std::string& line) {
    if (fd >= 0) {
        write_all(fd, line.data(), line.size());
    }
}

// A due time held back to floor; -1 (nothing due) stays -1.
std::int64_t not_before(std::int64_t due, std::int64_t floor) { return due < 0 ? due : std::max(due, floor); }

std::int64_t earliest(std::int64_t a, std::int64_t b) {
    if (a < 0) {
        return b;
    }
    if (b < 0) {
        return a;
    }
    return std::min(a, b);
}

}  // namespace

std::int64_t monotonic_ms() {
    return monotonic_ns() / 1000000;
}

std::int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

std::uint64_t pick_seed(const Options& options) {
    return options.seed_given ? options.seed
                              : std::random_device{}() ^ static_cast<std::uint64_t>(std::time(nullptr)) << 20U;
}

Engine::Engine(Options options, int master, int slave)
    : options_(std::move(options)),
      master_(master),
      slave_(slave),
      module_(factory_memory(), options_.faults),
      seed_(pick_seed(options_)),
      rng_(seed_) {
    if (master_ >= 0) {
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
}

Engine::~Engine() {
    for (const int fd : {sent_fd_, trace_fd_, control_fd_, control_keepalive_fd_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    if (control_created_) {
        unlink(options_.control_path.c_str());
    }
}

bool Engine::open(std::string& error) {
    Memory memory = factory_memory();
    if (!options_.memory_file.empty() && access(options_.memory_file.c_str(), F_OK) == 0 &&
        !load_memory(options_.memory_file, memory, error)) {
        return false;
    }
    module_ = Module(memory, options_.faults);

    if (!options_.replay_file.empty()) {
        std::string text;
        if (!read_file(options_.replay_file, text, error)) {
            return false;
        }
        std::string parse_error;
        if (!parse_replay(text, replay_, parse_error)) {
            error = options_.replay_file + ": " + parse_error;
            return false;
        }
    }
    meters_ = make_meters(options_.generate, rng_);

    if (!options_.sent_file.empty() && (sent_fd_ = open_append(options_.sent_file, error)) < 0) {
        return false;
    }
    if (!options_.trace_file.empty() && (trace_fd_ = open_append(options_.trace_file, error)) < 0) {
        return false;
    }
    if (!options_.control_path.empty()) {
        const char* path = options_.control_path.c_str();
        struct stat st {};
        if (lstat(path, &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) {
                error = options_.control_path + ": exists and is not a FIFO";
                return false;
            }
            unlink(path);
        }
        if (mkfifo(path, 0600) != 0) {
            error = options_.control_path + ": " + std::strerror(errno);
            return false;
        }
        control_created_ = true;
        control_fd_ = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        // Our own writer keeps the FIFO from reporting end of file whenever a client closes it.
        control_keepalive_fd_ = ::open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (control_fd_ < 0 || control_keepalive_fd_ < 0) {
            error = options_.control_path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::string Engine::summary() const {
    char line[256];
    std::snprintf(line, sizeof line,
                  "rc1180-sim: %llu memory writes in %llu write sessions (flash rated for about 10000), "
                  "%llu telegrams and %llu garbage bursts sent, %llu bytes received",
                  static_cast<unsigned long long>(module_.memory_writes()),
                  static_cast<unsigned long long>(module_.completed_writes()),
                  static_cast<unsigned long long>(counters_.telegrams_sent),
                  static_cast<unsigned long long>(counters_.garbage_sent),
                  static_cast<unsigned long long>(counters_.bytes_received));
    return line;
}

void Engine::write_stats() {
    stats_dirty_ = false;
    if (options_.stats_file.empty()) {
        return;
    }
    std::ostringstream text;
    text << "memory_writes=" << module_.memory_writes() << '\n'
         << "write_sessions=" << module_.completed_writes() << '\n'
         << "left_config=" << (module_.has_left_config() ? 1 : 0) << '\n'
         << "telegrams_sent=" << counters_.telegrams_sent << '\n'
         << "garbage_sent=" << counters_.garbage_sent << '\n'
         << "bytes_sent=" << counters_.bytes_sent << '\n'
         << "bytes_received=" << counters_.bytes_received << '\n'
         << "seed=" << seed_ << '\n';
    const std::string content = text.str();
    const std::string temp = options_.stats_file + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    write_all(fd, content.data(), content.size());
    ::close(fd);
    rename(temp.c_str(), options_.stats_file.c_str());
}

void Engine::transmit(std::int64_t now_ns) {
    blocked_ = false;
    while (!line_.empty() && !hung_up_) {
        Queued& burst = line_.front();
        const std::size_t due = uart_bytes_due(burst.data.size(), options_.chunk, now_ns - burst.start_ns);
        while (burst.written < due) {
            // Read before the write, so the daemon can never have the byte before its time.
            const std::int64_t first_byte_ms = burst.written == 0 ? monotonic_ms() : 0;
            const ssize_t n = ::write(master_, burst.data.data() + burst.written, due - burst.written);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                blocked_ = true;
                return;
            }
            if (burst.written == 0 && sent_fd_ >= 0) {
                append_line(sent_fd_,
                            std::to_string(first_byte_ms) + " " + burst.kind + " " + to_hex(burst.data) + "\n");
            }
            burst.written += static_cast<std::size_t>(n);
        }
        if (burst.written < burst.data.size()) {
            return;
        }
        line_.pop_front();
    }
}

std::int64_t Engine::next_chunk_ns() const {
    if (line_.empty() || blocked_ || hung_up_) {
        return -1;
    }
    // transmit() has written all that was due, so the next chunk starts at the written count.
    return line_.front().start_ns + transmission_ns(line_.front().written);
}

void Engine::send_burst(const Bytes& burst, const char* kind, std::int64_t now, std::int64_t delay_ns) {
    if (hung_up_ || burst.empty()) {
        return;
    }
    const std::int64_t now_ns = monotonic_ns();
    if (options_.chunk == 0) {
        line_.push_back({burst, kind, now_ns, 0});
        last_burst_end_ms_ = now + (options_.full_rate ? transmission_ms(burst.size()) : 0);
    } else {
        // A burst that falls due while another is on the line follows it without a gap.
        const std::int64_t start_ns = std::max(now_ns, line_free_ns_) + delay_ns;
        line_free_ns_ = start_ns + transmission_ns(burst.size());
        line_.push_back({burst, kind, start_ns, 0});
        last_burst_end_ms_ = (line_free_ns_ + 999999) / 1000000;
    }
    counters_.bytes_sent += burst.size();
    transmit(now_ns);
}

void Engine::send_answers(std::int64_t now) {
    for (const Bytes& answer : module_.take_answers()) {
        send_burst(answer, "answer", now);
    }
    if (module_.take_memory_committed()) {
        std::string error;
        if (!options_.memory_file.empty() && !save_memory(options_.memory_file, module_.memory(), error)) {
            std::fprintf(stderr, "rc1180-sim: %s\n", error.c_str());
        }
        write_stats();
    }
}

double Engine::random_dbm() {
    std::uniform_real_distribution<double> dbm(options_.rssi_low_dbm, options_.rssi_high_dbm);
    return dbm(rng_);
}

Bytes Engine::random_bytes(std::size_t min, std::size_t max) {
    std::uniform_int_distribution<std::size_t> size(min, max);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    Bytes out(size(rng_));
    for (std::uint8_t& b : out) {
        b = static_cast<std::uint8_t>(byte(rng_));
    }
    return out;
}

void Engine::send_telegram(const Bytes& telegram, std::int64_t now, double dbm) {
    const Bytes burst = frame_telegram(telegram, module_.rssi_mode(), rssi_byte(dbm), options_.rssi_appended);
    if (options_.pause_share > 0.0 && options_.chunk > 0 && burst.size() > 2 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < options_.pause_share) {
        // The pause falls anywhere inside; the rest follows it.
        const std::size_t cut = std::uniform_int_distribution<std::size_t>(1, burst.size() - 1)(rng_);
        const std::int64_t pause_ms =
            std::uniform_int_distribution<std::int64_t>(options_.pause_low_ms, options_.pause_high_ms)(rng_);
        send_burst(Bytes(burst.begin(), burst.begin() + static_cast<std::ptrdiff_t>(cut)), "telegram", now);
        send_burst(Bytes(burst.begin() + static_cast<std::ptrdiff_t>(cut), burst.end()), "rest", now,
                   pause_ms * 1000000);
    } else {
        send_burst(burst, "telegram", now);
    }
    ++counters_.telegrams_sent;
    stats_dirty_ = true;
}

void Engine::begin_sources(std::int64_t now) {
    started_ = true;
    if (!replay_.empty()) {
        replay_due_ = now + replay_[0].delay_ms.value_or(options_.gap_ms);
    }
    if (!meters_.empty()) {
        generate_due_ = now + options_.gap_ms;
    }
}

void Engine::after_source_telegram(std::int64_t now) {
    ++source_telegrams_;
    if (options_.count > 0 && source_telegrams_ >= options_.count) {
        replay_due_ = generate_due_ = garbage_due_ = -1;
        return;
    }
    if (options_.garbage > 0.0 && garbage_due_ < 0 &&
        std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < options_.garbage) {
        // Halfway to the next telegram, so it stands apart as its own burst where it can.
        const std::int64_t sent = options_.full_rate ? last_burst_end_ms_ : now;
        const std::int64_t next = earliest(replay_due_, generate_due_);
        garbage_due_ = sent + (next < 0 ? options_.gap_ms : std::max<std::int64_t>(0, next - sent)) / 2;
    }
}

std::int64_t Engine::quiet_until() const {
    if (options_.min_gap_ms <= 0) {
        return -1;
    }
    return last_burst_end_ms_ + options_.min_gap_ms;
}

void Engine::run_sources(std::int64_t now) {
    const auto can_send = [&] {
        return started_ && !hung_up_ && !quit_ && !blocked_ && !module_.in_config() && !module_.busy() &&
               now >= quiet_until();
    };
    if (can_send() && replay_due_ >= 0 && now >= replay_due_) {
        send_telegram(replay_[replay_index_].telegram, now, random_dbm());
        ++replay_index_;
        if (replay_index_ == replay_.size() && options_.repeat) {
            replay_index_ = 0;
        }
        const std::int64_t paced = options_.full_rate ? last_burst_end_ms_ : now;
        replay_due_ =
            replay_index_ < replay_.size() ? paced + replay_[replay_index_].delay_ms.value_or(options_.gap_ms) : -1;
        after_source_telegram(now);
    }
    if (can_send() && generate_due_ >= 0 && now >= generate_due_) {
        std::uniform_int_distribution<std::size_t> pick(0, meters_.size() - 1);
        send_telegram(make_telegram(meters_[pick(rng_)], rng_), now, random_dbm());
        if (options_.full_rate) {
            generate_due_ = last_burst_end_ms_ + options_.gap_ms;
        } else {
            // Poisson arrivals; counted from the due time so the rate holds, but no
            // catching up in a rush after the line was blocked.
            const double u = std::uniform_real_distribution<double>(0.0, 1.0)(rng_);
            const auto gap = static_cast<std::int64_t>(std::llround(-std::log1p(-u) / options_.rate * 1000.0));
            generate_due_ = std::max(generate_due_, now - 1000) + gap;
        }
        after_source_telegram(now);
    }
    if (can_send() && garbage_due_ >= 0 && now >= garbage_due_) {
        garbage_due_ = -1;
        send_burst(random_bytes(1, kGarbageMaxBytes), "garbage", now);
        ++counters_.garbage_sent;
    }
}

bool Engine::exhausted() const {
    if (options_.count > 0 && source_telegrams_ >= options_.count) {
        return true;
    }
    if (!options_.replay_file.empty() || options_.generate > 0) {
        return started_ && replay_due_ < 0 && generate_due_ < 0 && garbage_due_ < 0;
    }
    return started_ && options_.control_path.empty();
}

bool Engine::slave_queue_empty() const {
    int queued = 0;
    return slave_ < 0 || (ioctl(slave_, FIONREAD, &queued) == 0 && queued == 0);
}

void Engine::read_master(std::int64_t now) {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n <= 0) {
            // EIO: no process holds the slave open.
            master_idle_until_ = now + kIdleRetryMs;
            return;
        }
        const std::span<const std::uint8_t> got(buffer, static_cast<std::size_t>(n));
        counters_.bytes_received += got.size();
        if (trace_fd_ >= 0) {
            append_line(trace_fd_, std::to_string(now) + " " + to_hex(got) + "\n");
        }
        // A chattering module is not listening yet; a muted one no longer is.
        if ((chatter_until_ >= 0 && now < chatter_until_) || muted_) {
            continue;
        }
        const bool was_out = module_.has_left_config();
        module_.receive(got, now);
        if (module_.has_left_config() != was_out) {
            stats_dirty_ = true;
        }
        send_answers(now);
    }
}

void Engine::hang_up() {
    // Closing the master hangs the line up; /dev/null keeps the descriptor number valid
    // for whoever owns it.
    const int null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, master_);
        ::close(null_fd);
    }
    hung_up_ = true;
    line_.clear();
    blocked_ = false;
}

void Engine::control_line(const std::string& line, std::int64_t now) {
    std::istringstream words(line);
    std::string command;
    std::string argument;
    std::string extra;
    words >> command >> argument >> extra;
    // After "quit" only what was asked before still goes out.
    if (command.empty() || quit_) {
        return;
    }
    Bytes bytes;
    if (command == "quit") {
        quit_ = true;
    } else if (command == "hangup") {
        hang_up();
    } else if (command == "mute" || command == "unmute") {
        muted_ = command == "mute";
    } else if (command == "raw") {
        // Bytes may be grouped with blanks here: nothing else follows them.
        std::string digits;
        for (const char c : line.substr(line.find("raw") + 3)) {
            if (c != ' ' && c != '\t' && c != '\r') {
                digits.push_back(c);
            }
        }
        if (!parse_hex(digits, bytes) || bytes.empty()) {
            std::fprintf(stderr, "rc1180-sim: control: cannot do \"%s\"\n", line.c_str());
            return;
        }
        send_burst(bytes, "raw", now);
    } else if (command == "tx" && parse_hex(argument, bytes) && !bytes.empty()) {
        double dbm = 0.0;
        char* end = nullptr;
        if (extra.empty()) {
            dbm = random_dbm();
        } else if (dbm = std::strtod(extra.c_str(), &end); *end != '\0') {
            std::fprintf(stderr, "rc1180-sim: control: bad signal strength: %s\n", extra.c_str());
            return;
        }
        send_telegram(bytes, now, dbm);
    } else {
        std::fprintf(stderr, "rc1180-sim: control: cannot do \"%s\"\n", line.c_str());
    }
}

void Engine::read_control(std::int64_t now) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(control_fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        control_buffer_.append(buffer, static_cast<std::size_t>(n));
    }
    std::size_t end;
    while ((end = control_buffer_.find('\n')) != std::string::npos) {
        std::string line = control_buffer_.substr(0, end);
        control_buffer_.erase(0, end + 1);
        control_line(line, now);
    }
    if (control_buffer_.size() > 65536) {
        control_buffer_.clear();
    }
}

int Engine::run(int stop_fd) {
    start_ms_ = monotonic_ms();
    if (options_.faults.chatter && options_.chatter_seconds > 0) {
        chatter_until_ = start_ms_ + static_cast<std::int64_t>(options_.chatter_seconds * 1000.0);
        next_chatter_ = start_ms_;
    }
    const std::int64_t end_ms =
        options_.duration_s > 0 ? start_ms_ + static_cast<std::int64_t>(options_.duration_s * 1000.0) : -1;
    if (options_.no_handshake) {
        begin_sources(start_ms_);
    }
    write_stats();

    for (;;) {
        const std::int64_t now_ns = monotonic_ns();
        std::int64_t now = now_ns / 1000000;
        transmit(now_ns);
        module_.tick(now);
        send_answers(now);
        if (!started_ && module_.has_left_config()) {
            begin_sources(now);
        }
        if (next_chatter_ >= 0 && now >= next_chatter_) {
            if (now < chatter_until_) {
                send_burst(random_bytes(1, 8), "chatter", now);
                next_chatter_ = now + std::uniform_int_distribution<std::int64_t>(kChatterPeriodMs * 8 / 10,
                                                                                  kChatterPeriodMs * 12 / 10)(rng_);
            } else {
                next_chatter_ = -1;
            }
        }
        run_sources(now);
        if (stats_dirty_ && now - stats_written_ >= kStatsPeriodMs) {
            stats_written_ = now;
            write_stats();
        }

        if (quit_ && quit_ms_ < 0) {
            quit_ms_ = now;
        }
        // "quit" lets the line finish what was asked for before it.
        if ((quit_ && (line_.empty() || hung_up_ || now - quit_ms_ >= kExitDrainLimitMs)) ||
            (end_ms >= 0 && now >= end_ms)) {
            break;
        }
        std::int64_t wake = earliest(module_.next_due_ms(), next_chatter_);
        wake = earliest(wake, end_ms);
        if (options_.exit_when_done && exhausted() && line_.empty()) {
            if (done_since_ < 0) {
                done_since_ = now;
            }
            const bool read_by_daemon = slave_queue_empty() && now - last_burst_end_ms_ >= kExitLingerMs;
            if (hung_up_ || read_by_daemon || now - done_since_ >= kExitDrainLimitMs) {
                break;
            }
            wake = earliest(wake, now + 20);
        }
        if (started_ && !module_.in_config() && !blocked_) {
            const std::int64_t floor = quiet_until();
            wake = earliest(wake, not_before(replay_due_, floor));
            wake = earliest(wake, not_before(generate_due_, floor));
            wake = earliest(wake, not_before(garbage_due_, floor));
        }
        if (stats_dirty_) {
            wake = earliest(wake, stats_written_ + kStatsPeriodMs);
        }
        const bool master_idle = master_idle_until_ >= 0 && now < master_idle_until_;
        if (master_idle) {
            wake = earliest(wake, master_idle_until_);
        }

        pollfd fds[3];
        nfds_t count = 0;
        int master_slot = -1;
        int control_slot = -1;
        int stop_slot = -1;
        if (!hung_up_ && !master_idle) {
            master_slot = static_cast<int>(count);
            fds[count++] = {master_, static_cast<short>(POLLIN | (blocked_ ? POLLOUT : 0)), 0};
        }
        if (control_fd_ >= 0) {
            control_slot = static_cast<int>(count);
            fds[count++] = {control_fd_, POLLIN, 0};
        }
        if (stop_fd >= 0) {
            stop_slot = static_cast<int>(count);
            fds[count++] = {stop_fd, POLLIN, 0};
        }
        // Chunks are due at sub-millisecond times; the rest of the loop counts whole milliseconds.
        const std::int64_t wake_ns = earliest(wake < 0 ? -1 : wake * 1000000, next_chunk_ns());
        timespec timeout{};
        if (wake_ns >= 0) {
            const std::int64_t wait_ns = std::clamp<std::int64_t>(wake_ns - monotonic_ns(), 0, kMaxPollNs);
            timeout.tv_sec = static_cast<time_t>(wait_ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(wait_ns % 1000000000);
        }
        const int ready = ppoll(fds, count, wake_ns < 0 ? nullptr : &timeout, nullptr);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "rc1180-sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        now = monotonic_ms();
        if (ready <= 0) {
            continue;
        }
        if (master_slot >= 0 && (fds[master_slot].revents & POLLNVAL) != 0) {
            std::fprintf(stderr, "rc1180-sim: the pty master is gone\n");
            hung_up_ = true;
        } else if (master_slot >= 0 && fds[master_slot].revents != 0) {
            if ((fds[master_slot].revents & POLLOUT) != 0) {
                transmit(monotonic_ns());
            }
            if ((fds[master_slot].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                read_master(now);
            }
        }
        if (control_slot >= 0 && (fds[control_slot].revents & POLLIN) != 0) {
            read_control(now);
        }
        if (stop_slot >= 0 && fds[stop_slot].revents != 0) {
            // Whatever the daemon sent last still belongs in the trace.
            if (!hung_up_) {
                read_master(now);
            }
            break;
        }
    }
    write_stats();
    return 0;
}

}  // namespace norvalith::sim
