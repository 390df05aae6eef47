// rc1180-sim: an RC1180 wireless M-Bus module on a pseudo-terminal, for tests, demos
// and trying a gateway without a radio.
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.hpp"
#include "options.hpp"

using namespace norvalith::sim;

namespace {

int g_stop_write = -1;

void on_signal([[maybe_unused]] int signal_number) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = write(g_stop_write, &byte, 1);
    errno = saved;
}

// Replaces an existing symlink, never anything else; the rename makes it atomic.
bool make_link(const std::string& link, const std::string& target) {
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        std::fprintf(stderr, "rc1180-sim: %s exists and is not a symlink\n", link.c_str());
        return false;
    }
    const std::string temp = link + ".rc1180-sim";
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "rc1180-sim: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    return true;
}

// Only our own link goes; someone may have pointed it elsewhere meanwhile.
void remove_link(const std::string& link, const std::string& target) {
    char buffer[4096];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)) == target) {
        unlink(link.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    const std::vector<const char*> args(argv + 1, argv + argc);
    if (!parse_options(args, options, error)) {
        std::fprintf(stderr, "rc1180-sim: %s\n(see rc1180-sim --help)\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usage_text(), stdout);
        return 0;
    }

    int master = -1;
    int slave = -1;
    char name[256];
    termios raw{};
    cfmakeraw(&raw);
    cfsetispeed(&raw, B19200);
    cfsetospeed(&raw, B19200);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::fprintf(stderr, "rc1180-sim: openpty: %s\n", std::strerror(errno));
        return 1;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    const std::string slave_path = name;

    // We keep the slave open ourselves: the line then never hangs up between two
    // daemon runs, and we can see whether the daemon has read everything.
    Engine engine(options, master, slave);
    if (!engine.open(error)) {
        std::fprintf(stderr, "rc1180-sim: %s\n", error.c_str());
        return 1;
    }

    int stop_pipe[2];
    if (pipe2(stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "rc1180-sim: pipe: %s\n", std::strerror(errno));
        return 1;
    }
    g_stop_write = stop_pipe[1];
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);

    if (!options.link.empty() && !make_link(options.link, slave_path)) {
        return 1;
    }
    std::printf("%s\n", slave_path.c_str());
    std::fflush(stdout);
    if (!options.seed_given) {
        std::fprintf(stderr, "rc1180-sim: seed %llu\n", static_cast<unsigned long long>(engine.seed()));
    }

    const int status = engine.run(stop_pipe[0]);

    if (!options.link.empty()) {
        remove_link(options.link, slave_path);
    }
    std::fprintf(stderr, "%s\n", engine.summary().c_str());
    return status;
}
