// The RC1180 handshake on a pty, against the emulated module and against scripted peers.
#include "serial/radio.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "base/log.hpp"
#include "engine.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::bytes;
using test::CapturedLog;
using test::hex;
using test::Pty;
using test::TempDir;

std::string text_of(const sim::Memory& memory) {
    return std::string(memory.begin(), memory.end());
}

// A module that already holds every parameter of the table.
sim::Memory table_memory() {
    sim::Memory memory = sim::factory_memory();
    for (const ConfigPair& pair : CONFIG_PAIRS) {
        if (pair.address != 255) {
            memory[pair.address] = pair.value;
        }
    }
    return memory;
}

// The address/value bytes the daemon must send for this memory, in table order.
std::string pairs_to_write(const sim::Memory& memory, std::size_t answered = 256) {
    std::string out;
    for (const ConfigPair& pair : CONFIG_PAIRS) {
        if (pair.address != 255 && (pair.address >= answered || memory[pair.address] != pair.value)) {
            out += bytes({pair.address, pair.value});
        }
    }
    return out;
}

const std::string kEnter = bytes({0x00});
const std::string kEndWrite = bytes({0xFF, 0xFF});

// Whatever plays the module on the master side; finish() stops it and returns the
// bytes the daemon put on the line.
class Peer {
   public:
    virtual ~Peer() = default;
    virtual std::string finish() = 0;

   protected:
    // Lets the last command through the pty, then tells the thread to end.
    void stop_thread() {
        if (thread_.joinable()) {
            usleep(100000);
            EXPECT_EQ(write(stop_[1], "x", 1), 1);
            thread_.join();
        }
    }
    void close_stop_pipe() {
        close(stop_[0]);
        close(stop_[1]);
    }

    int stop_[2] = {-1, -1};
    std::thread thread_;
};

// The emulated module, run by its own engine in a thread.
class SimPeer : public Peer {
   public:
    SimPeer(Pty& pty, const sim::Memory& memory, sim::Faults faults = {}, double chatter_seconds = 0) {
        std::string error;
        EXPECT_TRUE(sim::save_memory(dir_.file("memory"), memory, error)) << error;
        sim::Options options;
        options.memory_file = dir_.file("memory");
        options.trace_file = dir_.file("trace");
        options.faults = faults;
        options.chatter_seconds = chatter_seconds;
        engine_ = std::make_unique<sim::Engine>(options, pty.master());
        EXPECT_TRUE(engine_->open(error)) << error;
        EXPECT_EQ(pipe(stop_), 0);
        started_ms_ = sim::monotonic_ms();
        thread_ = std::thread([this] { engine_->run(stop_[0]); });
    }
    ~SimPeer() override {
        finish();
        close_stop_pipe();
    }
    std::string finish() override {
        stop_thread();
        std::string line;
        for (const auto& [ms, chunk] : trace()) {
            line += chunk;
        }
        return line;
    }
    std::vector<std::pair<std::int64_t, std::string>> trace() const {
        std::vector<std::pair<std::int64_t, std::string>> out;
        std::istringstream in(dir_.read("trace"));
        std::int64_t ms = 0;
        std::string digits;
        while (in >> ms >> digits) {
            out.emplace_back(ms, test::from_hex(digits));
        }
        return out;
    }
    const sim::Engine& engine() const { return *engine_; }
    sim::Memory saved_memory() const {
        sim::Memory memory{};
        std::string error;
        EXPECT_TRUE(sim::load_memory(dir_.file("memory"), memory, error)) << error;
        return memory;
    }
    std::int64_t started_ms() const { return started_ms_; }

   private:
    TempDir dir_;
    std::unique_ptr<sim::Engine> engine_;
    std::int64_t started_ms_ = 0;
};

// Answers each trigger, in order, with its reply; optionally chatters one byte every
// 100 ms until the daemon says something (for 14 s at most, so a daemon that never
// stops draining fails the test rather than hanging it). A step may then stop the
// line from taking the daemon's bytes, for stall_ms or (-1) for good.
class ScriptedPeer : public Peer {
   public:
    struct Step {
        std::string trigger;
        std::string reply;
        int stall_ms = 0;
    };

    ScriptedPeer(Pty& pty, std::vector<Step> steps, int chatter_byte = -1)
        : master_(pty.master()), slave_(pty.slave()), steps_(std::move(steps)), chatter_byte_(chatter_byte) {
        EXPECT_EQ(pipe(stop_), 0);
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer() override {
        finish();
        close_stop_pipe();
    }
    std::string finish() override {
        stop_thread();
        return received_;
    }
    double first_byte_at() const { return first_byte_at_; }

   private:
    void run() {
        std::size_t step = 0;
        std::size_t matched = 0;
        const double chatter_end = test::now_seconds() + 14.0;
        for (;;) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, 100) < 0 || fds[1].revents != 0) {
                return;
            }
            if (resume_at_ > 0 && test::now_seconds() >= resume_at_) {
                resume_at_ = 0;
                tcflow(slave_, TCOON);
            }
            if (received_.empty() && chatter_byte_ >= 0 && test::now_seconds() < chatter_end) {
                const char c = static_cast<char>(chatter_byte_);
                EXPECT_EQ(write(master_, &c, 1), 1);
            }
            if ((fds[0].revents & POLLIN) == 0) {
                continue;
            }
            char buffer[512];
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            if (received_.empty()) {
                first_byte_at_ = test::now_seconds();
            }
            received_.append(buffer, static_cast<std::size_t>(n));
            while (step < steps_.size()) {
                const std::size_t at = received_.find(steps_[step].trigger, matched);
                if (at == std::string::npos) {
                    break;
                }
                matched = at + steps_[step].trigger.size();
                const Step& now = steps_[step++];
                if (!now.reply.empty()) {
                    EXPECT_EQ(write(master_, now.reply.data(), now.reply.size()),
                              static_cast<ssize_t>(now.reply.size()));
                }
                if (now.stall_ms != 0) {
                    tcflow(slave_, TCOOFF);  // the daemon's writes now fail with EAGAIN
                    resume_at_ = now.stall_ms > 0 ? test::now_seconds() + now.stall_ms / 1000.0 : 0;
                }
            }
        }
    }

    int master_;
    int slave_;
    double resume_at_ = 0;
    std::vector<Step> steps_;
    int chatter_byte_;
    std::string received_;
    double first_byte_at_ = 0;
};

// The daemon's time-outs, which the scripted timings below are made for.
constexpr RadioTimeouts kTimeouts{5, 1, 10, 2, 200};

// The daemon opens its line non-blocking.
SerialLine daemon_line(const Pty& pty) {
    fcntl(pty.slave(), F_SETFL, fcntl(pty.slave(), F_GETFL) | O_NONBLOCK);
    return SerialLine{pty.slave()};
}

// The daemon's side of one start on this pty.
bool handshake(const Pty& pty) {
    SerialLine line = daemon_line(pty);
    return init_radio(line, kTimeouts);
}

TEST(Radio, MatchingModuleIsOnlyReadAndLeft) {
    Pty pty;
    SimPeer module(pty, table_memory());
    CapturedLog log;
    EXPECT_TRUE(handshake(pty));
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0X"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(module.engine().module().memory_writes(), 0U);
}

TEST(Radio, OneDifferingParameterIsWrittenAlone) {
    sim::Memory memory = table_memory();
    memory[16] = 0;
    Pty pty;
    SimPeer module(pty, memory);
    CapturedLog log;
    EXPECT_TRUE(handshake(pty));
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0M" + bytes({16, 124}) + kEndWrite + "X"));
    EXPECT_EQ(log.lines(), (std::vector<test::LogLine>{{LOG_NOTICE, "rc1180 successfully initialized"}}));
    EXPECT_EQ(module.engine().module().memory()[16], 124);
    EXPECT_EQ(module.engine().module().memory_writes(), 1U);
}

TEST(Radio, FactoryModuleIsWrittenOnceThenLeftAlone) {
    const sim::Memory factory = sim::factory_memory();
    Pty pty;
    SimPeer module(pty, factory);
    CapturedLog log;
    EXPECT_TRUE(handshake(pty));
    // A second start finds the module as the first one left it.
    EXPECT_TRUE(handshake(pty));
    const std::string first = kEnter + "0M" + pairs_to_write(factory) + kEndWrite + "X";
    EXPECT_EQ(hex(module.finish()), hex(first + kEnter + "0X"));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"rc1180 successfully initialized"});
    EXPECT_EQ(module.engine().module().memory_writes(), pairs_to_write(factory).size() / 2);
    EXPECT_EQ(hex(text_of(module.saved_memory())), hex(text_of(table_memory())));
}

TEST(Radio, ShortMemoryAnswerGetsEveryPairBeyondItWritten) {
    Pty pty;
    SimPeer module(pty, table_memory(), sim::Faults{.short_memory = true});
    EXPECT_TRUE(handshake(pty));
    // The answer is 40 bytes of memory and the prompt: every parameter from 41 on is unknown.
    const std::string pairs = pairs_to_write(table_memory(), 41);
    EXPECT_EQ(hex(pairs), hex(bytes({48, 5, 53, 0, 54, 0, 58, 0, 61, 2, 62, 0, 63, 0})));
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0M" + pairs + kEndWrite + "X"));
}

TEST(Radio, ChatterBeforeTheHandshakeIsDrained) {
    Pty pty;
    SimPeer module(pty, table_memory(), sim::Faults{.chatter = true}, 2.0);
    EXPECT_TRUE(handshake(pty));
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0X"));
    const auto trace = module.trace();
    ASSERT_FALSE(trace.empty());
    // Two seconds of chatter, then a whole quiet second before the daemon speaks.
    EXPECT_GE(trace.front().first - module.started_ms(), 2800);
}

// Each failure waits out a 5 s answer time, so the cases run side by side: each
// daemon side in a child process on its own pty, the peers in this process.
TEST(Radio, EveryMissingOrWrongAnswerFailsWithoutLeavingConfigurationMode) {
    const sim::Memory factory = sim::factory_memory();
    sim::Memory off_at_16 = table_memory();
    off_at_16[16] = 0;
    const std::string memory_answer = text_of(factory) + ">";
    const std::string write_start = kEnter + "0M" + pairs_to_write(factory);
    struct Case {
        const char* name;
        std::function<std::unique_ptr<Peer>(Pty&)> peer;
        std::string line;
    };
    using Steps = std::vector<ScriptedPeer::Step>;
    const std::vector<Case> cases = {
        {"no answer after 0x00",
         [](Pty& p) { return std::make_unique<SimPeer>(p, sim::factory_memory(), sim::Faults{.silent = true}); },
         kEnter},
        {"wrong answer after 0x00",
         [](Pty& p) { return std::make_unique<SimPeer>(p, sim::factory_memory(), sim::Faults{.wrong_prompt = true}); },
         kEnter},
        {"no answer after 0",
         [](Pty& p) {
             return std::make_unique<ScriptedPeer>(p, Steps{{bytes({0}), ">"}});
         },
         kEnter + "0"},
        {"no answer after M",
         [&](Pty& p) {
             return std::make_unique<ScriptedPeer>(p, Steps{{bytes({0}), ">"}, {"0", memory_answer}});
         },
         kEnter + "0M"},
        {"wrong answer after M",
         [&](Pty& p) {
             return std::make_unique<ScriptedPeer>(p, Steps{{bytes({0}), ">"}, {"0", memory_answer}, {"M", "?>"}});
         },
         kEnter + "0M"},
        {"no answer after the end of the write",
         [](Pty& p) {
             return std::make_unique<SimPeer>(p, sim::factory_memory(), sim::Faults{.no_write_prompt = true});
         },
         write_start + kEndWrite},
        {"wrong answer after the end of the write",
         [&](Pty& p) {
             return std::make_unique<ScriptedPeer>(
                 p, Steps{{bytes({0}), ">"}, {"0", text_of(off_at_16) + ">"}, {"M", ">"}, {kEndWrite, "?"}});
         },
         kEnter + "0M" + bytes({16, 124}) + kEndWrite},
        {"the line never takes the final X",
         [&](Pty& p) {
             return std::make_unique<ScriptedPeer>(
                 p, Steps{{bytes({0}), ">"}, {"0", text_of(off_at_16) + ">"}, {"M", ">"}, {kEndWrite, ">", -1}});
         },
         kEnter + "0M" + bytes({16, 124}) + kEndWrite},
    };

    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<pid_t> children;
    // Children first: no thread may be running when we fork.
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ptys.push_back(std::make_unique<Pty>());
        SerialLine line = daemon_line(*ptys.back());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            set_log_sink([](int, const char*) {});
            _exit(init_radio(line, kTimeouts) ? 10 : 20);
        }
        children.push_back(pid);
    }
    std::vector<std::unique_ptr<Peer>> peers;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        peers.push_back(cases[i].peer(*ptys[i]));
    }
    const double start = test::now_seconds();
    std::vector<int> results(cases.size(), -1);
    for (std::size_t done = 0; done < cases.size() && test::seconds_since(start) < 20;) {
        for (std::size_t i = 0; i < cases.size(); ++i) {
            int status = 0;
            if (results[i] < 0 && waitpid(children[i], &status, WNOHANG) == children[i]) {
                results[i] = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
                ++done;
            }
        }
        usleep(20000);
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (results[i] < 0) {
            kill(children[i], SIGKILL);
            waitpid(children[i], nullptr, 0);
        }
        EXPECT_EQ(results[i], 20) << cases[i].name << ": init_radio must return false";
        EXPECT_EQ(hex(peers[i]->finish()), hex(cases[i].line)) << cases[i].name << ": no \"X\", nothing more";
    }
    EXPECT_LT(test::seconds_since(start), 8.0);
}

// Every byte of the exchange must reach the module: one lost pair byte shifts the
// module's address/value pairing.
TEST(Radio, ALineThatStopsTakingBytesForAWhileIsWaitedFor) {
    const sim::Memory factory = sim::factory_memory();
    Pty pty;
    // The daemon reads the prompt for 200 ms and then writes every pair into the stall.
    ScriptedPeer module(pty, {{bytes({0}), ">"}, {"0", text_of(factory) + ">"}, {"M", ">", 600}, {kEndWrite, ">"}});
    CapturedLog log;
    EXPECT_TRUE(handshake(pty));
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0M" + pairs_to_write(factory) + kEndWrite + "X"));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"rc1180 successfully initialized"});
}

TEST(Radio, DrainGivesUpAfterTenSecondsOfChatter) {
    Pty pty;
    // Chatter of prompt bytes, so that a last one still in flight cannot spoil the answer to 0x00.
    ScriptedPeer module(pty, {{bytes({0}), ">"}, {"0", text_of(table_memory()) + ">"}}, '>');
    CapturedLog log;
    const double start = test::now_seconds();
    EXPECT_TRUE(handshake(pty));
    const double took = test::seconds_since(start);
    EXPECT_EQ(hex(module.finish()), hex(kEnter + "0X"));
    // Whole seconds of the monotonic clock decide, so the bound is 9 to 10 s of chatter.
    EXPECT_GE(module.first_byte_at() - start, 9.0);
    EXPECT_LT(took, 12.5);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace norvalith
