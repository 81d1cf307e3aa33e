/*
 * Log lines of the programs around the library (lpr-webd, lpr-settingsd), in the form of the
 * library's own: "[<time> <pid>] <tag>: <message>" on standard output, with the time of
 * lpr_get_time_string. Each call writes one whole line; the programs make standard output
 * line-buffered, so a line reaches a pipe or file at once.
 *
 * Allocates nothing (the message is cut to 1023 bytes): it is also the way an error is
 * reported where memory ran out. Safe on any thread.
 */
#ifndef LPR_TOOLS_PROGRAM_LOG_H
#define LPR_TOOLS_PROGRAM_LOG_H

namespace tools {

void log_line(const char* tag, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Inside a catch block: "error: <context>: <what the caught exception says>" under tag. The
 * callbacks that a C library calls (libmicrohttpd, the bus client) catch everything at their
 * top and report it with this, once. */
void log_caught(const char* tag, const char* context) noexcept;

}  // namespace tools

#endif /* LPR_TOOLS_PROGRAM_LOG_H */
