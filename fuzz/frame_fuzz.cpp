// Reception path: one burst through one pass of the loop (receive) on a table in
// plain memory, an export directory on tmpfs and a line that is a pipe holding
// whatever follows the burst. Checked against models written apart from the
// daemon: how the burst divides into telegrams (exact runs split, a telegram cut
// at the end completed from the line when its rest is there, anything else taken
// whole, pieces that cannot hold a header ignored), the header fields, the table
// rules (refresh a known id's trailer, else fill the first empty entry, a full
// table stays as it is), the marked slots, the receive buffer afterwards, the bytes
// left on the line, and the export file byte for byte, its Base64 decoded and
// compared with the raw copy (min(L, size) bytes of its telegram, last byte zeroed).
//
// Input: bytes 0-1 n (little endian, modulo 513); byte 2 entries in use before the
// burst (modulo 129); byte 3 bit 7 "meter already in the table" and bits 0-6 the
// settings slot that names the meter of the first header; byte 4 bit 0 "a second
// slot names it too"; then 512 bytes of receive buffer (the burst, then what earlier
// bursts left there); whatever follows is on the line after the burst.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/clock.hpp"
#include "base/log.hpp"
#include "core/loop.hpp"
#include "fuzz_support.hpp"

namespace {

using norvalith::fuzz::check;
using norvalith::fuzz::fail;

constexpr std::size_t kControlBytes = 5;
constexpr std::int32_t kBufferSize = sizeof(norvalith::Receiver::rx);
// Far above any id eight BCD nibbles can give (at most 166666665).
constexpr std::uint32_t kOtherIds = 3'000'000'000U;

std::string g_dir;
int g_log_messages = 0;

void count_log(int, const char*) {
    ++g_log_messages;
}

void remove_scratch() {
    rmdir(g_dir.c_str());
}

std::vector<std::string> directory_entries() {
    std::vector<std::string> names;
    DIR* dir = opendir(g_dir.c_str());
    check(dir != nullptr, "export directory vanished");
    while (const dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(dir);
    return names;
}

std::uint32_t model_id(const std::uint8_t* b) {
    std::uint32_t id = 0;
    std::uint32_t weight = 1;
    for (int i = 0; i < 4; ++i, weight *= 100) {
        id += (b[i] >> 4U) * 10U * weight + (b[i] & 15U) * weight;
    }
    return id;
}

std::string escaped(const char* text) {
    std::string out;
    for (; *text != '\0'; ++text) {
        switch (*text) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += *text;
        }
    }
    return out;
}

std::string model_letters(std::uint32_t code) {
    if (code == 0) {
        return "---";
    }
    return {static_cast<char>('@' + (code >> 10U & 31U)), static_cast<char>('@' + (code >> 5U & 31U)),
            static_cast<char>('@' + (code & 31U))};
}

std::string printed(const char* format, unsigned long long a, unsigned long long b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// The one export file against the document the burst must give.
void check_export(const std::string& content, const std::string& name, const norvalith::MeterInfo& meter,
                  const norvalith::DeviceIdentity& identity, const std::uint8_t* raw, std::size_t raw_length,
                  std::time_t before, std::time_t after) {
    const std::string head = std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n") +
                             "<Envelope xmlns=\"urn:zol-meter:temp-1-0\">\n" + "  <Push firmware=\"" +
                             escaped(identity.firmware) + "\" name=\"" + escaped(identity.name) + "\" deviceID=\"" +
                             escaped(identity.device_id) + "\">\n" + "    <WAN public-ip=\"" +
                             escaped(identity.public_ip) + "\"/>\n" + printed("    <Meter id=\"%08llu\"", meter.id) +
                             " medium=\"V\" mfct=\"" + escaped(model_letters(meter.manufacturer).c_str()) +
                             printed("\" address=\"%08llu\">\n", meter.id) + "      <StoreTime source=\"Network Time\"";
    check(content.compare(0, head.size(), head) == 0, "export lines 1-5 or the start of 6");

    // Line 6 rest: ` iso8601="<20 characters>" utime="<digits>"/>` and a line feed.
    const std::string iso_open = " iso8601=\"";
    const std::string utime_open = "\" utime=\"";
    std::size_t at = head.size();
    check(content.compare(at, iso_open.size(), iso_open) == 0, "export line 6 iso8601");
    at += iso_open.size();
    const std::string iso = content.substr(at, 20);
    at += iso.size();
    check(content.compare(at, utime_open.size(), utime_open) == 0, "export line 6 utime");
    at += utime_open.size();
    unsigned long long utime = 0;
    const std::size_t digits_at = at;
    for (; at < content.size() && content[at] >= '0' && content[at] <= '9' && at - digits_at < 19; ++at) {
        utime = utime * 10 + static_cast<unsigned>(content[at] - '0');
    }
    check(at > digits_at && content.compare(at, 4, "\"/>\n") == 0, "export line 6 end");
    const std::size_t raw_at = at + 4;
    check(utime >= static_cast<unsigned long long>(before) && utime <= static_cast<unsigned long long>(after),
          "utime is not the time of the export");
    const auto when = static_cast<std::time_t>(utime);
    std::tm local{};
    localtime_r(&when, &local);
    char expected_iso[32];
    std::snprintf(expected_iso, sizeof expected_iso, "%04d-%02d-%02dT%02d:%02d:%02dZ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    check(iso == expected_iso, "iso8601 is not the local time of utime");
    char expected_name[64];
    std::snprintf(expected_name, sizeof expected_name, "%08u_%04d-%02d-%02d.xml", meter.id, local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday);
    check(name == expected_name, "export file name");

    const std::string raw_open = "      <Raw encoding=\"base64\">";
    const std::string tail = "</Raw>\n    </Meter>\n  </Push>\n</Envelope>\n";
    check(content.compare(raw_at, raw_open.size(), raw_open) == 0, "export line 7 start");
    check(content.size() >= raw_at + raw_open.size() + tail.size() &&
              content.compare(content.size() - tail.size(), tail.size(), tail) == 0,
          "export lines 7-10 end");
    const std::size_t text_at = raw_at + raw_open.size();
    const auto decoded = norvalith::fuzz::base64_decode(
        std::string_view(content).substr(text_at, content.size() - tail.size() - text_at));
    check(decoded.has_value(), "raw copy is not Base64");
    check(decoded->size() == raw_length, "raw copy length is not min(L, n)");
    check(raw_length == 0 || std::memcmp(decoded->data(), raw, raw_length) == 0, "raw copy bytes");
}


// One telegram (or burst taken whole) the loop must handle, as it stands after
// handling: its last byte zeroed.
struct Handled {
    std::vector<std::uint8_t> bytes;
    norvalith::MeterInfo meter;
};

// The reception pass, from the description of the line: a telegram is a length
// byte L and L more bytes; a piece that cannot hold a header is ignored.
struct Model {
    std::uint8_t rx[kBufferSize];
    norvalith::MeterTable table;
    std::vector<Handled> handled;
    std::size_t consumed = 0;

    void handle(std::size_t at, std::size_t size) {
        if (size < 10 || rx[at] < 9) {
            return;
        }
        const std::uint8_t* b = rx + at;
        const norvalith::MeterInfo meter{model_id(b + 4), b[9], b[2] + 256U * b[3], b[size - 1]};
        for (norvalith::MeterInfo& entry : table.entries) {
            if (entry.id == meter.id) {
                entry.trailer = meter.trailer;
                break;
            }
            if (entry.id == 0) {
                entry = meter;
                break;
            }
        }
        rx[at + size - 1] = 0;
        handled.push_back({std::vector<std::uint8_t>(b, b + size), meter});
    }

    void receive(std::size_t n, const std::vector<std::uint8_t>& line) {
        if (n == 0) {
            return;
        }
        // Pieces from the start while each has a length byte of 9 or more and fits.
        std::vector<std::size_t> starts;
        std::size_t at = 0;
        while (at < n && rx[at] >= 9 && at + rx[at] + 1 <= n) {
            starts.push_back(at);
            at += rx[at] + 1;
        }
        if (!starts.empty() && at == n) {
            for (std::size_t s : starts) {
                handle(s, rx[s] + 1U);
            }
            return;
        }
        const bool cut = at < n && rx[at] >= 9;
        if (!cut || line.empty()) {
            handle(0, n);
            return;
        }
        const std::size_t missing = at + rx[at] + 1 - n;
        consumed = std::min(missing, line.size());
        std::size_t base = 0;
        std::size_t have = n;
        if (n + missing > kBufferSize) {
            for (std::size_t s : starts) {
                handle(s, rx[s] + 1U);
            }
            have = n - at;
            std::memmove(rx, rx + at, have);
            starts.clear();
            at = 0;
        }
        std::memcpy(rx + have, line.data(), consumed);
        if (consumed < missing) {
            handle(base, have + consumed);
            return;
        }
        for (std::size_t s : starts) {
            handle(s, rx[s] + 1U);
        }
        handle(at, rx[at] + 1U);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = norvalith::fuzz::scratch_directory("export");
    std::atexit(remove_scratch);
    norvalith::set_log_sink(count_log);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kControlBytes) {
        return 0;
    }
    const std::int32_t n = (data[0] | data[1] << 8) % (kBufferSize + 1);
    const std::size_t in_use = data[2] % (norvalith::kTableEntries + 1);
    const bool known = (data[3] & 0x80U) != 0;
    const std::size_t slot = data[3] & 0x7FU;
    const bool second_slot = (data[4] & 1U) != 0;
    const std::size_t rx_bytes = std::min<std::size_t>(size - kControlBytes, kBufferSize);
    const std::vector<std::uint8_t> line_bytes(data + kControlBytes + rx_bytes, data + size);

    static norvalith::MeterTable table;
    static norvalith::Receiver receiver{};
    receiver.table = &table;
    receiver.export_dir = g_dir.c_str();
    std::strcpy(receiver.identity.name, "gw<1>&'\"");
    std::strcpy(receiver.identity.device_id, "001122AABBCC");
    std::strcpy(receiver.identity.public_ip, "10.1.2.3");
    std::strcpy(receiver.identity.firmware, "Norvalith-2.0\n");
    std::memset(receiver.rx, 0, sizeof receiver.rx);
    std::memcpy(receiver.rx, data + kControlBytes, rx_bytes);
    Model model;
    std::memcpy(model.rx, receiver.rx, sizeof model.rx);

    // The configured meter is the one the first header names.
    const std::uint32_t configured = model_id(model.rx + 4);
    for (std::size_t i = 0; i < norvalith::kTableEntries; ++i) {
        table.entries[i] =
            i < in_use ? norvalith::MeterInfo{kOtherIds + static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i),
                                              0x1000U + static_cast<std::uint32_t>(i), 0xEEU}
                       : norvalith::MeterInfo{};
    }
    if (known && in_use > 0) {
        table.entries[slot % in_use].id = configured;
    }
    model.table = table;
    for (norvalith::MeterSlot& s : receiver.settings.meters) {
        s = {};
    }
    norvalith::reset_daily(receiver.daily);
    receiver.settings.meters[slot].address = configured;
    if (second_slot) {
        receiver.settings.meters[(slot + 1) % norvalith::kMeterSlots].address = configured;
    }
    g_log_messages = 0;

    // The line: a pipe with the following bytes in it and its writing end closed,
    // so the daemon finds them at once and then a line with nothing more to give.
    int pipe_ends[2];
    check(pipe(pipe_ends) == 0, "pipe");
    check(line_bytes.size() <= 65536, "input larger than a pipe holds");
    check(line_bytes.empty() ||
              write(pipe_ends[1], line_bytes.data(), line_bytes.size()) == static_cast<ssize_t>(line_bytes.size()),
          "filling the line");
    close(pipe_ends[1]);
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    norvalith::SerialLine line{pipe_ends[0]};
    line.last_bytes_ms = norvalith::monotonic_ms();  // the burst was read just now

    const std::time_t start = std::time(nullptr);
    norvalith::receive(receiver, line, n, norvalith::read_wall_clock(), norvalith::monotonic_seconds());
    const std::time_t end = std::time(nullptr);
    check(g_log_messages == 0, "a burst was logged");

    std::vector<std::uint8_t> left(line_bytes.size() + 1);
    const ssize_t left_count = read(pipe_ends[0], left.data(), left.size());
    close(pipe_ends[0]);
    left.resize(left_count > 0 ? static_cast<std::size_t>(left_count) : 0);

    model.receive(static_cast<std::size_t>(n), line_bytes);
    check(std::equal(left.begin(), left.end(), line_bytes.begin() + static_cast<std::ptrdiff_t>(model.consumed),
                     line_bytes.end()),
          "bytes taken from the line");
    check(std::memcmp(receiver.rx, model.rx, sizeof model.rx) == 0, "receive buffer afterwards");
    check(std::memcmp(&table, &model.table, sizeof table) == 0, "table update");
    if (!model.handled.empty()) {
        const norvalith::MeterInfo& last = model.handled.back().meter;
        check(std::memcmp(&receiver.meter, &last, sizeof last) == 0, "decoded header of the last telegram");
    }

    const std::vector<std::string> files = directory_entries();
    const std::string content = files.size() == 1 ? norvalith::fuzz::read_file(g_dir + "/" + files[0]) : "";
    for (const std::string& name : files) {
        unlink((g_dir + "/" + name).c_str());
    }

    // Slots of address 0 are unused: an id that decodes to 0 is never exported.
    const Handled* exported = nullptr;
    for (const Handled& h : model.handled) {
        if (h.meter.id == configured && configured != 0) {
            exported = &h;
            break;
        }
    }
    for (std::size_t i = 0; i < norvalith::kMeterSlots; ++i) {
        const bool names_meter = i == slot || (second_slot && i == (slot + 1) % norvalith::kMeterSlots);
        check(receiver.daily.slots[i].exported_today == (exported != nullptr && names_meter), "slot marks");
        check(!receiver.daily.slots[i].failure_logged, "failure flag without a failure");
    }
    if (exported == nullptr) {
        check(files.empty(), "an export without a configured telegram");
        return 0;
    }
    check(files.size() == 1, "exactly one export file, no temporary left");
    const std::size_t raw_length = std::min<std::size_t>(exported->bytes[0], exported->bytes.size());
    check_export(content, files[0], exported->meter, receiver.identity, exported->bytes.data(), raw_length, start, end);
    return 0;
}
