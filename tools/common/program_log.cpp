#include "program_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <exception>

#include "lpr_common.h"

namespace tools {

void log_line(const char* tag, const char* format, ...) {
    char when[32] = {};
    lpr_get_time_string(when, sizeof when);
    char message[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::printf("[%s %d] %s: %s\n", when, static_cast<int>(getpid()), tag, message);
}

void log_caught(const char* tag, const char* context) noexcept {
    // Rethrown to learn its type; the exception stays alive while the caller's catch runs.
    try {
        throw;
    } catch (const std::exception& e) {
        log_line(tag, "error: %s: %s", context, e.what());
    } catch (...) {
        log_line(tag, "error: %s: an exception that is not a std::exception", context);
    }
}

}  // namespace tools
