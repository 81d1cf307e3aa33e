#include "replies.h"

#include <cstring>
#include <new>
#include <utility>

#include "access_replies.h"
#include "json_tree.h"
#include "mhd.h"
#include "password_mask.h"
#include "program_log.h"
#include "settings_table.h"
#include "static_files.h"
#include "strict_check.h"

namespace webd {
namespace {

using tools::attach;
using tools::CJsonPtr;

const char kJson[] = "application/json";
/* Largest listing of action names. */
constexpr size_t kListingSize = 4096;

/* libmicrohttpd is done with a library reply body (on whichever thread sent it). */
void release_library_reply(void* cls) {
    try {
        LibraryReply(static_cast<LprCgiResp*>(cls));
    } catch (...) {
        tools::log_caught("lpr-webd", "a reply body could not be released");
    }
}

/* A string added to parent as name (or to the array parent when name is null). */
void add_text(cJSON* parent, const char* name, const char* text) {
    attach(parent, name, cJSON_CreateString(text));
}

}  // namespace

std::string envelope(int code, const std::string& msg) {
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    attach(root.get(), "code", cJSON_CreateNumber(code));
    add_text(root.get(), "msg", msg.c_str());
    return tools::print_compact(root.get());
}

MHD_Result reply(MHD_Connection* connection, Request& req, unsigned status, std::string_view body,
                 const char* header, const char* value) {
    req.phase = Request::Phase::kReplied;
    req.status = status;
    req.bytes = body.size();
    MhdResponse response = MhdResponse::copy_of(body);
    response.add_header(MHD_HTTP_HEADER_CONTENT_TYPE, kJson);
    response.add_header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (header != nullptr) {
        response.add_header(header, value);
    }
    return response.queue(connection, status);
}

MHD_Result reply_throttled(MHD_Connection* connection, Request& req, unsigned seconds) {
    std::string retry = std::to_string(seconds);
    return reply(connection, req, 429,
                 envelope(429, "Too many failed logins; retry after " + retry + " s"),
                 MHD_HTTP_HEADER_RETRY_AFTER, retry.c_str());
}

MHD_Result reply_too_large(MHD_Connection* connection, Request& req, size_t maxBody) {
    return reply(connection, req, 413,
                 envelope(413, "Request body larger than " + std::to_string(maxBody) + " bytes"));
}

MHD_Result reply_library(MHD_Connection* connection, Request& req) {
    LibraryReply resp = std::move(req.libraryReply);
    const Route* known = req.route != nullptr && req.route->action != nullptr ? req.route : nullptr;
    unsigned status =
        resp->code >= 100 && resp->code <= 599 ? static_cast<unsigned>(resp->code) : 500;
    // Replies the host completes: what a refusal needs to be fixed, and passwords hidden
    // from users who may not change them. Any other reply goes out as the library made it.
    std::string completed;
    if (status == 403 && known != nullptr) {
        completed = forbidden_body(req.action, known->permission, *req.account);
    } else if (status == 400) {
        completed = explain_refusal(req.action, resp->body);
    } else if (status == 200 && (req.account->permissions & kPermChange) == 0) {
        completed = mask_passwords(req.action, resp->body);
    }
    if (!completed.empty()) {
        return reply(connection, req, status, completed);
    }
    std::string allow = known != nullptr ? allowed_methods(known->methods) : "";
    req.phase = Request::Phase::kReplied;
    req.status = status;
    req.bytes = static_cast<size_t>(resp->bodyLen);
    // The library's body is sent where it lies; libmicrohttpd hands it back for
    // lpr_cgi_resp_free.
    char* body = resp->body;
    size_t size = static_cast<size_t>(resp->bodyLen);
    MhdResponse response =
        MhdResponse::borrowed(body, size, &release_library_reply, resp.release());
    response.add_header(MHD_HTTP_HEADER_CONTENT_TYPE, kJson);
    response.add_header(MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    if (status == 405 && !allow.empty()) {
        response.add_header(MHD_HTTP_HEADER_ALLOW, allow.c_str());
    }
    return response.queue(connection, status);
}

MHD_Result reply_listing(Exchange& ex) {
    std::string listing(kListingSize, '\0');
    if (lpr_cgi_list_actions(&listing[0], static_cast<int>(listing.size())) != 0) {
        return reply(ex.connection, ex.req, 500, envelope(500, "Listing failed"));
    }
    listing.resize(std::strlen(listing.c_str()));
    return reply(ex.connection, ex.req, 200, listing);
}

MHD_Result reply_whoami(Exchange& ex) {
    const User& user = *ex.req.account;
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    add_text(root.get(), "user", user.name.c_str());
    attach(root.get(), "permissions", cJSON_CreateNumber(user.permissions));
    cJSON* names = attach(root.get(), "permissionNames", cJSON_CreateArray());
    if (user.permissions & kPermView) {
        add_text(names, nullptr, "view");
    }
    if (user.permissions & kPermChange) {
        add_text(names, nullptr, "change");
    }
    cJSON* actions = attach(root.get(), "actions", cJSON_CreateArray());
    size_t count = 0;
    const Route* table = routes(&count);
    for (size_t i = 0; i < count; ++i) {
        const Route& route = table[i];
        if (route.action == nullptr) {
            continue;
        }
        cJSON* item = attach(actions, nullptr, cJSON_CreateObject());
        add_text(item, "action", action_name(route));
        add_text(item, "url", route.path);
        cJSON* methods = attach(item, "methods", cJSON_CreateArray());
        if (route.methods & kMethodGet) {
            add_text(methods, nullptr, "GET");
        }
        if (route.methods & kMethodPost) {
            add_text(methods, nullptr, "POST");
        }
        add_text(item, "requires", permission_names(route.permission).c_str());
        attach(item, "allowed", cJSON_CreateBool((user.permissions & route.permission) != 0));
    }
    return reply(ex.connection, ex.req, 200, tools::print_compact(root.get()));
}

MHD_Result reply_settings_table(Exchange& ex) {
    static const std::string table = settings::table_json();
    return reply(ex.connection, ex.req, 200, table);
}

MHD_Result reply_page_file(Exchange& ex) {
    Request& req = ex.req;
    const EmbeddedFile* file = find_page_file(req.path);
    if (file == nullptr) {  // a row of the route table without a file: a build mistake
        return reply(ex.connection, req, 404, envelope(404, "Not found"));
    }
    PageReply page =
        page_reply(*file, request_header(ex.connection, MHD_HTTP_HEADER_IF_NONE_MATCH));
    req.phase = Request::Phase::kReplied;
    req.status = page.status;
    req.bytes = page.bytes;
    return page.response.queue(ex.connection, page.status);
}

MHD_Result reply_status(Exchange& ex) {
    return reply(ex.connection, ex.req, 200, ex.status.json());
}

MHD_Result reply_changes(Exchange& ex) {
    unsigned status = 200;
    const std::string body = ex.changes.reply(
        MHD_lookup_connection_value(ex.connection, MHD_GET_ARGUMENT_KIND, "limit"), &status);
    return reply(ex.connection, ex.req, status, body);
}

}  // namespace webd
