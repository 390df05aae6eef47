// Reception path: a burst and what the line delivers next through the passes of
// the loop (handle_burst) on a table in plain memory and an export directory on
// tmpfs. Checked: nothing is logged, no piece stays kept after a pass with
// nothing, every new table entry names a header that stands in the input, the
// slots are marked exactly when the file exists, and the one export file is the
// document of a configured meter byte for byte, its Base64 raw copy decoded to
// L bytes of the input that start at a length byte L.
//
// Input: bytes 0-1 n (little endian, modulo 513); byte 2 entries in use before the
// burst (modulo 129); byte 3 bit 7 "meter already in the table" and bits 0-6 the
// settings slot that names the meter of the first header; byte 4 bit 0 "a second
// slot names it too"; then 512 bytes of receive buffer (the burst, then what earlier
// bursts left there); whatever follows is what the line delivers next.
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
    check(decoded->size() == raw_length, "raw copy length is not L");
    check(raw_length == 0 || std::memcmp(decoded->data(), raw, raw_length) == 0, "raw copy bytes");
}


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
    // As at start-up, the framing asking the table for meters heard before.
    norvalith::reset_receiver(receiver, norvalith::monotonic_seconds());
    std::memcpy(receiver.rx, data + kControlBytes, rx_bytes);

    // The configured meter is the one the first header names.
    const std::uint32_t configured = model_id(receiver.rx + 4);
    for (std::size_t i = 0; i < norvalith::kTableEntries; ++i) {
        table.entries[i] =
            i < in_use ? norvalith::MeterInfo{kOtherIds + static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i),
                                              0x1000U + static_cast<std::uint32_t>(i), 0xEEU}
                       : norvalith::MeterInfo{};
    }
    if (known && in_use > 0) {
        table.entries[slot % in_use].id = configured;
    }
    for (norvalith::MeterSlot& s : receiver.settings.meters) {
        s = {};
    }
    receiver.settings.meters[slot].address = configured;
    if (second_slot) {
        receiver.settings.meters[(slot + 1) % norvalith::kMeterSlots].address = configured;
    }
    g_log_messages = 0;

    // Three passes: the burst, what the line delivers next as read_frame would
    // place it (after a kept cut telegram), then a pass with nothing.
    // What the loop holds: the burst's n bytes, zeros past the fuzzer's, then the line's.
    std::vector<std::uint8_t> input(receiver.rx, receiver.rx + n);
    const std::time_t start = std::time(nullptr);
    norvalith::handle_burst(receiver, n, norvalith::read_wall_clock(), norvalith::monotonic_seconds());
    const std::size_t kept = receiver.framer.pending;
    check(kept <= 256, "a kept piece longer than any telegram");
    const std::size_t next = std::min(line_bytes.size(), kBufferSize - kept);
    if (next > 0) {
        std::memcpy(receiver.rx + kept, line_bytes.data(), next);
    }
    norvalith::handle_burst(receiver, static_cast<std::int32_t>(next), norvalith::read_wall_clock(),
                            norvalith::monotonic_seconds());
    norvalith::handle_burst(receiver, 0, norvalith::read_wall_clock(), norvalith::monotonic_seconds());
    const std::time_t end = std::time(nullptr);
    check(g_log_messages == 0, "a burst was logged");
    check(receiver.framer.pending == 0, "a piece kept after a pass with nothing");

    // Every entry added names a meter whose header stands in the input.
    input.insert(input.end(), line_bytes.begin(), line_bytes.begin() + static_cast<std::ptrdiff_t>(next));
    for (std::size_t i = in_use; i < norvalith::kTableEntries && table.entries[i].id != 0; ++i) {
        bool found = false;
        for (std::size_t at = 0; at + 10 <= input.size() && !found; ++at) {
            found = input[at] >= 9 && model_id(input.data() + at + 4) == table.entries[i].id &&
                    input[at + 9] == table.entries[i].device_type;
        }
        check(found, "a table entry from no header in the input");
    }

    const std::vector<std::string> files = directory_entries();
    const std::string content = files.size() == 1 ? norvalith::fuzz::read_file(g_dir + "/" + files[0]) : "";
    for (const std::string& name : files) {
        unlink((g_dir + "/" + name).c_str());
    }
    const bool exported = !files.empty();
    for (std::size_t i = 0; i < norvalith::kMeterSlots; ++i) {
        const bool names_meter = i == slot || (second_slot && i == (slot + 1) % norvalith::kMeterSlots);
        check(receiver.daily.slots[i].exported_today == (exported && names_meter), "slot marks");
        check(!receiver.daily.slots[i].failure_logged, "failure flag without a failure");
    }
    if (!exported) {
        return 0;
    }
    check(files.size() == 1 && configured != 0, "exactly one export file of a configured meter, no temporary left");
    // The raw copy is L bytes of the input from a length byte L, with the meter's header:
    // only whole telegrams are exported.
    const std::string raw_open = "<Raw encoding=\"base64\">";
    const std::size_t text_at = content.find(raw_open) + raw_open.size();
    const auto raw = norvalith::fuzz::base64_decode(
        std::string_view(content).substr(text_at, content.find("</Raw>") - text_at));
    check(raw.has_value() && raw->size() >= 9 && (*raw)[0] == raw->size(), "raw copy not L bytes");
    // Its last byte may be the burst's own, zeroed before the copy.
    check(std::search(input.begin(), input.end(), raw->begin(), raw->end() - 1) != input.end(),
          "raw copy not from the input");
    const std::uint8_t* b = raw->data();
    const norvalith::MeterInfo meter{model_id(b + 4), 0, b[2] + 256U * b[3], 0};
    check(meter.id == configured, "export of another meter");
    check_export(content, files[0], meter, receiver.identity, raw->data(), raw->size(), start, end);
    return 0;
}
