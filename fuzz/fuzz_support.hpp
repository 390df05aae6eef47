// Helpers shared by the fuzz targets: an independent Base64 decoder, scratch
// directories and hard failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvalith::fuzz {

// Prints what broke and aborts, so libFuzzer keeps the input as a crash.
[[noreturn]] inline void fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void check(bool condition, const char* what) {
    if (!condition) {
        fail(what);
    }
}

// Strict RFC 4648 decoding: padding only at the end, unused bits zero. Written
// apart from the encoder so that both cannot share a mistake.
inline std::optional<std::vector<std::uint8_t>> base64_decode(std::string_view text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const std::size_t pad = last ? (text[at + 3] == '=') + (text[at + 2] == '=') : 0;
        if (pad == 1 && text[at + 2] == '=') {
            return std::nullopt;
        }
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const int v = k >= 4 - pad ? 0 : value(text[at + k]);
            if (v < 0) {
                return std::nullopt;
            }
            group = group << 6U | static_cast<std::uint32_t>(v);
        }
        if ((pad == 1 && (group & 0xFFU) != 0) || (pad == 2 && (group & 0xFFFFU) != 0)) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(group >> 16U));
        if (pad < 2) out.push_back(static_cast<std::uint8_t>(group >> 8U));
        if (pad < 1) out.push_back(static_cast<std::uint8_t>(group));
    }
    return out;
}

// A fresh directory for the life of the fuzzing process, on tmpfs when there is
// one: the export path fsyncs every file.
inline std::string scratch_directory(const char* tag) {
    const char* base = std::getenv("TMPDIR");
    std::string root = base != nullptr ? base : "/tmp";
    if (FILE* probe = std::fopen("/dev/shm/.norvalith-fuzz-probe", "w")) {
        std::fclose(probe);
        std::remove("/dev/shm/.norvalith-fuzz-probe");
        root = "/dev/shm";
    }
    std::string pattern = root + "/norvalith-" + tag + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("cannot create a scratch directory");
    }
    return pattern;
}

inline std::string read_file(const std::string& path) {
    std::string content;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            content.append(chunk, got);
        }
        std::fclose(file);
    }
    return content;
}

inline void write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    check(file != nullptr, "cannot write a scratch file");
    check(size == 0 || std::fwrite(data, 1, size, file) == size, "short write to a scratch file");
    check(std::fclose(file) == 0, "cannot close a scratch file");
}

}  // namespace norvalith::fuzz
