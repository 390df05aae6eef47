// UUCP lock file with real processes.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

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
    }
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

}  // namespace
}  // namespace norvalith
