#include "routes.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "access_replies.h"
#include "library_call.h"
#include "replies.h"

namespace webd {
namespace {

const Route kRoutes[] = {
    {"/api/v1", reply_listing, 0, kMethodGet, nullptr},
    {"/api/v1/", reply_listing, 0, kMethodGet, nullptr},
    {"/api/v1/whoami", reply_whoami, 0, kMethodGet, nullptr},
    {"/api/v1/settings_table", reply_settings_table, kPermView, kMethodGet, nullptr},
    {"/api/v1/status", reply_status, kPermView, kMethodGet, nullptr},
    {"/api/v1/changes", reply_changes, kPermChange, kMethodGet, nullptr},
    {"/api/v1/get_lpr_advanced", call_library, kPermView, kMethodGet, get_lpr_advanced_handler},
    {"/api/v1/set_lpr_advanced", call_library, kPermChange, kMethodPost, set_lpr_advanced_handler},
    {"/api/v1/get_vehicle_count", call_library, kPermView, kMethodGet, get_vehicle_count_handler},
    {"/api/v1/set_vehicle_count", call_library, kPermChange, kMethodPost,
     set_vehicle_count_handler},
    // Any other name: the library looks it up and answers 404 for one it does not know.
    {"/api/v1/{action}", call_library, 0, kMethodGet | kMethodPost, nullptr},
    // The settings page (static_files.h).
    {"/", reply_page_file, 0, kMethodGet, nullptr},
    {"/page.css", reply_page_file, 0, kMethodGet, nullptr},
    {"/page.js", reply_page_file, 0, kMethodGet, nullptr},
};

constexpr char kAnyAction[] = "{action}";

/* path matches a row whose last part is kAnyAction: the row's path up to that part, then
 * one part that is not empty and has no slash. */
bool matches_any_action(const char* pattern, const std::string& path) {
    const char* last = std::strrchr(pattern, '/') + 1;
    const size_t prefix = static_cast<size_t>(last - pattern);  // with the slash
    return std::strcmp(last, kAnyAction) == 0 && path.size() > prefix &&
           path.compare(0, prefix, pattern, prefix) == 0 &&
           path.find('/', prefix) == std::string::npos;
}

const Route* find_route(const std::string& path) {
    for (const Route& route : kRoutes) {
        if (path == route.path) {
            return &route;
        }
    }
    for (const Route& route : kRoutes) {
        if (matches_any_action(route.path, path)) {
            return &route;
        }
    }
    return nullptr;
}

}  // namespace

const Route* routes(size_t* count) {
    *count = std::size(kRoutes);
    return kRoutes;
}

const char* action_name(const Route& route) {
    return std::strrchr(route.path, '/') + 1;
}

std::string allowed_methods(int methods) {
    std::string allow;
    if (methods & kMethodGet) {
        allow = "GET, HEAD";
    }
    if (methods & kMethodPost) {
        allow += allow.empty() ? "POST" : ", POST";
    }
    return allow;
}

bool register_library_actions() {
    for (const Route& route : kRoutes) {
        if (route.action != nullptr &&
            lpr_cgi_register_action(action_name(route), route.action, route.permission,
                                    route.methods) != 0) {
            std::fprintf(stderr, "lpr-webd: cannot register action %s\n", action_name(route));
            return false;
        }
    }
    return true;
}

MHD_Result route_request(Exchange& ex) {
    Request& req = ex.req;
    const Route* route = req.route = find_route(req.path);
    if (route == nullptr) {
        return reply(ex.connection, req, 404, envelope(404, "Not found"));
    }
    req.action = req.path.substr(req.path.rfind('/') + 1);
    const int method = req.method == "GET" || req.method == "HEAD" ? kMethodGet
                       : req.method == "POST"                      ? kMethodPost
                                                                   : 0;
    const bool hostRoute = route->action == nullptr;
    if (hostRoute && route->permission != 0 &&
        (req.account->permissions & route->permission) == 0) {
        return reply(ex.connection, req, 403,
                     forbidden_body(req.action, route->permission, *req.account));
    }
    if (method == 0 || (hostRoute && (route->methods & method) == 0)) {
        return reply(ex.connection, req, 405, envelope(405, "Method not allowed"),
                     MHD_HTTP_HEADER_ALLOW, allowed_methods(route->methods).c_str());
    }
    return route->handler(ex);
}

}  // namespace webd
