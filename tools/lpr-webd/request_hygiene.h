/*
 * Requests refused for their form before any handler runs: framing that two parsers
 * could read differently, and request targets that C strings would cut or a log line
 * would show wrongly. libmicrohttpd accepts them (or, for a missing Host, answers with
 * an error page whose header it sends twice), so the server asks here first.
 */
#ifndef LPR_WEBD_REQUEST_HYGIENE_H
#define LPR_WEBD_REQUEST_HYGIENE_H

#include <microhttpd.h>

namespace webd {

struct Refusal {
    unsigned status;
    const char* message; /* the "msg" of the reply envelope */
};

/* The refusal of a request whose headers have arrived, or null when it may go on.
 * target is the request target as it came in the request line (percent escapes not
 * decoded), version the protocol version of the request line. */
const Refusal* refuse_request(MHD_Connection* connection, const char* target, const char* version);

}  // namespace webd

#endif /* LPR_WEBD_REQUEST_HYGIENE_H */
