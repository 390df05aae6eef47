#include "base/notify.hpp"

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

}  // namespace norvalith
