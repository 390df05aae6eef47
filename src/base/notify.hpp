// The service manager's notify protocol: one datagram per message to the socket
// that NOTIFY_SOCKET names. Without a service manager there is nothing to tell.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

namespace norvalith {

struct Notifier {
    int fd = -1;  // -1: no service manager listens
    sockaddr_un address{};
    socklen_t length = 0;
};

// From the socket's name as NOTIFY_SOCKET gives it: a path, or "@name" in the
// abstract namespace. nullptr, an empty or an unusable name leave it closed.
void open_notifier(Notifier& notifier, const char* socket_name);

// Sends one message ("READY=1", "WATCHDOG=1", "STATUS=..."); never waits: a
// manager that does not read loses it.
void notify(const Notifier& notifier, const char* message);

// SIGHUP asks for a reload: blocked, and delivered through the descriptor this
// returns (readable while one is pending), so that a wait on the line can watch
// it and nothing runs in a signal handler. -1 when that fails: SIGHUP then keeps
// its default action.
int open_reload_signal();

// True when a SIGHUP came since the last call; takes every pending one.
bool take_reload_signal(int fd);

}  // namespace norvalith
