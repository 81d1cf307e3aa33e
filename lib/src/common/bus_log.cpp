#include "bus_log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lpr_common.h"
#include "lpr_zmq.h"

namespace lpr_bus {
namespace {

std::atomic<int> s_logLevel{LPR_ZMQ_LOG_WARN};
std::mutex s_logMutex;    // guards s_identity and s_lastError, and keeps lines whole
std::string s_identity;   // process name of the started (or last started) client
std::string s_lastError;  // text of the last ERROR line, whatever the log level

const char* level_name(int level) {
    static const char* const kNames[] = {"ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
    return level >= 0 && level <= LPR_ZMQ_LOG_TRACE ? kNames[level] : "?";
}

}  // namespace

void bus_log(int level, const char* fmt, ...) {
    const bool print = level <= s_logLevel.load(std::memory_order_relaxed);
    if (!print && level != LPR_ZMQ_LOG_ERROR) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    char stamp[32] = {};
    lpr_get_time_string(stamp, sizeof stamp);
    std::lock_guard<std::mutex> guard(s_logMutex);
    if (level == LPR_ZMQ_LOG_ERROR) {
        s_lastError = text;
    }
    if (!print) {
        return;
    }
    std::fprintf(stderr, "[%s %d] lpr_zmq[%s] %s: %s\n", stamp, static_cast<int>(getpid()),
                 s_identity.c_str(), level_name(level), text);
}

void set_log_identity(const char* identity, size_t size) {
    std::lock_guard<std::mutex> guard(s_logMutex);
    s_identity.assign(identity, strnlen(identity, size));
}

void set_log_level(int level) {
    if (level >= LPR_ZMQ_LOG_ERROR && level <= LPR_ZMQ_LOG_TRACE) {
        s_logLevel = level;
    }
}

void clear_last_error() {
    std::lock_guard<std::mutex> guard(s_logMutex);
    s_lastError.clear();
}

std::string last_error() {
    std::lock_guard<std::mutex> guard(s_logMutex);
    return s_lastError;
}

}  // namespace lpr_bus
