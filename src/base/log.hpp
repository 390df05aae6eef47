// The one way components talk to the system log.
#pragma once

#include <syslog.h>

namespace norvalith {

// The system log is one per process, and so is its stand-in: a sink that receives
// every message instead (tests, fuzzers). nullptr restores syslog.
using LogSink = void (*)(int priority, const char* text);
void set_log_sink(LogSink sink);

void log_msg(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace norvalith
