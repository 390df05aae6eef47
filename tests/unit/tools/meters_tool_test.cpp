#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/meter_table.hpp"
#include "norvalith-meters/meters.hpp"
#include "test_support.hpp"

namespace norvalith::meters {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result run_tool(std::vector<std::string> args) {
    args.insert(args.begin(), "norvalith-meters");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    char* out_text = nullptr;
    char* err_text = nullptr;
    std::size_t out_size = 0;
    std::size_t err_size = 0;
    std::FILE* out = open_memstream(&out_text, &out_size);
    std::FILE* err = open_memstream(&err_text, &err_size);
    Result result{run(static_cast<int>(args.size()), argv.data(), out, err), "", ""};
    std::fclose(out);
    std::fclose(err);
    result.out.assign(out_text, out_size);
    result.err.assign(err_text, err_size);
    std::free(out_text);
    std::free(err_text);
    return result;
}

// Frames as the daemon's loop records them, including a repeat and an id-0 frame.
void record_sample(MeterTable* table) {
    record_meter(table, {12345678, 0x07, 0x0443, 85});
    record_meter(table, {33221100, 0x02, 0x0442, 120});
    record_meter(table, {166666665, 0x42, 0x7021, 255});  // non-BCD id, letters "\AA"
    record_meter(table, {55036410, 0x37, 0x6A49, 1});
    record_meter(table, {12345678, 0x08, 0x1111, 84});
    record_meter(table, {0, 0x07, 0x0443, 16});  // leaves entry 4 empty
}

const char* const kSampleText =
    "index  id         manufacturer  device type                    rssi  signal\n"
    "    0  12345678   ABC 0x0443    0x07 water                       84  -42.0 dBm\n"
    "    1  33221100   ABB 0x0442    0x02 electricity                120  -60.0 dBm\n"
    "    2  166666665  \\AA 0x7021    0x42 reserved                   255  -127.5 dBm\n"
    "    3  55036410   ZRI 0x6A49    0x37 radio converter (meter)      1  -0.5 dBm\n"
    "4 meters\n";

const char* const kSampleJson =
    "[\n"
    "  {\"index\": 0, \"id\": 12345678, \"id_text\": \"12345678\", \"manufacturer\": \"ABC\", "
    "\"manufacturer_code\": 1091, \"device_type\": 7, \"medium\": \"water\", \"rssi\": 84, \"dbm\": -42.0},\n"
    "  {\"index\": 1, \"id\": 33221100, \"id_text\": \"33221100\", \"manufacturer\": \"ABB\", "
    "\"manufacturer_code\": 1090, \"device_type\": 2, \"medium\": \"electricity\", \"rssi\": 120, \"dbm\": -60.0},\n"
    "  {\"index\": 2, \"id\": 166666665, \"id_text\": \"166666665\", \"manufacturer\": \"\\\\AA\", "
    "\"manufacturer_code\": 28705, \"device_type\": 66, \"medium\": \"reserved\", \"rssi\": 255, \"dbm\": -127.5},\n"
    "  {\"index\": 3, \"id\": 55036410, \"id_text\": \"55036410\", \"manufacturer\": \"ZRI\", "
    "\"manufacturer_code\": 27209, \"device_type\": 55, \"medium\": \"radio converter (meter)\", \"rssi\": 1, "
    "\"dbm\": -0.5}\n"
    "]\n";

TEST(MetersTool, FormatsATableFilledByTheDaemon) {
    MeterTable table{};
    record_sample(&table);
    const std::vector<Row> rows = snapshot_table(table);
    ASSERT_EQ(rows.size(), 4U);
    EXPECT_EQ(format_text(rows), kSampleText);
    EXPECT_EQ(format_json(rows), kSampleJson);

    EXPECT_EQ(format_text({}), "index  id         manufacturer  device type                    rssi  signal\n0 meters\n");
    EXPECT_EQ(format_json({}), "[]\n");
    EXPECT_TRUE(format_text({rows[0]}).ends_with("dBm\n1 meter\n"));
}

TEST(MetersTool, MediumNamesAndSignal) {
    const std::pair<std::uint32_t, const char*> media[] = {
        {0x00, "other"},         {0x04, "heat (outlet)"},  {0x07, "water"},       {0x0A, "cooling"},
        {0x0B, "cooling"},       {0x0C, "heat (inlet)"},   {0x0F, "unknown"},     {0x10, "reserved"},
        {0x14, "reserved"},      {0x15, "hot water"},      {0x1C, "gas detector"}, {0x1D, "reserved"},
        {0x20, "breaker"},       {0x28, "waste water"},    {0x31, "communication controller"},
        {0x36, "radio converter (system)"},                {0x38, "reserved"},    {0xFF, "reserved"},
    };
    for (const auto& [code, name] : media) {
        EXPECT_STREQ(medium_name(code), name) << "device type " << code;
    }

    const std::pair<std::uint32_t, const char*> signals[] = {
        {0, "0.0"}, {1, "-0.5"}, {84, "-42.0"}, {85, "-42.5"}, {255, "-127.5"}};
    for (const auto& [rssi, dbm] : signals) {
        char out[16];
        format_dbm(rssi, out);
        EXPECT_STREQ(out, dbm) << "rssi " << rssi;
    }

    EXPECT_EQ(json_string("ABC"), "\"ABC\"");
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("\n\x7F"), "\"\\u000a\\u007f\"");
}

// A process running `program` (its argv[0]) for the length of a test, and a lock
// file naming it.
struct Running {
    pid_t pid;
    std::string lock;
    Running(const test::TempDir& dir, const std::string& program) : pid(fork()), lock(dir.file("LCK..ttyS1")) {
        if (pid == 0) {
            execl("/bin/sleep", program.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
        dir.write("LCK..ttyS1", text);
        for (int i = 0; i < 200 && read_cmdline().rfind(program, 0) != 0; ++i) {
            usleep(5000);  // until the exec is done
        }
    }
    ~Running() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    std::string read_cmdline() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

// Running means the lock's pid is alive and is the daemon; readers attached
// to its table count for nothing.
TEST(MetersTool, RunningIsTheLockHolderBeingTheDaemon) {
    test::PrivateKey key;
    MeterTable* other_reader = attach_meter_table(key.path().c_str(), 1);
    ASSERT_NE(other_reader, nullptr);
    const std::string name = key.path().substr(key.path().rfind('/') + 1);
    struct Case {
        const char* what;
        const char* program;  // nullptr: none runs
        bool dead;
        int status;
    };
    const Case cases[] = {
        {"no lock file", nullptr, false, kExitNotRunning},
        {"the daemon", "", false, kExitOk},
        {"the daemon by its path, under an emulator", "/usr/bin/", false, kExitOk},
        {"the lock's pid reused by another program", "sleep", false, kExitNotRunning},
        {"the lock's process gone", "", true, kExitNotRunning},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        std::string lock = dir.file("LCK..ttyS1");
        int status = 0;
        if (c.program == nullptr) {
            status = run_tool({"--key-file", key.path(), "--lock-file", lock}).status;
        } else {
            const std::string program = std::string(c.program) + (std::strcmp(c.program, "sleep") == 0 ? "" : name);
            Running running(dir, program);
            if (c.dead) {
                kill(running.pid, SIGKILL);
                waitpid(running.pid, nullptr, 0);
            }
            status = run_tool({"--key-file", key.path(), "--lock-file=" + lock}).status;
        }
        EXPECT_EQ(status, c.status);
    }
    shmdt(other_reader);
}

TEST(MetersTool, ListsTheLiveSegmentReadOnly) {
    test::PrivateKey key;
    MeterTable* daemon = attach_meter_table(key.path().c_str(), 1);
    ASSERT_NE(daemon, nullptr);
    clear_meter_table(daemon);
    test::TempDir lock_dir;
    const Running running(lock_dir, key.path());
    const std::string lock = "--lock-file=" + running.lock;

    const Result empty_text = run_tool({"--key-file", key.path(), lock});
    EXPECT_EQ(empty_text.status, 0);
    EXPECT_EQ(empty_text.out, "index  id         manufacturer  device type                    rssi  signal\n0 meters\n");
    EXPECT_EQ(empty_text.err, "");
    EXPECT_EQ(run_tool({"--json", "--key-file=" + key.path(), lock}).out, "[]\n");

    record_sample(daemon);
    const MeterTable before = *daemon;
    const Result text = run_tool({"--key-file", key.path(), lock});
    const Result json = run_tool({"--key-file", key.path(), "--json", lock});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, kSampleText);
    EXPECT_EQ(json.status, 0);
    EXPECT_EQ(json.out, kSampleJson);
    EXPECT_EQ(std::memcmp(&before, daemon, sizeof before), 0);
    shmdt(daemon);
}

// The reader copies entries while the daemon empties the table at start, fills it
// and refreshes trailers: a copy must never be torn (a meter's id with words that
// are not its own). x86 happens to show plain stores in order; the tsan preset
// runs this under ThreadSanitizer, which reports any store that races a load.
TEST(MetersTool, SnapshotsNeverTearWhileTheDaemonWrites) {
    MeterTable table{};
    std::atomic<bool> done{false};
    int torn = 0;
    int copied = 0;
    std::thread reader([&] {
        while (!done.load(std::memory_order_relaxed)) {
            for (const Row& row : snapshot_table(table)) {
                ++copied;
                torn += row.meter.device_type != (row.meter.id & 0xFFU) || row.meter.manufacturer != row.meter.id >> 8U;
            }
        }
    });
    for (std::uint32_t round = 1; round <= 300; ++round) {
        clear_meter_table(&table);
        for (std::uint32_t i = 0; i < kTableEntries; ++i) {
            const std::uint32_t id = round << 8U | i;
            record_meter(&table, {id, id & 0xFFU, id >> 8U, 1});
            record_meter(&table, {id, 0, 0, round});
        }
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "of " << copied << " copies";
    EXPECT_GT(copied, 0);
}

TEST(MetersTool, ExitStatusTellsWhyThereIsNoTable) {
    test::PrivateKey key;
    const std::string absent = key.dir().file("absent");
    const Result no_key = run_tool({"--key-file", absent});
    EXPECT_EQ(no_key.status, 2);
    EXPECT_EQ(no_key.out, "");
    EXPECT_EQ(no_key.err, "norvalith-meters: key file " + absent + " not found: is Norvalithd installed?\n");

    const Result no_segment = run_tool({"--key-file", key.path(), "--json"});
    EXPECT_EQ(no_segment.status, 2);
    EXPECT_EQ(no_segment.out, "");
    EXPECT_EQ(no_segment.err, "norvalith-meters: no meter table: is Norvalithd running?\n");
    EXPECT_EQ(shmget(key.key(), 0, 0), -1) << "a reader must not create the segment";

    ASSERT_NE(shmget(key.key(), 1024, IPC_CREAT | 0600), -1);
    const Result too_small = run_tool({"--key-file", key.path()});
    EXPECT_EQ(too_small.status, 2);
    EXPECT_EQ(too_small.err, "norvalith-meters: meter table too small: the segment holds fewer than 2048 bytes\n");

    // The daemon ended: its table outlives it, and is shown as what it is.
    test::PrivateKey left;
    MeterTable* daemon = attach_meter_table(left.path().c_str(), 1);
    ASSERT_NE(daemon, nullptr);
    clear_meter_table(daemon);
    record_sample(daemon);
    shmdt(daemon);
    const Result stale = run_tool({"--key-file", left.path()});
    EXPECT_EQ(stale.status, 3);
    EXPECT_EQ(stale.out, kSampleText);
    EXPECT_EQ(stale.err, "norvalith-meters: daemon not running: last table shown\n");
    EXPECT_EQ(run_tool({"--key-file", left.path(), "--json"}).out, kSampleJson);

    // Mode 0600, and the daemon's user is not ours.
    if (geteuid() == 0) {
        chmod(left.dir().path().c_str(), 0755);
        const std::string path = left.path();
        const int denied = test::as_unprivileged(
            [](void* key_path) {
                const Result r = run_tool({"--key-file", *static_cast<const std::string*>(key_path)});
                const bool told = r.out.empty() && r.err ==
                                                       "norvalith-meters: no permission to read the meter table: run "
                                                       "as root or as user norvalith\n";
                return told ? r.status : 100;
            },
            const_cast<std::string*>(&path));
        EXPECT_EQ(denied, 4) << "100: not told why";
    }

    const Result bad_option = run_tool({"--verbose"});
    EXPECT_EQ(bad_option.status, 1);
    EXPECT_EQ(bad_option.err, "norvalith-meters: unknown option '--verbose'\nTry 'norvalith-meters --help'.\n");
    EXPECT_EQ(run_tool({"--key-file"}).status, 1);

    const Result help = run_tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: norvalith-meters", 0), 0U);
}

}  // namespace
}  // namespace norvalith::meters
