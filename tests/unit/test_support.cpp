#include "test_support.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "base/log.hpp"

namespace norvalith::test {

namespace {
std::vector<LogLine> g_lines;
void capture(int priority, const char* text) { g_lines.push_back({priority, text}); }
}  // namespace

CapturedLog::CapturedLog() {
    g_lines.clear();
    set_log_sink(capture);
}
CapturedLog::~CapturedLog() { set_log_sink(nullptr); }
const std::vector<LogLine>& CapturedLog::lines() const { return g_lines; }
std::vector<std::string> CapturedLog::texts() const {
    std::vector<std::string> out;
    for (const auto& line : g_lines) {
        out.push_back(line.text);
    }
    return out;
}

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/norvalith-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}
TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}
void TempDir::write(const std::string& name, const std::string& content) const {
    std::ofstream out(file(name), std::ios::binary);
    out << content;
}
std::string TempDir::read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
std::vector<std::string> TempDir::list() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

Pty::Pty() {
    char name[128];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}
Pty::~Pty() {
    close_slave();
    close_master();
}
void Pty::close_slave() {
    if (slave_ >= 0) {
        close(slave_);
        slave_ = -1;
    }
}
void Pty::close_master() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}
void Pty::send(const std::string& data) const {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(master_, data.data() + done, data.size() - done);
        if (n < 0) {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
            continue;
        }
        done += static_cast<std::size_t>(n);
    }
}
std::string Pty::drain(int wait_ms) const {
    std::string out;
    pollfd p{master_, POLLIN, 0};
    int timeout = wait_ms;
    while (poll(&p, 1, timeout) > 0) {
        char buffer[1024];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<std::size_t>(n));
        timeout = 20;
    }
    return out;
}

PrivateKey::PrivateKey() {
    for (int i = 0; i < 16; ++i) {
        const std::string name = "key" + std::to_string(i);
        dir_.write(name, "");
        path_ = dir_.file(name);
        key_ = ftok(path_.c_str(), 1);
        if (shmget(key_, 0, 0) == -1 && errno == ENOENT) {
            return;
        }
    }
    throw std::runtime_error("no free shared-memory key");
}
PrivateKey::~PrivateKey() {
    const int id = shmid();
    if (id != -1) {
        shmctl(id, IPC_RMID, nullptr);
    }
}
int PrivateKey::shmid() const { return shmget(key_, 0, 0); }

ZoneGuard::ZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) {
        had_ = true;
        old_ = old;
    }
    setenv("TZ", zone, 1);
    tzset();
}
ZoneGuard::~ZoneGuard() {
    if (had_) {
        setenv("TZ", old_.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

int as_unprivileged(int (*body)(void* context), void* context) {
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgroups(0, nullptr) != 0 || setgid(nobody->pw_gid) != 0 ||
                setuid(nobody->pw_uid) != 0) {
                _exit(255);
            }
        }
        _exit(body(context));
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 255) {
        return -1;
    }
    return WEXITSTATUS(status);
}

int file_mode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<int>(info.st_mode & 07777U) : -1;
}

unsigned current_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) {
        out.push_back(static_cast<char>(v));
    }
    return out;
}
std::string hex(const std::string& data) {
    static const char* digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : data) {
        out.push_back(digits[c >> 4U]);
        out.push_back(digits[c & 15U]);
    }
    return out;
}
std::string from_hex(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return out;
}
std::string base64_decode(const std::string& text) {
    std::string out;
    unsigned value = 0;
    int bits = 0;
    for (char c : text) {
        int d = -1;
        if (c >= 'A' && c <= 'Z') d = c - 'A';
        if (c >= 'a' && c <= 'z') d = c - 'a' + 26;
        if (c >= '0' && c <= '9') d = c - '0' + 52;
        if (c == '+') d = 62;
        if (c == '/') d = 63;
        if (d < 0) break;
        value = (value << 6U) | static_cast<unsigned>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((value >> static_cast<unsigned>(bits)) & 0xFFU));
        }
    }
    return out;
}

std::string raw_of(const std::string& document) {
    const std::string open = "<Raw encoding=\"base64\">";
    const auto start = document.find(open);
    const auto end = document.find("</Raw>");
    if (start == std::string::npos || end == std::string::npos) {
        return "<no raw>";
    }
    return base64_decode(document.substr(start + open.size(), end - start - open.size()));
}
double now_seconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}
double seconds_since(double start) { return now_seconds() - start; }

}  // namespace norvalith::test
