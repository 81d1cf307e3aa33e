// The bus client's log: one line per event on standard error (standard output belongs to
// the web server library's own log), "[<time> <pid>] lpr_zmq[<identity>] <LEVEL>: <text>",
// up to the level of the last start. The text of the last ERROR line is kept whatever the
// level, so that a failed start can report its reason (lpr_zmq_last_init_error).
#ifndef LPR_BUS_LOG_H
#define LPR_BUS_LOG_H

#include <cstddef>
#include <string>

namespace lpr_bus {

void bus_log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// What a start sets: the process name that every line carries, and the level (a level out
// of range is ignored; the start refuses it).
void set_log_identity(const char* identity, size_t size);
void set_log_level(int level);

// The text of the last ERROR line since clear_last_error(); "" when there was none.
void clear_last_error();
std::string last_error();

}  // namespace lpr_bus

#endif /* LPR_BUS_LOG_H */
