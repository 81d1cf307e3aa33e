#include "server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "library_call.h"
#include "program_log.h"
#include "replies.h"
#include "request_hygiene.h"
#include "routes.h"

namespace webd {
namespace {

using Clock = Request::Clock;

/* Bytes of an oversized body read and thrown away before the connection is cut. */
constexpr size_t kDiscardLimit = 1024 * 1024;
/* The answer to a request whose handling failed; a literal, so that sending it needs no
 * memory of the program's own. */
constexpr char kInternalError[] = R"({"code":500,"msg":"Internal error"})";

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

}  // namespace

Server::Server(const Options& options, const ListenAddress& listen, UserTable users,
               WriteAcks& acks, ServerStatus& status, ChangeLog& changes)
    : m_options(options),
      m_listen(listen),
      m_acks(acks),
      m_status(status),
      m_changes(changes),
      m_auth(options, std::move(users)),
      m_deadline(std::chrono::seconds(options.requestTimeoutSeconds),
                 std::chrono::seconds(options.timeoutSeconds)) {}

bool Server::start() {
    std::string error;
    if (!m_auth.init(&error)) {
        std::fprintf(stderr, "lpr-webd: %s\n", error.c_str());
        return false;
    }
    // Suspend/resume: a write waits for its acknowledgement without holding a worker thread.
    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
    if (m_listen.v6) {
        flags |= MHD_USE_IPv6;
    }
    m_daemon.reset(MHD_start_daemon(
        flags, static_cast<uint16_t>(m_options.port), nullptr, nullptr, &Server::on_access, this,
        MHD_OPTION_EXTERNAL_LOGGER, &on_mhd_log, this, MHD_OPTION_SOCK_ADDR,
        reinterpret_cast<sockaddr*>(&m_listen.address), MHD_OPTION_THREAD_POOL_SIZE,
        m_options.threads, MHD_OPTION_CONNECTION_LIMIT, m_options.maxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, m_options.maxPerIp, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        m_options.connectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, m_options.timeoutSeconds,
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

// ---- libmicrohttpd's callbacks: each catches at its top ----

void* Server::on_uri(void* cls, const char* uri, MHD_Connection* connection) {
    try {
        static_cast<Server*>(cls)->m_deadline.request_line(connection);
        auto req = std::make_unique<Request>();
        req->target = uri != nullptr ? uri : "";
        req->uri = log_safe(req->target.c_str());
        req->client = client_address(connection);
        return req.release();  // owned by MHD's request context until on_completed
    } catch (...) {
        // Without a request context, on_access closes the connection.
        tools::log_caught("lpr-webd", "a request could not begin (connection closed)");
        return nullptr;
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
    try {
        return self->access(connection, *req, url, method, version, uploadData, uploadSize);
    } catch (...) {
        *uploadSize = 0;  // whatever is left of the body is not read
        return self->fail(connection, *req);
    }
}

void Server::on_completed(void* cls, MHD_Connection* connection, void** requestContext,
                          MHD_RequestTerminationCode code) {
    auto* self = static_cast<Server*>(cls);
    std::unique_ptr<Request> req(static_cast<Request*>(*requestContext));
    *requestContext = nullptr;
    try {
        if (req) {
            self->log_access(connection, *req, code);
        }
        self->m_deadline.request_done(connection);
    } catch (...) {
        tools::log_caught("lpr-webd", "the end of a request");
    }
}

void Server::on_connection(void* cls, MHD_Connection* connection, void**,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Server*>(cls);
    try {
        if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
            self->m_deadline.closed(connection);
            return;
        }
        self->m_deadline.opened(connection);
    } catch (...) {
        tools::log_caught("lpr-webd", "a connection's deadline");
    }
    // Replies leave in one piece: no Nagle delay on keep-alive connections.
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) {
        int on = 1;
        setsockopt(info->connect_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
}

// ---- one request ----

MHD_Result Server::access(MHD_Connection* connection, Request& req, const char* url,
                          const char* method, const char* version, const char* uploadData,
                          size_t* uploadSize) {
    switch (req.phase) {
        case Request::Phase::kHeaders:
            req.phase = Request::Phase::kBody;
            return begin(connection, req, url, method, version);
        case Request::Phase::kBody:
            if (*uploadSize == 0) {
                m_deadline.request_received(connection);
                return finish(connection, req);
            }
            req.received += *uploadSize;
            if (!req.tooLarge && req.received <= m_options.maxBody) {
                req.body.append(uploadData, *uploadSize);
            } else {
                req.tooLarge = true;
                req.body.clear();
                req.body.shrink_to_fit();
                if (req.received > m_options.maxBody + kDiscardLimit) {
                    return MHD_NO;  // a client that keeps sending: cut it off
                }
            }
            *uploadSize = 0;
            return MHD_YES;
        case Request::Phase::kAwaitingAck:
            return answer_write(connection, req, m_acks, m_changes);
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
            return reply_too_large(connection, req, m_options.maxBody);
        }
        req.body.reserve(static_cast<size_t>(size));
    }
    // Everything else is answered once the request is complete, so that the
    // connection stays open for the next request.
    return MHD_YES;
}

MHD_Result Server::finish(MHD_Connection* connection, Request& req) {
    if (req.tooLarge) {
        return reply_too_large(connection, req, m_options.maxBody);
    }
    MHD_Result result = MHD_NO;
    if (!m_auth.check(connection, req, &result)) {
        return result;
    }
    Exchange ex{connection, req, m_options, m_acks, m_status, m_changes};
    return route_request(ex);
}

// Called inside on_access's catch block.
MHD_Result Server::fail(MHD_Connection* connection, Request& req) noexcept {
    const bool replied = req.phase == Request::Phase::kReplied;
    char context[384];
    std::snprintf(context, sizeof context, "%s %s (%s)", req.method.c_str(), req.uri.c_str(),
                  replied ? "connection closed" : "answered 500");
    tools::log_caught("lpr-webd", context);
    if (replied) {
        return MHD_NO;  // an answer was queued, or failed to be: the connection closes
    }
    try {
        req.libraryReply.reset();
        return reply(connection, req, 500, kInternalError);
    } catch (...) {
        return MHD_NO;
    }
}

void Server::log_access(MHD_Connection* connection, const Request& req,
                        MHD_RequestTerminationCode code) {
    const bool cut = m_deadline.cut(connection);
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - req.start).count();
    char status[16] = "-";
    if (req.status != 0) {
        std::snprintf(status, sizeof status, "%u", req.status);
    }
    m_status.count(req.status);
    const char* ended = cut ? "deadline" : termination_text(code);
    const size_t bytes = req.method == "HEAD" ? 0 : req.bytes;  // headers only
    tools::log_line("access", "%s %s %s %s %s %zu %lldus%s%s", req.client.c_str(), req.user.c_str(),
                    req.method.c_str(), req.uri.c_str(), status, bytes,
                    static_cast<long long>(micros), ended ? " " : "", ended ? ended : "");
}

}  // namespace webd
