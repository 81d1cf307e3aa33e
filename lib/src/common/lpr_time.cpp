#include <sys/time.h>

#include <cstdio>
#include <ctime>

#include "lpr_common.h"

int lpr_get_time_string(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    struct timeval now;
    gettimeofday(&now, nullptr);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    char text[48];
    int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, static_cast<int>(now.tv_usec / 1000));
    if (n < 0) {
        buffer[0] = '\0';
        return -1;
    }
    size_t count = static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
    for (size_t i = 0; i < count; ++i) {
        buffer[i] = text[i];
    }
    buffer[count] = '\0';
    return static_cast<int>(count);
}
