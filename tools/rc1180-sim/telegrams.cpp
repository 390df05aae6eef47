#include "telegrams.hpp"

#include <algorithm>
#include <cmath>

namespace norvalith::sim {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool all_digits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string_view trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::uint8_t bcd(unsigned value) {
    return static_cast<std::uint8_t>((value / 10 % 10) << 4U | value % 10);
}

// Device types common on the air: electricity, gas, heat, warm water, water, heat cost
// allocator, cooling, cold water, smoke detector, room sensor.
constexpr std::uint8_t kDeviceTypes[] = {0x02, 0x03, 0x04, 0x06, 0x07, 0x08, 0x0A, 0x16, 0x1A, 0x1B};

}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out.push_back(digits[b >> 4U]);
        out.push_back(digits[b & 15U]);
    }
    return out;
}

bool parse_hex(std::string_view text, Bytes& out) {
    out.clear();
    if (text.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]);
        const int lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return true;
}

std::uint8_t rssi_byte(double dbm) {
    const long value = std::lround(-2.0 * dbm);
    return static_cast<std::uint8_t>(std::clamp(value, 0L, 255L));
}

Bytes frame_telegram(std::span<const std::uint8_t> telegram, bool rssi_mode, std::uint8_t rssi,
                     bool rssi_appended) {
    Bytes burst(telegram.begin(), telegram.end());
    if (rssi_mode && !burst.empty()) {
        // A length byte of 255 cannot count further; it stays as it is.
        if (burst[0] < 255 && !rssi_appended) {
            ++burst[0];
        }
        burst.push_back(rssi);
    }
    return burst;
}

std::int64_t transmission_ms(std::size_t bytes) {
    return static_cast<std::int64_t>((bytes * 10 * 1000 + 19199) / 19200);
}

std::int64_t transmission_ns(std::size_t bytes) {
    return (static_cast<std::int64_t>(bytes) * 10 * 1000000000 + 19199) / 19200;
}

std::size_t uart_bytes_due(std::size_t size, std::size_t chunk, std::int64_t elapsed_ns) {
    if (elapsed_ns < 0) {
        return 0;
    }
    if (chunk == 0 || elapsed_ns >= transmission_ns(size)) {
        return size;
    }
    // elapsed_ns is below the burst's transmission time here, so this cannot overflow.
    const auto chunks =
        static_cast<std::size_t>(elapsed_ns * 19200 / (static_cast<std::int64_t>(chunk) * 10 * 1000000000)) + 1;
    return std::min(size, chunks * chunk);
}

bool parse_replay(std::string_view text, std::vector<ReplayEntry>& out, std::string& error) {
    out.clear();
    bool table = false;
    std::size_t line_number = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++line_number;
        line = trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::string_view first_column = trim(line.substr(0, line.find('\t')));
        if (!table && out.empty() && (first_column == "hex" || first_column == "HEX")) {
            table = true;
            continue;
        }
        ReplayEntry entry;
        std::string_view hex = line;
        if (table) {
            hex = first_column;
        } else {
            const std::size_t gap = line.find_first_of(" \t");
            if (gap != std::string_view::npos) {
                const std::string_view delay = line.substr(0, gap);
                hex = trim(line.substr(gap));
                if (!all_digits(delay) || delay.size() > 9) {
                    error = "line " + std::to_string(line_number) + ": expected \"DELAY_MS HEX\" or \"HEX\"";
                    return false;
                }
                entry.delay_ms = std::stoll(std::string(delay));
            }
        }
        if (!parse_hex(hex, entry.telegram) || entry.telegram.empty()) {
            error = "line " + std::to_string(line_number) + ": not an even number of hex digits";
            return false;
        }
        out.push_back(std::move(entry));
    }
    return true;
}

std::vector<Meter> make_meters(std::size_t n, std::mt19937_64& rng) {
    std::uniform_int_distribution<unsigned> id_digits(1, 99999999);
    std::uniform_int_distribution<unsigned> letter(1, 26);
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::uniform_int_distribution<std::size_t> type(0, std::size(kDeviceTypes) - 1);
    std::uniform_int_distribution<std::uint32_t> volume(0, 2000000);
    std::vector<unsigned> used;
    std::vector<Meter> meters;
    meters.reserve(n);
    while (meters.size() < n) {
        const unsigned id = id_digits(rng);
        if (std::find(used.begin(), used.end(), id) != used.end()) {
            continue;
        }
        used.push_back(id);
        Meter m{};
        m.id[0] = bcd(id);
        m.id[1] = bcd(id / 100);
        m.id[2] = bcd(id / 10000);
        m.id[3] = bcd(id / 1000000);
        m.manufacturer = static_cast<std::uint16_t>(letter(rng) << 10U | letter(rng) << 5U | letter(rng));
        m.version = static_cast<std::uint8_t>(byte(rng));
        m.device_type = kDeviceTypes[type(rng)];
        m.access_number = static_cast<std::uint8_t>(byte(rng));
        m.volume_litres = volume(rng);
        meters.push_back(m);
    }
    return meters;
}

Bytes make_telegram(Meter& meter, std::mt19937_64& rng) {
    std::uniform_int_distribution<unsigned> usage(0, 50);
    std::uniform_int_distribution<unsigned> filler(0, 12);
    meter.volume_litres = (meter.volume_litres + usage(rng)) % 100000000U;
    ++meter.access_number;

    Bytes t;
    // Room for the longest telegram up front: no reallocation while it grows (GCC 12
    // at -O2 also misreads the growth of a four-byte vector as an overread).
    t.reserve(40);
    t.push_back(0);     // length, filled in below
    t.push_back(0x44);  // SND_NR
    t.push_back(static_cast<std::uint8_t>(meter.manufacturer & 0xFFU));
    t.push_back(static_cast<std::uint8_t>(meter.manufacturer >> 8U));
    t.insert(t.end(), meter.id, meter.id + 4);
    t.push_back(meter.version);
    t.push_back(meter.device_type);
    // Short application header, no encryption.
    t.push_back(0x7A);
    t.push_back(meter.access_number);
    t.push_back(0x00);  // status
    t.push_back(0x00);  // configuration word
    t.push_back(0x00);
    // Volume in litres, 8 BCD digits, then the error flags.
    t.push_back(0x0C);
    t.push_back(0x13);
    unsigned v = meter.volume_litres;
    for (int i = 0; i < 4; ++i, v /= 100) {
        t.push_back(bcd(v % 100));
    }
    t.push_back(0x02);
    t.push_back(0xFD);
    t.push_back(0x17);
    t.push_back(0x00);
    t.push_back(0x00);
    // Idle fill, so telegram lengths vary as they do on the air.
    const unsigned fill = filler(rng);
    t.insert(t.end(), fill, 0x2F);
    t[0] = static_cast<std::uint8_t>(t.size() - 1);
    return t;
}

}  // namespace norvalith::sim
