/*
 * Library actions: a request handed to liblprcgi through lpr_cgi_handle, and the answer.
 * A write is checked first in strict mode (strict_check.h), goes through its record's gate
 * (write_ack.h) and, once the library stored it, waits with its connection suspended for
 * the settings daemon's acknowledgement.
 */
#ifndef LPR_WEBD_LIBRARY_CALL_H
#define LPR_WEBD_LIBRARY_CALL_H

#include <microhttpd.h>

#include "request.h"
#include "routes.h"
#include "write_ack.h"

namespace webd {

/* The handler of the library action rows (and of action names no row knows, which the
 * library answers 404). */
MHD_Result call_library(Exchange& ex);

/* When the connection of a waiting write resumes: the library's reply if the daemon
 * stored the record, else 503 with the reason. */
MHD_Result answer_write(MHD_Connection* connection, Request& req, WriteAcks& acks,
                        ChangeLog& changes);

}  // namespace webd

#endif /* LPR_WEBD_LIBRARY_CALL_H */
