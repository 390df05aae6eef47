// The RC1180 emulation: command interpreter, framing, replay files, generator, options,
// and the engine end to end on a pty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "engine.hpp"
#include "module.hpp"
#include "options.hpp"
#include "serial/radio.hpp"
#include "telegrams.hpp"
#include "test_support.hpp"

namespace norvalith::sim {
namespace {

using test::Pty;
using test::TempDir;

Bytes b(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) {
        out.push_back(static_cast<std::uint8_t>(v));
    }
    return out;
}

// Feeds bytes one receive() call each and returns every answer, concatenated.
Bytes feed(Module& m, const Bytes& bytes, std::int64_t now = 0) {
    m.receive(bytes, now);
    Bytes out;
    for (const Bytes& answer : m.take_answers()) {
        out.insert(out.end(), answer.begin(), answer.end());
    }
    return out;
}

Bytes ticked(Module& m, std::int64_t now) {
    m.tick(now);
    Bytes out;
    for (const Bytes& answer : m.take_answers()) {
        out.insert(out.end(), answer.begin(), answer.end());
    }
    return out;
}

TEST(SimModule, AnswersPromptAndWholeMemoryOnlyInConfigurationMode) {
    Module m(factory_memory());
    // A module in normal mode ignores everything but the escape byte.
    EXPECT_TRUE(feed(m, b({'0', 'M', 'X', 0xFF, 0x42})).empty());
    EXPECT_FALSE(m.in_config());

    EXPECT_EQ(feed(m, b({0x00})), b({'>'}));
    m.receive(b({'0'}), 0);
    const std::vector<Bytes> answers = m.take_answers();
    ASSERT_EQ(answers.size(), 1U) << "memory and prompt go as one burst";
    ASSERT_EQ(answers[0].size(), 257U);
    const auto factory = factory_memory();
    EXPECT_TRUE(std::equal(factory.begin(), factory.end(), answers[0].begin()));
    EXPECT_EQ(answers[0].back(), '>');

    // Unknown commands (a stray 0x00 or 0xFF included) draw a fresh prompt; "X" none.
    EXPECT_EQ(feed(m, b({'Q'})), b({'>'}));
    EXPECT_EQ(feed(m, b({0xFF, 0x00})), b({'>', '>'}));
    EXPECT_FALSE(m.has_left_config());
    EXPECT_TRUE(feed(m, b({'X'})).empty());
    EXPECT_TRUE(m.has_left_config());
    EXPECT_FALSE(m.in_config());
    EXPECT_TRUE(feed(m, b({'0'})).empty());
}

TEST(SimModule, WriteStoresPairsAndPromptsAfterTheFlashTime) {
    Module m(factory_memory());
    feed(m, b({0x00}));
    EXPECT_EQ(feed(m, b({'M'}), 0), b({'>'}));
    // 0xFF is an ordinary value; only as an address does it end the write.
    EXPECT_TRUE(feed(m, b({5, 1, 16, 124, 200, 0xFF}), 100).empty());
    // The daemon's two end bytes: the second one waits for the flash and then gets its own prompt.
    EXPECT_TRUE(feed(m, b({0xFF, 0xFF}), 100).empty());
    EXPECT_TRUE(m.busy());
    EXPECT_EQ(m.next_due_ms(), 100 + kFlashWriteMs);
    EXPECT_TRUE(ticked(m, 100 + kFlashWriteMs - 1).empty());
    EXPECT_FALSE(m.take_memory_committed());
    EXPECT_EQ(ticked(m, 100 + kFlashWriteMs), b({'>', '>'}));
    EXPECT_TRUE(m.take_memory_committed());
    EXPECT_FALSE(m.take_memory_committed());

    EXPECT_EQ(m.memory()[5], 1);
    EXPECT_EQ(m.memory()[16], 124);
    EXPECT_EQ(m.memory()[200], 0xFF);
    EXPECT_EQ(m.memory_writes(), 3U);
    EXPECT_EQ(m.completed_writes(), 1U);
    EXPECT_TRUE(m.rssi_mode());
    EXPECT_TRUE(m.in_config());
}

TEST(SimModule, FactoryMemoryNeedsWritingAndHasNoRssi) {
    const Memory memory = factory_memory();
    int differing = 0;
    for (const ConfigPair& pair : CONFIG_PAIRS) {
        if (pair.address != 255 && memory[pair.address] != pair.value) {
            ++differing;
        }
    }
    EXPECT_GE(differing, 3);
    EXPECT_FALSE(Module(memory).rssi_mode());
}

TEST(SimModule, FaultsChangeOnlyWhatTheyName) {
    {
        Module m(factory_memory(), Faults{.silent = true});
        EXPECT_TRUE(feed(m, b({0x00, '0', 'M', 1, 2, 0xFF})).empty());
        EXPECT_TRUE(ticked(m, 1000).empty());
        EXPECT_EQ(m.memory()[1], 2) << "a silent module still works inside";
    }
    {
        Module m(factory_memory(), Faults{.wrong_prompt = true});
        EXPECT_EQ(feed(m, b({0x00})), b({'?'}));
        EXPECT_EQ(feed(m, b({'M'})), b({'>'}));
    }
    {
        Module m(factory_memory(), Faults{.short_memory = true});
        feed(m, b({0x00}));
        const Bytes answer = feed(m, b({'0'}));
        ASSERT_EQ(answer.size(), kShortMemoryBytes + 1);
        EXPECT_EQ(answer.back(), '>');
    }
    {
        Module m(factory_memory(), Faults{.no_write_prompt = true});
        feed(m, b({0x00, 'M'}));
        EXPECT_TRUE(feed(m, b({16, 124, 0xFF, 0xFF}), 0).empty());
        EXPECT_TRUE(ticked(m, kFlashWriteMs).empty()) << "neither end byte may be answered";
        EXPECT_TRUE(m.take_memory_committed());
        EXPECT_EQ(m.memory()[16], 124);
        EXPECT_EQ(feed(m, b({'Q'}), 100), b({'>'})) << "later commands are answered again";
    }
}

TEST(SimModule, MemoryFileRoundTripIsAtomicAndSizeChecked) {
    TempDir dir;
    Memory memory = factory_memory();
    memory[7] = 0x77;
    std::string error;
    ASSERT_TRUE(save_memory(dir.file("mem"), memory, error)) << error;
    EXPECT_EQ(dir.list(), std::vector<std::string>{"mem"}) << "no temporary file left behind";
    Memory loaded{};
    ASSERT_TRUE(load_memory(dir.file("mem"), loaded, error)) << error;
    EXPECT_EQ(loaded, memory);

    dir.write("short", std::string(255, '\0'));
    dir.write("long", std::string(257, '\0'));
    EXPECT_FALSE(load_memory(dir.file("short"), loaded, error));
    EXPECT_NE(error.find("255 bytes"), std::string::npos) << error;
    EXPECT_FALSE(load_memory(dir.file("long"), loaded, error));
    EXPECT_FALSE(load_memory(dir.file("missing"), loaded, error));
    EXPECT_EQ(loaded, memory) << "a failed load leaves the memory alone";
}

TEST(SimFraming, RssiModeCountsAndAppendsTheRssiByte) {
    const Bytes telegram = b({0x0A, 0x44, 0x93, 0x15, 0x78, 0x56, 0x34, 0x12, 0x33, 0x03, 0x7A});
    EXPECT_EQ(frame_telegram(telegram, false, 120), telegram);
    Bytes expected = telegram;
    expected[0] = 0x0B;
    expected.push_back(120);
    EXPECT_EQ(frame_telegram(telegram, true, 120), expected);
    // The length byte cannot count past 255.
    EXPECT_EQ(frame_telegram(b({0xFF, 1}), true, 9), b({0xFF, 1, 9}));
    EXPECT_TRUE(frame_telegram({}, true, 9).empty());
    // The other convention: the length byte leaves the RSSI byte out.
    Bytes appended = telegram;
    appended.push_back(120);
    EXPECT_EQ(frame_telegram(telegram, true, 120, true), appended);

    EXPECT_EQ(rssi_byte(-60.0), 120);
    EXPECT_EQ(rssi_byte(-60.5), 121);
    EXPECT_EQ(rssi_byte(3.0), 0);
    EXPECT_EQ(rssi_byte(-200.0), 255);
    EXPECT_EQ(transmission_ms(0), 0);
    EXPECT_EQ(transmission_ms(192), 100);
    EXPECT_EQ(transmission_ms(193), 101);
}

TEST(SimReplay, ParsesDelaysCommentsAndRejectsBadLinesWithTheirNumber) {
    std::vector<ReplayEntry> entries;
    std::string error;
    ASSERT_TRUE(parse_replay("# captured\n\n0a0b\r\n250 0C0D\n  7\t0E0F  \n", entries, error)) << error;
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].telegram, b({0x0A, 0x0B}));
    EXPECT_FALSE(entries[0].delay_ms.has_value());
    EXPECT_EQ(entries[1].delay_ms, 250);
    EXPECT_EQ(entries[1].telegram, b({0x0C, 0x0D}));
    EXPECT_EQ(entries[2].delay_ms, 7);

    EXPECT_FALSE(parse_replay("0A0B\n0A0\n", entries, error));
    EXPECT_EQ(error.rfind("line 2:", 0), 0U) << error;
    EXPECT_FALSE(parse_replay("0A0B\n\n25x 0A0B\n", entries, error));
    EXPECT_EQ(error.rfind("line 3:", 0), 0U) << error;
    EXPECT_FALSE(parse_replay("0AZZ\n", entries, error));
    EXPECT_FALSE(parse_replay("10 0A0B 0C\n", entries, error));
    EXPECT_FALSE(parse_replay("100\n", entries, error)) << "an odd digit count is no telegram";
    // A "hex" header only counts as the first row.
    EXPECT_FALSE(parse_replay("0A0B\nhex\tL\n", entries, error));
}

TEST(SimReplay, AcceptsTheCapturedTelegramTable) {
    std::ifstream in(TELEGRAMS_TSV);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<ReplayEntry> entries;
    std::string error;
    ASSERT_TRUE(parse_replay(text.str(), entries, error)) << error;
    ASSERT_EQ(entries.size(), 74U);
    for (const ReplayEntry& entry : entries) {
        EXPECT_FALSE(entry.delay_ms.has_value());
        // Captured without block CRCs: exactly the length byte's count plus itself.
        EXPECT_EQ(entry.telegram.size(), entry.telegram[0] + 1U) << to_hex(entry.telegram);
    }
    EXPECT_EQ(to_hex(entries[3].telegram).substr(0, 20), "4E44B40512345678F107");
}

TEST(SimGenerator, MetersAreDistinctValidAndReproducible) {
    std::mt19937_64 rng(42);
    std::vector<Meter> meters = make_meters(200, rng);
    ASSERT_EQ(meters.size(), 200U);
    std::vector<std::string> ids;
    for (Meter& meter : meters) {
        const std::string id = to_hex(meter.id);
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << "BCD only: " << id;
        EXPECT_NE(id, "00000000");
        ids.push_back(id);
        for (const unsigned shift : {0U, 5U, 10U}) {
            const unsigned letter = (meter.manufacturer >> shift) & 31U;
            EXPECT_TRUE(letter >= 1 && letter <= 26);
        }
        const Bytes t = make_telegram(meter, rng);
        ASSERT_GE(t.size(), 10U);
        EXPECT_EQ(t[0] + 1U, t.size());
        EXPECT_EQ(t[2] | t[3] << 8, meter.manufacturer);
        EXPECT_TRUE(std::equal(meter.id, meter.id + 4, t.begin() + 4));
        EXPECT_EQ(t[9], meter.device_type);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end());

    std::mt19937_64 first(7);
    std::mt19937_64 second(7);
    EXPECT_EQ(to_hex(make_meters(3, first)[2].id), to_hex(make_meters(3, second)[2].id));
}

bool parse(std::initializer_list<const char*> args, Options& options, std::string& error) {
    const std::vector<const char*> list(args);
    return parse_options(list, options, error);
}

TEST(SimOptions, ParsesTheCommandLine) {
    Options o;
    std::string error;
    ASSERT_TRUE(parse({"--rssi-appended", "--pause-share", "0.05", "--pause-ms=100-200"}, o, error)) << error;
    EXPECT_TRUE(o.rssi_appended);
    EXPECT_EQ(o.pause_share, 0.05);
    EXPECT_EQ(o.pause_low_ms, 100);
    EXPECT_EQ(o.pause_high_ms, 200);
    o = Options{};
    ASSERT_TRUE(parse({"--link",
                       "/dev/ttyS1",
                       "--memory=m.bin",
                       "--replay",
                       "r.tsv",
                       "--gap-ms",
                       "250",
                       "--repeat",
                       "--generate",
                       "12",
                       "--seed",
                       "7",
                       "--rate",
                       "2.5",
                       "--rssi-range",
                       "-95--60",
                       "--garbage",
                       "0.25",
                       "--count",
                       "40",
                       "--duration",
                       "1.5",
                       "--fault",
                       "silent,chatter",
                       "--fault",
                       "no-write-prompt",
                       "--chatter-seconds",
                       "12",
                       "--exit-when-done",
                       "--no-handshake"},
                      o, error))
        << error;
    EXPECT_EQ(o.link, "/dev/ttyS1");
    EXPECT_EQ(o.memory_file, "m.bin");
    EXPECT_EQ(o.gap_ms, 250);
    EXPECT_TRUE(o.repeat && o.exit_when_done && o.no_handshake && !o.full_rate);
    EXPECT_EQ(o.generate, 12U);
    EXPECT_TRUE(o.seed_given);
    EXPECT_EQ(o.seed, 7U);
    EXPECT_DOUBLE_EQ(o.rate, 2.5);
    EXPECT_DOUBLE_EQ(o.rssi_low_dbm, -95.0);
    EXPECT_DOUBLE_EQ(o.rssi_high_dbm, -60.0);
    EXPECT_EQ(o.count, 40U);
    EXPECT_TRUE(o.faults.silent && o.faults.chatter && o.faults.no_write_prompt);
    EXPECT_FALSE(o.faults.wrong_prompt || o.faults.short_memory);

    // Strengths are negative whichever way they are written.
    Options r;
    ASSERT_TRUE(parse({"--rssi-range", "40-95"}, r, error));
    EXPECT_DOUBLE_EQ(r.rssi_low_dbm, -95.0);
    EXPECT_DOUBLE_EQ(r.rssi_high_dbm, -40.0);
    ASSERT_TRUE(parse({"--rssi-range", "-70"}, r, error));
    EXPECT_DOUBLE_EQ(r.rssi_low_dbm, -70.0);
    EXPECT_DOUBLE_EQ(r.rssi_high_dbm, -70.0);

    Options full;
    ASSERT_TRUE(parse({"--full-rate"}, full, error));
    EXPECT_EQ(full.gap_ms, 0) << "back to back unless a gap is asked for";
    ASSERT_TRUE(parse({"--gap-ms", "5", "--full-rate"}, full, error));
    EXPECT_EQ(full.gap_ms, 5);
    EXPECT_EQ(Options{}.gap_ms, 500);

    Options whole;
    ASSERT_TRUE(parse({"--chunk", "0"}, whole, error)) << error;
    EXPECT_EQ(whole.chunk, 0U);
    EXPECT_EQ(Options{}.chunk, 16U) << "a 16-byte receive FIFO";
}

TEST(SimOptions, RejectsBadCommandLines) {
    for (const auto& args : std::vector<std::vector<const char*>>{{"--bogus"},
                                                                  {"stray"},
                                                                  {"--rate"},
                                                                  {"--rate", "0"},
                                                                  {"--garbage", "1.5"},
                                                                  {"--generate", "0"},
                                                                  {"--count", "-3"},
                                                                  {"--gap-ms", "x"},
                                                                  {"--rssi-range", "-200--40"},
                                                                  {"--rssi-range", "a-b"},
                                                                  {"--fault", "silent,loud"},
                                                                  {"--repeat=yes"},
                                                                  {"--duration", "0"},
                                                                  {"--chunk", "4097"},
                                                                  {"--pause-share", "2"},
                                                                  {"--pause-ms", "300-60"},
                                                                  {"--pause-ms", "60"}}) {
        Options o;
        std::string error;
        EXPECT_FALSE(parse_options(args, o, error)) << args[0];
        EXPECT_FALSE(error.empty());
    }
}

// The engine in a thread on the master side of a pty; the test plays the daemon on the slave.
class RunningEngine {
   public:
    RunningEngine(Options options, Pty& pty) : engine_(std::move(options), pty.master()) {
        std::string error;
        EXPECT_TRUE(engine_.open(error)) << error;
        EXPECT_EQ(pipe(stop_), 0);
        thread_ = std::thread([this] { status_ = engine_.run(stop_[0]); });
    }
    ~RunningEngine() {
        stop();
        close(stop_[0]);
        close(stop_[1]);
    }
    int stop() {
        if (thread_.joinable()) {
            EXPECT_EQ(write(stop_[1], "x", 1), 1);
            thread_.join();
        }
        return status_;
    }

   private:
    Engine engine_;
    int stop_[2] = {-1, -1};
    int status_ = -1;
    std::thread thread_;
};

// Bytes arriving at the slave within wait_ms, reads collected until 50 ms of quiet.
Bytes read_slave(int slave, int wait_ms) {
    Bytes out;
    pollfd p{slave, POLLIN, 0};
    int timeout = wait_ms;
    while (poll(&p, 1, timeout) > 0) {
        std::uint8_t buffer[1024];
        const ssize_t n = read(slave, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), buffer, buffer + n);
        timeout = 50;
    }
    return out;
}

void write_slave(int slave, const Bytes& bytes) {
    ASSERT_EQ(write(slave, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

TEST(SimEngine, ReplaysOnlyAfterTheDaemonLeftConfigurationMode) {
    TempDir dir;
    Memory memory = factory_memory();
    memory[kRssiModeAddress] = 1;
    std::string error;
    ASSERT_TRUE(save_memory(dir.file("mem"), memory, error));
    dir.write("replay", "# two telegrams\n0A4493157856341233037A\n300 03440102\n");
    Options o;
    o.memory_file = dir.file("mem");
    o.replay_file = dir.file("replay");
    o.sent_file = dir.file("sent");
    o.trace_file = dir.file("trace");
    o.stats_file = dir.file("stats");
    o.gap_ms = 100;
    o.rssi_low_dbm = o.rssi_high_dbm = -60;
    o.exit_when_done = true;
    Pty pty;
    RunningEngine sim(o, pty);

    write_slave(pty.slave(), b({0x00}));
    EXPECT_EQ(read_slave(pty.slave(), 1000), b({'>'}));
    EXPECT_TRUE(read_slave(pty.slave(), 400).empty()) << "nothing is sent before the daemon leaves configuration mode";
    const double left = test::now_seconds();
    write_slave(pty.slave(), b({'X'}));
    EXPECT_EQ(read_slave(pty.slave(), 1000),
              b({0x0B, 0x44, 0x93, 0x15, 0x78, 0x56, 0x34, 0x12, 0x33, 0x03, 0x7A, 120}));
    EXPECT_GE(test::seconds_since(left), 0.08) << "the gap comes before the first telegram too";
    EXPECT_EQ(read_slave(pty.slave(), 1000), b({0x04, 0x44, 0x01, 0x02, 120}));
    EXPECT_EQ(sim.stop(), 0);

    const std::vector<std::string> sent = lines_of(dir.read("sent"));
    ASSERT_EQ(sent.size(), 3U);
    EXPECT_NE(sent[0].find(" answer 3E"), std::string::npos) << sent[0];
    EXPECT_NE(sent[1].find(" telegram 0B4493157856341233037A78"), std::string::npos) << sent[1];
    EXPECT_NE(sent[2].find(" telegram 0444010278"), std::string::npos) << sent[2];
    const std::vector<std::string> trace = lines_of(dir.read("trace"));
    ASSERT_EQ(trace.size(), 2U);
    EXPECT_EQ(trace[0].substr(trace[0].find(' ')), " 00");
    EXPECT_EQ(trace[1].substr(trace[1].find(' ')), " 58");
    const std::string stats = dir.read("stats");
    EXPECT_NE(stats.find("telegrams_sent=2\n"), std::string::npos) << stats;
    EXPECT_NE(stats.find("memory_writes=0\n"), std::string::npos) << stats;
}

TEST(SimEngine, ExitsWhenDoneAndObeysTheControlFifo) {
    TempDir dir;
    dir.write("replay", "0A4493157856341233037A\n");
    Options o;
    o.replay_file = dir.file("replay");
    o.control_path = dir.file("control");
    o.sent_file = dir.file("sent");
    o.no_handshake = true;
    o.gap_ms = 0;
    o.count = 1;
    o.exit_when_done = true;
    Pty pty;
    Engine engine(o, pty.master());
    std::string error;
    ASSERT_TRUE(engine.open(error)) << error;
    std::thread reader([&] { read_slave(pty.slave(), 2000); });
    const double start = test::now_seconds();
    EXPECT_EQ(engine.run(-1), 0);
    reader.join();
    EXPECT_LT(test::seconds_since(start), 2.0) << "--count ended the source, the daemon read it";
    EXPECT_EQ(engine.counters().telegrams_sent, 1U);

    // A control FIFO alone never runs dry: "quit" ends it, after "tx" and "raw".
    Options c;
    c.control_path = dir.file("control2");
    c.sent_file = dir.file("sent2");
    c.exit_when_done = true;
    Engine controlled(c, pty.master());
    ASSERT_TRUE(controlled.open(error)) << error;
    std::thread client([&] {
        const int fd = open(dir.file("control2").c_str(), O_WRONLY);
        const std::string commands = "tx 03440102 -50\nraw 01 02 03\nnonsense\nquit\n";
        EXPECT_EQ(write(fd, commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
        close(fd);
    });
    EXPECT_EQ(controlled.run(-1), 0);
    client.join();
    // Factory memory: no RSSI mode, the telegram goes as it is.
    EXPECT_EQ(read_slave(pty.slave(), 500), b({0x03, 0x44, 0x01, 0x02, 0x01, 0x02, 0x03}));
    const std::vector<std::string> sent = lines_of(dir.read("sent2"));
    ASSERT_EQ(sent.size(), 2U);
    EXPECT_NE(sent[0].find(" telegram 03440102"), std::string::npos);
    EXPECT_NE(sent[1].find(" raw 010203"), std::string::npos);
}

TEST(SimEngine, HangupClosesTheLine) {
    TempDir dir;
    Options o;
    o.control_path = dir.file("control");
    Pty pty;
    RunningEngine sim(o, pty);
    const int fd = open(dir.file("control").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "hangup\n", 7), 7);
    close(fd);
    pollfd p{pty.slave(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_NE(p.revents & POLLHUP, 0);
    std::uint8_t byte;
    EXPECT_LE(read(pty.slave(), &byte, 1), 0);
    EXPECT_EQ(sim.stop(), 0);
}

}  // namespace
}  // namespace norvalith::sim
