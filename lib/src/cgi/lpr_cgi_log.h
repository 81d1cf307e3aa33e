/*
 * Log lines of the library: one printf per line on standard output, no levels and no
 * flush, in the form
 *   "[<time> <pid>] <tag>: <message>==func:<function> file:<source> line:<n>\n".
 * The line number is given by the caller: it is part of the line's identity, which
 * log readers match on, and does not follow the layout of the source file.
 *
 * A source file that logs defines LPR_LOG_TAG (its module tag) and LPR_LOG_FILE (its
 * path from the root of the source tree) before including this header.
 */
#ifndef LPR_CGI_LOG_H
#define LPR_CGI_LOG_H

#include <unistd.h>

#include <cstdio>

#include "lpr_common.h"

#define LPR_LOG_PREFIX "[%s %d] " LPR_LOG_TAG ": "
#define LPR_LOG_SUFFIX "==func:%s file:%s line:%d\n"

/* A log line whose message has printf values. */
#define LPR_LOG(LINE, MSG, ...)                                                                   \
    do {                                                                                          \
        char lpr_log_time_[32] = {0};                                                             \
        lpr_get_time_string(lpr_log_time_, sizeof lpr_log_time_);                                 \
        std::printf(LPR_LOG_PREFIX MSG LPR_LOG_SUFFIX, lpr_log_time_, static_cast<int>(getpid()), \
                    __VA_ARGS__, __func__, LPR_LOG_FILE, (LINE));                                 \
    } while (0)

/* A log line with a fixed message. */
#define LPR_LOG0(LINE, MSG)                                                                       \
    do {                                                                                          \
        char lpr_log_time_[32] = {0};                                                             \
        lpr_get_time_string(lpr_log_time_, sizeof lpr_log_time_);                                 \
        std::printf(LPR_LOG_PREFIX MSG LPR_LOG_SUFFIX, lpr_log_time_, static_cast<int>(getpid()), \
                    __func__, LPR_LOG_FILE, (LINE));                                              \
    } while (0)

#endif /* LPR_CGI_LOG_H */
