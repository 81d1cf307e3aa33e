// The bus client's configuration: the defaults that lpr_zmq_get_default_config fills in, the
// checks lpr_zmq_init makes before it touches anything, and the ZeroMQ option each numeric
// field sets. docs/bus.md ("Configuration") lists the same table for users.
#ifndef LPR_BUS_CONFIG_H
#define LPR_BUS_CONFIG_H

#include <cstddef>
#include <cstdint>

#include "lpr_zmq.h"

namespace lpr_bus {

// The sockets a numeric field's ZeroMQ option is set on.
enum SocketMask : unsigned { kOnNone = 0, kOnPub = 1, kOnSub = 2 };

// One numeric field: its default, the values lpr_zmq_init accepts, and the socket option it
// sets (zmqOption -1: none; the field is used by the client itself).
struct NumericField {
    const char* name;
    int32_t lpr_zmq_config_t::*field;
    int32_t byDefault;
    int32_t min;
    int32_t max;
    int zmqOption;
    unsigned sockets;
};

// Every numeric field, in the order in which lpr_zmq_init checks them.
const NumericField* numeric_fields(size_t* count);

bool publishes(int role);
bool subscribes(int role);

// Fills the whole record; LPR_ZMQ_EINVAL for a role that is none of lpr_zmq_role_t (the
// record is filled all the same).
int default_config(lpr_zmq_config_t* cfg, lpr_zmq_role_t role, const char* identity);

// LPR_ZMQ_OK, or the error code of the first field that lpr_zmq_init refuses (logged at
// ERROR with the field and the reason).
int check_config(const lpr_zmq_config_t& cfg);

// Copies at most size-1 bytes of text (null: ""), never ending inside a UTF-8 sequence.
void copy_text(char* dst, size_t size, const char* text);

}  // namespace lpr_bus

#endif /* LPR_BUS_CONFIG_H */
