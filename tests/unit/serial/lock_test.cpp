// UUCP lock file with real processes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "serial/lock.hpp"
#include "test_support.hpp"

namespace norvalith {
namespace {

using test::TempDir;

std::string lock_content(int pid) {
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", pid);
    return text;
}

pid_t dead_pid() {
    const pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    return child;
}

// A live process for the length of the test.
struct Sleeper {
    pid_t pid = fork();
    Sleeper() {
        if (pid == 0) {
            pause();
            _exit(0);
        }
    }
    ~Sleeper() {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;
};

int g_link_error = 0;

}  // namespace
}  // namespace norvalith

// A file system that refuses hard links, for this test program.
extern "C" int link(const char* from, const char* to) noexcept {
    if (norvalith::g_link_error != 0) {
        errno = norvalith::g_link_error;
        return -1;
    }
    return linkat(AT_FDCWD, from, AT_FDCWD, to, 0);
}

namespace norvalith {
namespace {

// Without hard links the lock is created in place, same content, same rules;
// the exit that gives the line up removes only a lock holding our pid.
TEST(Lock, WithoutHardLinksAndGivenUp) {
    TempDir dir;
    const std::string pattern = dir.path() + "/LCK..%s";
    for (const int error : {EPERM, EOPNOTSUPP, EMLINK}) {
        SCOPED_TRACE(error);
        g_link_error = error;
        dir.write("LCK..ttyS1", lock_content(dead_pid()));
        ASSERT_TRUE(lock_device(pattern.c_str(), "/dev/ttyS1", 1));
        EXPECT_EQ(dir.read("LCK..ttyS1"), lock_content(getpid()));
        EXPECT_EQ(dir.list(), std::vector<std::string>{"LCK..ttyS1"});
        Sleeper other;
        dir.write("LCK..ttyS1", lock_content(other.pid));
        EXPECT_FALSE(lock_device(pattern.c_str(), "/dev/ttyS1", 0));
        unlock_device(pattern.c_str(), "/dev/ttyS1");
        EXPECT_EQ(dir.read("LCK..ttyS1"), lock_content(other.pid));
        std::remove(dir.file("LCK..ttyS1").c_str());
    }
    g_link_error = 0;
    ASSERT_TRUE(lock_device(pattern.c_str(), "/dev/ttyS1", 1));
    unlock_device(pattern.c_str(), "/dev/ttyS1");
    EXPECT_TRUE(dir.list().empty());
}

TEST(Lock, StaleLocksAreReplacedAtOnceWithOurPid) {
    TempDir dir;
    const std::string pattern = dir.path() + "/LCK..%s";
    const std::string expected = lock_content(getpid());
    const std::string stale[] = {lock_content(dead_pid()), "garbage\n", "", lock_content(getpid())};
    for (const std::string& content : stale) {
        dir.write("LCK..ttyS1", content);
        const double start = test::now_seconds();
        ASSERT_TRUE(lock_device(pattern.c_str(), "/dev/ttyS1", 1)) << content;
        EXPECT_LT(test::seconds_since(start), 0.5) << content;
        EXPECT_EQ(dir.read("LCK..ttyS1"), expected);
        EXPECT_EQ(expected.size(), 11U);
        EXPECT_EQ(dir.list(), std::vector<std::string>{"LCK..ttyS1"}) << "nothing else left behind";
    }
    EXPECT_EQ(test::file_mode(dir.file("LCK..ttyS1")), static_cast<int>(0644U & ~test::current_umask()));
}

TEST(Lock, HeldLockOrMissingDirectoryTimesOutAfterOneToTwoSeconds) {
    TempDir dir;
    const std::string pattern = dir.path() + "/LCK..%s";
    Sleeper holder;
    dir.write("LCK..ttyS1", lock_content(holder.pid));
    double start = test::now_seconds();
    EXPECT_FALSE(lock_device(pattern.c_str(), "/dev/ttyS1", 1));
    double waited = test::seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LE(waited, 2.3);
    EXPECT_EQ(dir.read("LCK..ttyS1"), lock_content(holder.pid));

    const std::string missing = dir.path() + "/missing/LCK..%s";
    start = test::now_seconds();
    EXPECT_FALSE(lock_device(missing.c_str(), "/dev/ttyS1", 1));
    waited = test::seconds_since(start);
    EXPECT_GE(waited, 0.95);
    EXPECT_LE(waited, 2.3);
}

TEST(Lock, AnotherUsersLiveProcessHoldsTheLock) {
    // Signal 0 to someone else's process fails with EPERM: it is alive.
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    const std::string pattern = dir.path() + "/LCK..%s";
    const pid_t owner = getpid();
    dir.write("LCK..ttyS1", lock_content(geteuid() == 0 ? owner : 1));
    const pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) {
                _exit(3);
            }
        }
        const bool alive = pid_alive(geteuid() == 0 ? owner : 1);
        const bool locked = lock_device(pattern.c_str(), "/dev/ttyS1", 1);
        _exit(alive && !locked ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(pid_alive(0));
    EXPECT_FALSE(pid_alive(-1));
    EXPECT_FALSE(pid_alive(dead_pid()));
}

// Something planted at the lock path that is not a regular file is never opened
// blocking, followed or removed: it holds the lock like a live owner would.
TEST(Lock, AnythingButARegularFileCountsAsHeld) {
    TempDir dir;
    const std::string victim = lock_content(dead_pid());
    dir.write("victim", victim);
    const char* const cases[] = {"fifo", "symlink", "directory"};
    std::vector<pid_t> children;
    for (const std::string name : cases) {
        const std::string base = dir.file(name);
        ASSERT_EQ(mkdir(base.c_str(), 0755), 0);
        const std::string lock = base + "/LCK..ttyS1";
        if (name == "fifo") {
            ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0);
        } else if (name == "symlink") {
            ASSERT_EQ(symlink(dir.file("victim").c_str(), lock.c_str()), 0);
        } else {
            ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
        }
        const pid_t child = fork();
        if (child == 0) {
            alarm(5);  // an attempt that hangs fails the case instead of the run
            const double start = test::now_seconds();
            const bool locked = lock_device((base + "/LCK..%s").c_str(), "/dev/ttyS1", 1);
            const double waited = test::seconds_since(start);
            _exit(locked ? 1 : waited < 0.95 ? 2 : waited > 2.3 ? 3 : 0);
        }
        children.push_back(child);
    }
    const char* const outcomes[] = {"held", "taken", "given up too early", "given up too late"};
    for (std::size_t i = 0; i < children.size(); ++i) {
        int status = 0;
        ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        EXPECT_EQ(code, 0) << cases[i] << ": " << (code < 0 ? "hung" : outcomes[code]);
        struct stat info {};
        ASSERT_EQ(lstat(dir.file(std::string(cases[i]) + "/LCK..ttyS1").c_str(), &info), 0) << cases[i];
        EXPECT_FALSE(S_ISREG(info.st_mode)) << cases[i] << " was replaced";
    }
    EXPECT_EQ(dir.read("victim"), victim);
}

// Both windows of taking the lock, widened as a preempted process would widen
// them: between creating the file and writing the pid, and between judging a lock
// stale and removing it. Pairs of processes race for a free or a stale lock; in
// some pairs one process judges the stale lock and acts only after the other
// took the lock.
long g_stale_pause_ms = 30;

void widen(LockStep step) {
    const long ms = step == LockStep::stale_removal ? g_stale_pause_ms : 30;
    const timespec pause{0, ms * 1000000};
    nanosleep(&pause, nullptr);
}

struct Report {
    std::int32_t pair;
    std::int32_t pid;
    std::int32_t won;
};

TEST(Lock, OfTwoRacingProcessesOnlyOneHoldsIt) {
    constexpr int kPairs = 120;
    constexpr int kBatch = 20;
    TempDir dir;
    int double_holds = 0;
    int unheld = 0;
    for (int first = 0; first < kPairs; first += kBatch) {
        int go[2];
        int reports[2];
        int release[2];
        ASSERT_EQ(pipe(go), 0);
        ASSERT_EQ(pipe(reports), 0);
        ASSERT_EQ(pipe(release), 0);
        std::vector<pid_t> children;
        for (int pair = first; pair < first + kBatch; ++pair) {
            const std::string name = "pair" + std::to_string(pair);
            ASSERT_EQ(mkdir(dir.file(name).c_str(), 0755), 0);
            if (pair % 2 == 1) {
                dir.write(name + "/LCK..ttyS1", lock_content(dead_pid()));
            }
            const std::string pattern = dir.file(name) + "/LCK..%s";
            for (int k = 0; k < 2; ++k) {
                const pid_t child = fork();
                if (child == 0) {
                    close(go[1]);
                    close(reports[0]);
                    close(release[1]);
                    g_stale_pause_ms = k == 1 && pair % 4 == 3 ? 90 : 30;
                    set_lock_hook(widen);
                    char c = 0;
                    [[maybe_unused]] ssize_t n = read(go[0], &c, 1);  // end of file: go
                    const Report r{pair, getpid(), lock_device(pattern.c_str(), "/dev/ttyS1", 1) ? 1 : 0};
                    n = write(reports[1], &r, sizeof r);
                    n = read(release[0], &c, 1);  // a winner holds the lock until the batch is judged
                    _exit(0);
                }
                children.push_back(child);
            }
        }
        close(go[0]);
        close(reports[1]);
        close(release[0]);
        close(go[1]);  // the whole batch starts at once

        // Until every pair has a holder and a second one had ample time to appear.
        std::map<int, std::vector<pid_t>> holders;
        double last_first_win = 0;
        const double start = test::now_seconds();
        while (test::seconds_since(start) < 8 &&
               (static_cast<int>(holders.size()) < kBatch || test::seconds_since(last_first_win) < 0.4)) {
            pollfd p{reports[0], POLLIN, 0};
            Report r{};
            if (poll(&p, 1, 50) > 0 && read(reports[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r) && r.won) {
                if (holders[r.pair].empty()) {
                    last_first_win = test::now_seconds();
                }
                holders[r.pair].push_back(r.pid);
            }
        }
        for (int pair = first; pair < first + kBatch; ++pair) {
            const std::vector<pid_t>& held = holders[pair];
            double_holds += held.size() > 1 ? 1 : 0;
            unheld += held.empty() ? 1 : 0;
            if (held.size() == 1) {
                EXPECT_EQ(dir.read("pair" + std::to_string(pair) + "/LCK..ttyS1"), lock_content(held[0]));
            }
        }
        close(release[1]);
        for (const pid_t child : children) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        close(reports[0]);
    }
    EXPECT_EQ(double_holds, 0) << "pairs of " << kPairs << " in which both processes held the lock";
    EXPECT_EQ(unheld, 0) << "pairs in which neither got it";
}

}  // namespace
}  // namespace norvalith
