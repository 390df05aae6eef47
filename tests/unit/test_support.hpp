// Shared helpers for the unit tests: captured log, temporary directories, ptys.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace norvalith::test {

struct LogLine {
    int priority;
    std::string text;
    bool operator==(const LogLine&) const = default;
};
// How a failing expectation shows a log line.
inline void PrintTo(const LogLine& line, std::ostream* out) { *out << '<' << line.priority << "> " << line.text; }

// Captures log_msg output for the life of the object.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;
    const std::vector<LogLine>& lines() const;
    std::vector<std::string> texts() const;
};

// A fresh directory under $TMPDIR, removed with its contents at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    std::vector<std::string> list() const;

private:
    std::string path_;
};

// A raw pseudo-terminal pair; the slave side stands for the serial line.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int master() const { return master_; }
    int slave() const { return slave_; }
    const std::string& slave_path() const { return path_; }
    void close_slave();
    void close_master();
    void send(const std::string& bytes) const;
    // Everything the slave side has written so far, waiting up to wait_ms for the first byte.
    std::string drain(int wait_ms = 100) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// A key file of its own whose key no segment uses yet; the segment is removed at the end.
class PrivateKey {
public:
    PrivateKey();
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;
    const std::string& path() const { return path_; }
    key_t key() const { return key_; }
    int shmid() const;
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    std::string path_;
    key_t key_ = -1;
};

// Sets TZ for one test and restores it afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone);
    ~ZoneGuard();
    ZoneGuard(const ZoneGuard&) = delete;
    ZoneGuard& operator=(const ZoneGuard&) = delete;

private:
    bool had_ = false;
    std::string old_;
};

// Runs body in a child process that is not root (user nobody when started as root)
// and returns its result, or -1 when the child could not be made so.
int as_unprivileged(int (*body)(void* context), void* context);

// Permission bits of a file (-1 when it cannot be stat'ed), and the process's umask.
int file_mode(const std::string& path);
unsigned current_umask();

std::string bytes(std::initializer_list<int> values);
// The first n bytes of data (all of them by default) as the daemon's interfaces take them.
inline std::span<const std::uint8_t> span_of(const std::string& data, std::size_t n = std::string::npos) {
    return {reinterpret_cast<const std::uint8_t*>(data.data()), n < data.size() ? n : data.size()};
}
// Independent Base64 decoder, so the encoder is never checked against itself.
std::string base64_decode(const std::string& text);
// The decoded raw copy of an export document ("<no raw>" when it has none).
std::string raw_of(const std::string& document);
std::string hex(const std::string& data);
std::string from_hex(const std::string& text);
double seconds_since(double start);
double now_seconds();

}  // namespace norvalith::test
