#include "base/notify.hpp"

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstddef>
#include <cstring>

namespace norvalith {

void open_notifier(Notifier& notifier, const char* socket_name) {
    notifier = Notifier{};
    if (socket_name == nullptr) {
        return;
    }
    const std::size_t size = std::strlen(socket_name);
    if (size < 2 || size >= sizeof notifier.address.sun_path || (socket_name[0] != '/' && socket_name[0] != '@')) {
        return;
    }
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    notifier.address.sun_family = AF_UNIX;
    std::memcpy(notifier.address.sun_path, socket_name, size);
    if (socket_name[0] == '@') {
        notifier.address.sun_path[0] = '\0';  // abstract: its length counts, no terminator
    }
    notifier.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size + (socket_name[0] == '/' ? 1 : 0));
    notifier.fd = fd;
}

void notify(const Notifier& notifier, const char* message) {
    if (notifier.fd < 0) {
        return;
    }
    // MSG_DONTWAIT: a manager that does not read must never hold the loop.
    (void)sendto(notifier.fd, message, std::strlen(message), MSG_DONTWAIT | MSG_NOSIGNAL,
                 reinterpret_cast<const sockaddr*>(&notifier.address), notifier.length);
}

int open_reload_signal() {
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &hangup, nullptr) != 0) {
        return -1;
    }
    const int fd = signalfd(-1, &hangup, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        sigprocmask(SIG_UNBLOCK, &hangup, nullptr);
    }
    return fd;
}

bool take_reload_signal(int fd) {
    if (fd < 0) {
        return false;
    }
    bool taken = false;
    signalfd_siginfo info;
    while (read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        taken = true;
    }
    return taken;
}

}  // namespace norvalith
