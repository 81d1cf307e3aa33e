// What one start of the bus client owns, and how it is set up: the ZeroMQ context, the PUB
// socket bound at the publishing endpoint (with the endpoint's lock), the SUB socket
// connected to the subscribing endpoint, and the eventfd that wakes the receive thread.
#ifndef LPR_BUS_SESSION_H
#define LPR_BUS_SESSION_H

#include <string>
#include <thread>

#include "bus_handles.h"
#include "lpr_zmq.h"

namespace lpr_bus {

// Members are released in reverse order: the receive thread must have been joined, sockets
// close first, the context then waits at most linger_ms for unsent messages, and only then
// is the endpoint's lock file released, so that a successor cannot bind while this client's
// socket is still open.
struct Session {
    Fd lock;
    ContextPtr ctx;
    SocketPtr pub;
    SocketPtr sub;
    Fd wake;
    std::thread receiver;  // started by the Bus once the session is open
    std::string pubEndpoint;
    std::string subEndpoint;
};

// Sets up *s for a configuration that check_config accepted: the context, then the sockets
// that the role uses, each with the options of the configuration's numeric fields.
// LPR_ZMQ_OK, or the error code, logged; what was set up is released with *s.
int open_session(const lpr_zmq_config_t& cfg, Session* s);

}  // namespace lpr_bus

#endif /* LPR_BUS_SESSION_H */
