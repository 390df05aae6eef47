#include "base/log.hpp"

#include <cstdarg>
#include <cstdio>

namespace norvalith {

namespace {
LogSink g_sink = nullptr;
}

void set_log_sink(LogSink sink) { g_sink = sink; }

void log_msg(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (g_sink == nullptr) {
        vsyslog(priority, format, args);
    } else {
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized): started above
        g_sink(priority, text);
    }
    va_end(args);
}

}  // namespace norvalith
