/*
 * Routing: the one table of every URL lpr-webd answers, each row with its handler, the
 * permission a user needs and the methods it takes; the lookup (once per request) and the
 * method and permission rules, applied here and nowhere else.
 *
 * Library actions (rows with an action handler) are registered with the library under the
 * last part of their path, with the row's permission and methods; the library then tests
 * both itself, as it does for any host, and lpr-webd passes its answer on. Host routes are
 * tested here, in the library's order: permission (403), then method (405). A method that
 * has no HTTP_METHODS number (anything but GET, HEAD and POST) is refused here for every
 * route. HEAD goes wherever GET goes; the HTTP server then sends the headers only.
 */
#ifndef LPR_WEBD_ROUTES_H
#define LPR_WEBD_ROUTES_H

#include <microhttpd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "cgi/lpr_cgi.h"
#include "change_log.h"
#include "options.h"
#include "request.h"
#include "status.h"
#include "write_ack.h"

namespace webd {

/* Method bits of Route::methods: bit n allows HTTP_METHODS value n. */
constexpr int kMethodGet = 1 << QZ_HTTP_GET;
constexpr int kMethodPost = 1 << QZ_HTTP_POST;

/* What a route's handler works with. */
struct Exchange {
    MHD_Connection* connection;
    Request& req; /* authenticated: req.account is the user */
    const Options& options;
    WriteAcks& acks;
    ServerStatus& status;
    ChangeLog& changes;
};

using RouteHandler = MHD_Result (*)(Exchange& ex);

struct Route {
    /* The URL path, exact; a last part "{action}" takes any one part that no other row
     * names ("/api/v1/{action}": any action name, which the library answers). */
    const char* path;
    RouteHandler handler;
    /* A user needs one of these bits; 0: every user who logged in. */
    uint32_t permission;
    /* Methods taken (kMethodGet, kMethodPost). */
    int methods;
    /* The library's handler of a library action; null for host routes. */
    LprCgiHandler action;
};

/* Every row, in the order of the table (library actions are registered in this order). */
const Route* routes(size_t* count);

/* The action name of a library action row: the last part of its path. */
const char* action_name(const Route& route);

/* "GET, HEAD", "POST" or "GET, HEAD, POST": the Allow header of a 405. */
std::string allowed_methods(int methods);

/* Registers every library action with the library; false (with a message on stderr) when
 * the library refuses one. */
bool register_library_actions();

/* Looks up the request's route, applies the rules above and runs the route's handler; 404
 * for a path of no row. */
MHD_Result route_request(Exchange& ex);

}  // namespace webd

#endif /* LPR_WEBD_ROUTES_H */
