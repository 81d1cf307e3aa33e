/*
 * One HTTP request as lpr-webd's rooms see it, from its request line to its access-log
 * line: what arrived, who sent it, the route it takes and what it was answered. Owned by
 * libmicrohttpd's request context (server.cpp) and used on one worker thread at a time.
 */
#ifndef LPR_WEBD_REQUEST_H
#define LPR_WEBD_REQUEST_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "cgi/lpr_cgi.h"
#include "change_log.h"
#include "users.h"
#include "write_ack.h"

namespace webd {

struct Route;

/* The reply of lpr_cgi_handle, released with lpr_cgi_resp_free. */
struct LibraryReplyDeleter {
    void operator()(LprCgiResp* resp) const noexcept {
        lpr_cgi_resp_free(resp);
        std::default_delete<LprCgiResp>()(resp);
    }
};
using LibraryReply = std::unique_ptr<LprCgiResp, LibraryReplyDeleter>;

struct Request {
    using Clock = std::chrono::steady_clock;
    enum class Phase { kHeaders, kBody, kAwaitingAck, kReplied };

    Clock::time_point start = Clock::now();
    std::string target; /* as in the request line: what a Digest answer signs */
    std::string uri;    /* the target as the access log shows it */
    std::string client;
    std::string method = "-";
    std::string user = "-";
    const User* account = nullptr; /* once authenticated */
    Phase phase = Phase::kHeaders;
    std::string path;             /* the URL path, percent escapes decoded */
    const Route* route = nullptr; /* looked up once, when the request is complete */
    std::string action;           /* a library action's name: the path's last part */
    std::string body;
    size_t received = 0;
    bool tooLarge = false;
    unsigned status = 0; /* sent; 0 while none */
    size_t bytes = 0;
    LibraryReply libraryReply;            // the library's reply, until sent
    std::shared_ptr<PendingWrite> write;  // a settings write waiting for the daemon
    CapturedChange change;                // what an accepted write changed, for the log
};

/* text for the access log: printable ASCII only ('?' for anything else), at most limit
 * characters, "-" when empty. */
inline std::string log_safe(const char* text, size_t limit = 256) {
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < limit; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        out.push_back(c > 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
    }
    return out.empty() ? "-" : out;
}

}  // namespace webd

#endif /* LPR_WEBD_REQUEST_H */
