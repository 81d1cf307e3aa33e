/*
 * Replies: the envelope {"code":N,"msg":"..."} of the host's own answers, the library's
 * replies as lpr-webd sends them (without a copy, completed where the host knows more), and
 * the host routes' bodies (the listing of actions, whoami, the settings table, the settings
 * page's files). Every reply but the page's files is JSON, marked Cache-Control: no-store;
 * every reply is recorded in the request for the access log.
 */
#ifndef LPR_WEBD_REPLIES_H
#define LPR_WEBD_REPLIES_H

#include <microhttpd.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "request.h"
#include "routes.h"

namespace webd {

/* The library's reply envelope, for the host's own replies. */
std::string envelope(int code, const std::string& msg);

/* Queues body with status (and one more header when header is not null). */
MHD_Result reply(MHD_Connection* connection, Request& req, unsigned status, std::string_view body,
                 const char* header = nullptr, const char* value = nullptr);

/* 429 with Retry-After: the client's address is blocked for seconds. */
MHD_Result reply_throttled(MHD_Connection* connection, Request& req, unsigned seconds);

/* 413: the body is larger than maxBody bytes. */
MHD_Result reply_too_large(MHD_Connection* connection, Request& req, size_t maxBody);

/* Sends req.libraryReply, the library's answer for req.route: as the library made it, or
 * completed by the host (a 403 with the permission needed, a 400 with the rule that failed,
 * a read with the passwords hidden from a user who may not change them). */
MHD_Result reply_library(MHD_Connection* connection, Request& req);

/* Host routes: the library's listing of its actions; who the user is and which actions
 * they may call. */
MHD_Result reply_listing(Exchange& ex);
MHD_Result reply_whoami(Exchange& ex);
/* The settings table (settings_table.h) as JSON: what the settings page builds its forms
 * from. */
MHD_Result reply_settings_table(Exchange& ex);
/* The health of the web server and its daemon (status.h); the newest entries of the change
 * log (change_log.h), as many as the query's "limit". */
MHD_Result reply_status(Exchange& ex);
MHD_Result reply_changes(Exchange& ex);
/* A file of the settings page (static_files.h), or 304 when the browser holds it. */
MHD_Result reply_page_file(Exchange& ex);

}  // namespace webd

#endif /* LPR_WEBD_REPLIES_H */
