/*
 * The bus subscription registry: topics with their callbacks, subscribed as a group
 * at start-up and unsubscribed (and forgotten) at shutdown.
 */
#ifndef LPR_CGI_WS_SUB_H
#define LPR_CGI_WS_SUB_H

#include "cgi/lpr_cgi.h"

/* Subscribes every registered topic on the bus client. dbPath is not used. */
LPR_CGI_API void lpr_cgi_ws_sub_init(const char* dbPath);

/* Unsubscribes every registered topic, then empties the registry. */
LPR_CGI_API void lpr_cgi_ws_sub_uninit();

#endif /* LPR_CGI_WS_SUB_H */
