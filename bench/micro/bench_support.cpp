#include "bench_support.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace norvalith::bench {

namespace {
constexpr const char* kTelegram =
    "4E44B40512345678F1077A310040052F2F01FD08040C13991848004C1359423500CC101300000000CC20135942350042"
    "6C7F2C0B3B00000002FD74DA10025AD300C4016D3B179F27CC011387124600";
}

Burst sample_burst() {
    Burst burst{};
    const std::size_t length = std::strlen(kTelegram) / 2;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned byte = 0;
        std::sscanf(kTelegram + 2 * i, "%2x", &byte);
        burst.rx[i] = static_cast<std::uint8_t>(byte);
    }
    burst.n = static_cast<std::int32_t>(length);
    return burst;
}

void fill_table(MeterTable& table) {
    for (std::size_t i = 0; i < kTableEntries; ++i) {
        table.entries[i] = MeterInfo{static_cast<std::uint32_t>(20000001 + i), 7, 0x05B4, 0};
    }
}

DeviceIdentity sample_identity() {
    DeviceIdentity identity{};
    std::strcpy(identity.name, "gw1");
    std::strcpy(identity.device_id, "001122AABBCC");
    std::strcpy(identity.public_ip, "10.1.2.3");
    std::strcpy(identity.firmware, "Norvalith-2.0\n");
    return identity;
}

std::string make_scratch_directory() {
    const char* base = std::getenv("TMPDIR");
    std::string root = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : base != nullptr ? base : "/tmp";
    std::string pattern = root + "/norvalith-bench-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return pattern;
}

void remove_scratch_directory(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

}  // namespace norvalith::bench
