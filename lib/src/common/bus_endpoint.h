// Endpoint ownership: where an endpoint lives (relocation under LPR_ZMQ_IPC_DIR), and the
// lock file that keeps a second publisher off an ipc endpoint. ZeroMQ would let a second
// process bind the same ipc path, unlinking the first one's socket and silently taking the
// endpoint over; docs/bus.md ("One publisher per endpoint") gives the steps taken instead.
#ifndef LPR_BUS_ENDPOINT_H
#define LPR_BUS_ENDPOINT_H

#include <string>

#include "bus_handles.h"

namespace lpr_bus {

// With LPR_ZMQ_IPC_DIR set, "ipc://<dir>/<name>" becomes "ipc://$LPR_ZMQ_IPC_DIR/<name>";
// other endpoints are returned as given.
std::string relocate(const std::string& endpoint);

// Takes the publishing endpoint for this process before the PUB socket binds it: for an
// ipc endpoint, its folder must exist, the lock file beside the socket is locked into *lock
// (held until the caller lets it go, after its ZeroMQ context has ended), and no other
// process may accept connections on the socket. LPR_ZMQ_OK, or the error code, logged.
int claim_endpoint(const std::string& endpoint, Fd* lock);

// A subscribing endpoint may name a socket that does not exist yet, but an ipc endpoint's
// folder must exist. LPR_ZMQ_OK or LPR_ZMQ_EENDPOINT, logged.
int check_sub_endpoint(const std::string& endpoint);

// The client's error code for the errno of a failed bind or connect.
int endpoint_error(int err);

}  // namespace lpr_bus

#endif /* LPR_BUS_ENDPOINT_H */
