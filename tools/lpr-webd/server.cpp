#include "server.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "access_replies.h"
#include "lpr_common.h"
#include "password_mask.h"
#include "request_hygiene.h"
#include "strict_check.h"

namespace webd {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMethodMaskGet = 1 << QZ_HTTP_GET;
constexpr int kMethodMaskPost = 1 << QZ_HTTP_POST;

const ActionRoute kActionRoutes[] = {
    {"get_lpr_advanced", get_lpr_advanced_handler, kPermView, kMethodMaskGet},
    {"set_lpr_advanced", set_lpr_advanced_handler, kPermChange, kMethodMaskPost},
    {"get_vehicle_count", get_vehicle_count_handler, kPermView, kMethodMaskGet},
    {"set_vehicle_count", set_vehicle_count_handler, kPermChange, kMethodMaskPost},
};

/* The host's own pages under /api/v1/ besides the actions and whoami: GET (and HEAD)
 * only, each with the permission bit it needs. */
const struct HostPage {
    const char* name;
    uint32_t permission;
} kHostPages[] = {
    {"status", kPermView},     // status.h
    {"changes", kPermChange},  // change_log.h
};

const char kApiPrefix[] = "/api/v1";
const char kJson[] = "application/json";
/* Bytes of an oversized body read and thrown away before the connection is cut. */
constexpr size_t kDiscardLimit = 1024 * 1024;
/* Largest listing of action names. */
constexpr size_t kListingSize = 4096;
/* Characters of a failed login's user name kept in the access log. */
constexpr size_t kLoggedNameLimit = 32;

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

std::string print_json(const cJSON* item) {
    char* text = cJSON_PrintUnformatted(item);
    if (text == nullptr) {
        throw std::bad_alloc();
    }
    std::string out(text);
    cJSON_free(text);
    return out;
}

const ActionRoute* find_route(const std::string& name) {
    for (const ActionRoute& route : kActionRoutes) {
        if (name == route.name) {
            return &route;
        }
    }
    return nullptr;
}

const HostPage* find_page(const std::string& name) {
    for (const HostPage& page : kHostPages) {
        if (name == page.name) {
            return &page;
        }
    }
    return nullptr;
}

/* HEAD is answered wherever GET is. */
std::string allowed_methods(int mask) {
    std::string allow;
    if (mask & kMethodMaskGet) {
        allow = "GET, HEAD";
    }
    if (mask & kMethodMaskPost) {
        allow += allow.empty() ? "POST" : ", POST";
    }
    return allow;
}

/* Printable ASCII only, at most limit characters, for the access log. */
std::string log_safe(const char* text, size_t limit = 256) {
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < limit; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out.push_back(c > 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
    }
    return out.empty() ? "-" : out;
}

const char* termination_text(MHD_RequestTerminationCode code) {
    switch (code) {
        case MHD_REQUEST_TERMINATED_COMPLETED_OK:
            return nullptr;
        case MHD_REQUEST_TERMINATED_WITH_ERROR:
            return "error";
        case MHD_REQUEST_TERMINATED_TIMEOUT_REACHED:
            return "timeout";
        case MHD_REQUEST_TERMINATED_DAEMON_SHUTDOWN:
            return "shutdown";
        case MHD_REQUEST_TERMINATED_READ_ERROR:
            return "read-error";
        case MHD_REQUEST_TERMINATED_CLIENT_ABORT:
            return "client-abort";
    }
    return "closed";
}

__attribute__((format(printf, 2, 0))) void on_mhd_log(void*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    size_t len = std::strlen(text);
    while (len > 0 && text[len - 1] == '\n') {
        text[--len] = '\0';
    }
    std::fprintf(stderr, "lpr-webd: http: %s\n", text);
}

/* The reply of lpr_cgi_handle, released with lpr_cgi_resp_free. */
struct LibraryReplyDeleter {
    void operator()(LprCgiResp* resp) const {
        lpr_cgi_resp_free(resp);
        std::default_delete<LprCgiResp>()(resp);
    }
};
using LibraryReply = std::unique_ptr<LprCgiResp, LibraryReplyDeleter>;

/* MHD is done with a library reply body (on whichever thread sent it). */
void release_library_reply(void* cls) {
    LibraryReply(static_cast<LprCgiResp*>(cls));
}

}  // namespace

const ActionRoute* action_routes(size_t* count) {
    *count = sizeof kActionRoutes / sizeof kActionRoutes[0];
    return kActionRoutes;
}

std::string envelope(int code, const std::string& msg) {
    CJsonPtr root(cJSON_CreateObject());
    if (!root || !cJSON_AddNumberToObject(root.get(), "code", code) ||
        !cJSON_AddStringToObject(root.get(), "msg", msg.c_str())) {
        throw std::bad_alloc();
    }
    return print_json(root.get());
}

/* State of one request, from its request line to the access-log line. */
struct Server::Request {
    enum class Phase { kHeaders, kBody, kAwaitingAck, kReplied };
    enum class Route { kAction, kListing, kWhoami, kPage };

    Clock::time_point start = Clock::now();
    std::string target; /* as in the request line: what a Digest answer signs */
    std::string uri;
    std::string client;
    std::string method = "-";
    std::string user = "-";
    const User* account = nullptr;
    Phase phase = Phase::kHeaders;
    Route route = Route::kAction;
    std::string path;
    std::string action;
    const ActionRoute* actionRoute = nullptr; /* the action's route, once dispatch looked it up */
    std::string body;
    size_t received = 0;
    bool tooLarge = false;
    unsigned status = 0;
    size_t bytes = 0;
    LibraryReply libraryReply;            // the library's reply, until sent
    std::shared_ptr<PendingWrite> write;  // a settings write waiting for the daemon
    CapturedChange change;                // what an accepted write changed, for the log
};

Server::Server(const Options& options, UserTable users, WriteAcks& acks, ServerStatus& status,
               ChangeLog& changes)
    : m_options(options),
      m_users(std::move(users)),
      m_acks(acks),
      m_status(status),
      m_changes(changes),
      m_throttle(options.maxFailedLogins, std::chrono::seconds(options.failedLoginWindow),
                 std::chrono::seconds(options.loginBlockSeconds)),
      m_digest(options.realm,
               options.digestMd5 ? DigestAuth::Algorithm::kMd5 : DigestAuth::Algorithm::kSha256,
               std::chrono::seconds(options.nonceTimeout)),
      m_deadline(std::chrono::seconds(options.requestTimeoutSeconds),
                 std::chrono::seconds(options.timeoutSeconds)) {}

bool Server::start() {
    std::string error;
    if (!m_digest.init(&error)) {
        std::fprintf(stderr, "lpr-webd: %s\n", error.c_str());
        return false;
    }
    // Suspend/resume: a write waits for its acknowledgement without holding a worker thread.
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&m_bindAddress);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&m_bindAddress);
    if (inet_pton(AF_INET, m_options.address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(m_options.port));
    } else if (inet_pton(AF_INET6, m_options.address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(m_options.port));
        flags |= MHD_USE_IPv6;
    } else {
        std::fprintf(stderr, "lpr-webd: --address %s is not an IPv4 or IPv6 address\n",
                     m_options.address.c_str());
        return false;
    }
    m_daemon.reset(MHD_start_daemon(
        flags, static_cast<uint16_t>(m_options.port), nullptr, nullptr, &Server::on_access, this,
        MHD_OPTION_EXTERNAL_LOGGER, &on_mhd_log, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&m_bindAddress), MHD_OPTION_THREAD_POOL_SIZE, m_options.threads,
        MHD_OPTION_CONNECTION_LIMIT, m_options.maxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        m_options.maxPerIp, MHD_OPTION_CONNECTION_MEMORY_LIMIT, m_options.connectionMemory,
        MHD_OPTION_CONNECTION_TIMEOUT, m_options.timeoutSeconds,
        // Not strict: at 1, libmicrohttpd 0.9.75 answers a request without Host with an
        // error page whose header it sends twice. refuse_request() checks Host (and
        // blanks in the URL, the other thing strict mode refuses) with a proper reply.
        MHD_OPTION_STRICT_FOR_CLIENT, 0, MHD_OPTION_URI_LOG_CALLBACK, &Server::on_uri, this,
        MHD_OPTION_NOTIFY_COMPLETED, &Server::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION,
        &Server::on_connection, this, MHD_OPTION_END));
    if (!m_daemon) {
        std::fprintf(stderr, "lpr-webd: cannot listen on %s port %u\n", m_options.address.c_str(),
                     m_options.port);
        return false;
    }
    return true;
}

unsigned Server::port() const {
    if (!m_daemon) {
        return 0;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(m_daemon.get(), MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? info->port : 0;
}

void Server::stop() {
    m_daemon.reset();
}

void* Server::on_uri(void* cls, const char* uri, MHD_Connection* connection) {
    static_cast<Server*>(cls)->m_deadline.request_line(connection);
    if (uri == nullptr) {
        uri = "";
    }
    auto req = std::make_unique<Request>();
    req->target = uri;
    req->uri = log_safe(uri);
    req->client = client_address(connection);
    return req.release();  // owned by MHD's request context until on_completed
}

void Server::on_completed(void* cls, MHD_Connection* connection, void** requestContext,
                          MHD_RequestTerminationCode code) {
    auto* self = static_cast<Server*>(cls);
    const bool cut = self->m_deadline.cut(connection);
    self->m_deadline.request_done(connection);
    std::unique_ptr<Request> req(static_cast<Request*>(*requestContext));
    *requestContext = nullptr;
    if (!req) {
        return;
    }
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - req->start).count();
    char when[32] = {};
    lpr_get_time_string(when, sizeof when);
    char status[16] = "-";
    if (req->status != 0) {
        std::snprintf(status, sizeof status, "%u", req->status);
    }
    self->m_status.count(req->status);
    const char* ended = cut ? "deadline" : termination_text(code);
    const size_t bytes = req->method == "HEAD" ? 0 : req->bytes;  // headers only
    std::fprintf(stdout, "[%s %d] access: %s %s %s %s %s %zu %lldus%s%s\n", when,
                 static_cast<int>(getpid()), req->client.c_str(), req->user.c_str(),
                 req->method.c_str(), req->uri.c_str(), status, bytes,
                 static_cast<long long>(micros), ended ? " " : "", ended ? ended : "");
}

void Server::on_connection(void* cls, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Server*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
        self->m_deadline.closed(connection);
        return;
    }
    self->m_deadline.opened(connection);
    // Replies leave in one piece: no Nagle delay on keep-alive connections.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
        int on = 1;
        setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

MHD_Result Server::on_access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char* uploadData,
                             size_t* uploadSize, void** requestContext) {
    auto* self = static_cast<Server*>(cls);
    auto* req = static_cast<Request*>(*requestContext);
    if (req == nullptr) {
        return MHD_NO;
    }
    switch (req->phase) {
        case Request::Phase::kHeaders:
            req->phase = Request::Phase::kBody;
            return self->begin(connection, *req, url, method, version);
        case Request::Phase::kBody:
            if (*uploadSize == 0) {
                self->m_deadline.request_received(connection);
                return self->finish(connection, *req);
            }
            req->received += *uploadSize;
            if (!req->tooLarge && req->received <= self->m_options.maxBody) {
                req->body.append(uploadData, *uploadSize);
            } else {
                req->tooLarge = true;
                req->body.clear();
                req->body.shrink_to_fit();
                if (req->received > self->m_options.maxBody + kDiscardLimit) {
                    return MHD_NO;  // a client that keeps sending: cut it off
                }
            }
            *uploadSize = 0;
            return MHD_YES;
        case Request::Phase::kAwaitingAck:
            return self->answer_write(connection, *req);
        case Request::Phase::kReplied:
            *uploadSize = 0;
            return MHD_YES;
    }
    return MHD_NO;
}

MHD_Result Server::begin(MHD_Connection* connection, Request& req, const char* url,
                         const char* method, const char* version) {
    req.method = log_safe(method);
    req.path = url;
    if (const Refusal* refusal = refuse_request(connection, req.target.c_str(), version)) {
        return reply(connection, req, refusal->status, envelope(refusal->status, refusal->message));
    }
    // A body announced too large is refused before it is read; the connection closes.
    if (const char* length = request_header(connection, MHD_HTTP_HEADER_CONTENT_LENGTH)) {
        char* end = nullptr;
        unsigned long long size = std::strtoull(length, &end, 10);
        if (end == length || size > m_options.maxBody) {
            return reply_too_large(connection, req);
        }
        req.body.reserve(static_cast<size_t>(size));
    }
    // Everything else is answered once the request is complete, so that the
    // connection stays open for the next request.
    return MHD_YES;
}

MHD_Result Server::route(MHD_Connection* connection, Request& req) {
    // /api/v1 and /api/v1/ (listing), /api/v1/whoami, /api/v1/<action>.
    const std::string& path = req.path;
    const std::string prefix = std::string(kApiPrefix) + "/";
    const ActionRoute* route = nullptr;
    if (path == kApiPrefix || path == prefix) {
        req.route = Request::Route::kListing;
    } else if (path.compare(0, prefix.size(), prefix) == 0 &&
               path.find('/', prefix.size()) == std::string::npos) {
        req.action = path.substr(prefix.size());
        req.route = req.action == "whoami"  ? Request::Route::kWhoami
                    : find_page(req.action) ? Request::Route::kPage
                                            : Request::Route::kAction;
        route = find_route(req.action);
    } else {
        return reply(connection, req, 404, envelope(404, "Not found"));
    }

    const bool isGet = req.method == "GET" || req.method == "HEAD";
    const bool isPost = req.method == "POST";
    if (req.route != Request::Route::kAction && !isGet) {
        return reply(connection, req, 405, envelope(405, "Method not allowed"),
                     MHD_HTTP_HEADER_ALLOW, allowed_methods(kMethodMaskGet).c_str());
    }
    if (req.route == Request::Route::kAction && !isGet && !isPost) {
        std::string allow =
            allowed_methods(route ? route->methodMask : kMethodMaskGet | kMethodMaskPost);
        return reply(connection, req, 405, envelope(405, "Method not allowed"),
                     MHD_HTTP_HEADER_ALLOW, allow.c_str());
    }
    switch (req.route) {
        case Request::Route::kListing:
            return reply_listing(connection, req);
        case Request::Route::kWhoami:
            return reply_whoami(connection, req);
        case Request::Route::kAction:
            return dispatch(connection, req);
        case Request::Route::kPage:
            return reply_page(connection, req);
    }
    return MHD_NO;
}

MHD_Result Server::authenticate(MHD_Connection* connection, Request& req) {
    const bool sha256 = m_digest.algorithm() == DigestAuth::Algorithm::kSha256;
    const char* authorization = request_header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    auto challenge = [&](bool stale, bool userNamed) {
        req.phase = Request::Phase::kReplied;
        std::string body = unauthorized_body(
            stale ? LoginFailure::kStaleNonce : login_failure(authorization, userNamed, sha256),
            sha256);
        MhdResponse response = MhdResponse::copy_of(body);
        response.add_header(MHD_HTTP_HEADER_CONTENT_TYPE, kJson);
        req.status = 401;
        req.bytes = body.size();
        response.add_header(MHD_HTTP_HEADER_WWW_AUTHENTICATE, m_digest.challenge(stale).c_str());
        return response.queue(connection, 401);
    };
    const User* user = nullptr;
    std::string tried;
    switch (m_digest.check(authorization, req.method, req.target, m_users, &user, &tried)) {
        case DigestAuth::Verdict::kNoCredentials:
            return challenge(false, false);
        case DigestAuth::Verdict::kStale:
            return challenge(true, true);  // the client repeats with a fresh nonce
        case DigestAuth::Verdict::kAccepted:
            m_throttle.succeeded(req.client);
            req.account = user;
            req.user = user->name;
            return MHD_YES;
        case DigestAuth::Verdict::kRefused:
            break;
    }
    if (!tried.empty()) {
        req.user = log_safe(tried.c_str(), kLoggedNameLimit);  // the name tried
    }
    if (m_throttle.failed(req.client)) {
        return reply_throttled(connection, req, m_options.loginBlockSeconds);
    }
    return challenge(false, !tried.empty());
}

MHD_Result Server::finish(MHD_Connection* connection, Request& req) {
    if (req.tooLarge) {
        return reply_too_large(connection, req);
    }
    if (unsigned wait = m_throttle.blocked_for(req.client)) {
        return reply_throttled(connection, req, wait);
    }
    MHD_Result result = authenticate(connection, req);
    if (req.phase == Request::Phase::kReplied) {
        return result;
    }
    return route(connection, req);
}

MHD_Result Server::reply_too_large(MHD_Connection* connection, Request& req) {
    return reply(
        connection, req, 413,
        envelope(413, "Request body larger than " + std::to_string(m_options.maxBody) + " bytes"));
}

MHD_Result Server::dispatch(MHD_Connection* connection, Request& req) {
    const ActionRoute* route = req.actionRoute = find_route(req.action);
    // Strict mode: a write is checked against its document once the library's own
    // permission and method tests would pass, and may be re-printed (strict_check.h).
    std::string refusal;
    if (!m_options.lenient && route != nullptr && req.method == "POST" &&
        (route->methodMask & kMethodMaskPost) && (req.account->permissions & route->permission) &&
        !strict_check_write(req.action, &req.body, &refusal)) {
        return reply(connection, req, 400, refusal);
    }

    LprCgiCtx ctx{};
    ctx.action = req.action.c_str();
    ctx.method = req.method == "POST" ? QZ_HTTP_POST : QZ_HTTP_GET;  // HEAD reads as GET
    // std::string keeps a NUL after its last byte: the library reads the body as text.
    ctx.body = req.body.empty() ? nullptr : &req.body[0];
    ctx.bodyLen = static_cast<int32_t>(req.body.size());
    ctx.lprPermission = req.account->permissions;
    ctx.userId = req.account->name.c_str();
    ctx.remoteIp = req.client.c_str();

    LibraryReply resp(std::make_unique<LprCgiResp>().release());
    *resp = LprCgiResp{};
    WriteAcks::Gate gate(m_acks, route ? route->handler : nullptr);
    int32_t rc = lpr_cgi_handle(&ctx, resp.get());
    req.change = m_changes.capture(req.action, resp->code);  // still under the gate
    const PublishedWrite write = gate.release();
    if (rc == -1) {
        return reply(connection, req, 503, envelope(503, "Settings service not started"));
    }
    if (rc == 1) {
        return reply(connection, req, 404, envelope(404, "Unknown action: " + req.action));
    }
    if (resp->body == nullptr) {
        return reply(connection, req, 500, envelope(500, "Action gave no reply"));
    }
    req.libraryReply = std::move(resp);
    if (write.record >= 0 && req.libraryReply->code == 200) {
        req.phase = Request::Phase::kAwaitingAck;
        if (m_acks.wait(write, connection, &req.write)) {
            return MHD_YES;  // answer_write runs when the connection resumes
        }
        return answer_write(connection, req);
    }
    return reply_library(connection, req);
}

MHD_Result Server::answer_write(MHD_Connection* connection, Request& req) {
    const WriteOutcome outcome = m_acks.outcome(*req.write);
    m_changes.append(req.change, req.user, req.client, outcome);
    if (outcome.stored) {
        return reply_library(connection, req);
    }
    req.libraryReply.reset();
    return reply(
        connection, req, 503,
        envelope(503, "Change is live in the web server but not stored: " + outcome.reason));
}

MHD_Result Server::reply_library(MHD_Connection* connection, Request& req) {
    LibraryReply resp = std::move(req.libraryReply);
    const ActionRoute* route = req.actionRoute;
    unsigned status =
        resp->code >= 100 && resp->code <= 599 ? static_cast<unsigned>(resp->code) : 500;
    // Replies the host completes: what a refusal needs to be fixed, and passwords hidden
    // from users who may not change them. Any other reply goes out as the library made it.
    std::string completed;
    if (status == 403 && route != nullptr) {
        completed = forbidden_body(req.action, route->permission, *req.account);
    } else if (status == 400) {
        completed = explain_refusal(req.action, resp->body);
    } else if (status == 200 && (req.account->permissions & kPermChange) == 0) {
        completed = mask_passwords(req.action, resp->body);
    }
    if (!completed.empty()) {
        return reply(connection, req, status, completed);
    }
    std::string allow = route ? allowed_methods(route->methodMask) : "";
    req.phase = Request::Phase::kReplied;
    req.status = status;
    req.bytes = static_cast<size_t>(resp->bodyLen);
    // The library's body is sent where it lies; MHD hands it back for lpr_cgi_resp_free.
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

MHD_Result Server::reply(MHD_Connection* connection, Request& req, unsigned status,
                         const std::string& body, const char* header, const char* value) {
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

MHD_Result Server::reply_throttled(MHD_Connection* connection, Request& req, unsigned seconds) {
    std::string retry = std::to_string(seconds);
    return reply(connection, req, 429,
                 envelope(429, "Too many failed logins; retry after " + retry + " s"),
                 MHD_HTTP_HEADER_RETRY_AFTER, retry.c_str());
}

MHD_Result Server::reply_listing(MHD_Connection* connection, Request& req) {
    std::string listing(kListingSize, '\0');
    if (lpr_cgi_list_actions(&listing[0], static_cast<int>(listing.size())) != 0) {
        return reply(connection, req, 500, envelope(500, "Listing failed"));
    }
    listing.resize(std::strlen(listing.c_str()));
    return reply(connection, req, 200, listing);
}

MHD_Result Server::reply_page(MHD_Connection* connection, Request& req) {
    const HostPage& page = *find_page(req.action);
    if ((req.account->permissions & page.permission) == 0) {
        return reply(connection, req, 403,
                     forbidden_body(req.action, page.permission, *req.account));
    }
    if (req.action == "status") {
        return reply(connection, req, 200, m_status.json());
    }
    unsigned status = 200;
    const std::string body = m_changes.reply(
        MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "limit"), &status);
    return reply(connection, req, status, body);
}

MHD_Result Server::reply_whoami(MHD_Connection* connection, Request& req) {
    const User& user = *req.account;
    CJsonPtr root(cJSON_CreateObject());
    cJSON* names = cJSON_CreateArray();
    cJSON* actions = cJSON_CreateArray();
    if (!root || !names || !actions) {
        cJSON_Delete(names);
        cJSON_Delete(actions);
        throw std::bad_alloc();
    }
    cJSON_AddStringToObject(root.get(), "user", user.name.c_str());
    cJSON_AddNumberToObject(root.get(), "permissions", user.permissions);
    cJSON_AddItemToObject(root.get(), "permissionNames", names);
    if (user.permissions & kPermView) {
        cJSON_AddItemToArray(names, cJSON_CreateString("view"));
    }
    if (user.permissions & kPermChange) {
        cJSON_AddItemToArray(names, cJSON_CreateString("change"));
    }
    cJSON_AddItemToObject(root.get(), "actions", actions);
    for (const ActionRoute& route : kActionRoutes) {
        cJSON* item = cJSON_CreateObject();
        cJSON_AddItemToArray(actions, item);
        cJSON_AddStringToObject(item, "action", route.name);
        cJSON_AddStringToObject(item, "url", (std::string(kApiPrefix) + "/" + route.name).c_str());
        cJSON* methods = cJSON_AddArrayToObject(item, "methods");
        if (route.methodMask & kMethodMaskGet) {
            cJSON_AddItemToArray(methods, cJSON_CreateString("GET"));
        }
        if (route.methodMask & kMethodMaskPost) {
            cJSON_AddItemToArray(methods, cJSON_CreateString("POST"));
        }
        cJSON_AddStringToObject(item, "requires", permission_names(route.permission).c_str());
        cJSON_AddBoolToObject(item, "allowed", (user.permissions & route.permission) != 0);
    }
    return reply(connection, req, 200, print_json(root.get()));
}

}  // namespace webd
