#include "library_call.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "cross_site.h"
#include "replies.h"
#include "strict_check.h"

namespace webd {
namespace {

/* Only the test build of the program (lpr-webd-fault-hook) has this hook: a request with
 * the header "X-Lpr-Fault: bad-alloc" fails inside its handling, after the library has
 * answered and while the record's gate and the library's reply are held, as an
 * allocation failure would. The tests prove with it that such a failure is answered 500
 * and the server goes on. */
void fault_hook(MHD_Connection* connection) {
#ifdef LPR_WEBD_FAULT_HOOK
    const char* fault = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Lpr-Fault");
    if (fault != nullptr && std::strcmp(fault, "bad-alloc") == 0) {
        throw std::bad_alloc();
    }
#else
    (void)connection;
#endif
}

}  // namespace

MHD_Result call_library(Exchange& ex) {
    Request& req = ex.req;
    const Route* known = req.route->action != nullptr ? req.route : nullptr;
    if (req.method == "POST" && from_another_site(ex.connection)) {
        return reply(ex.connection, req, 403, envelope(403, "Cross-site request refused"));
    }
    // Strict mode: a write is checked against its document once the library's own
    // permission and method tests would pass, and may be re-printed (strict_check.h).
    std::string refusal;
    if (!ex.options.lenient && known != nullptr && req.method == "POST" &&
        (known->methods & kMethodPost) && (req.account->permissions & known->permission) &&
        !strict_check_write(req.action, &req.body, &refusal)) {
        return reply(ex.connection, req, 400, refusal);
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
    WriteAcks::Gate gate(ex.acks, known != nullptr ? known->action : nullptr);
    int32_t rc = lpr_cgi_handle(&ctx, resp.get());
    req.change = ex.changes.capture(req.action, resp->code);  // still under the gate
    fault_hook(ex.connection);
    const PublishedWrite write = gate.release();
    if (rc == -1) {
        return reply(ex.connection, req, 503, envelope(503, "Settings service not started"));
    }
    if (rc == 1) {
        return reply(ex.connection, req, 404, envelope(404, "Unknown action: " + req.action));
    }
    if (resp->body == nullptr) {
        return reply(ex.connection, req, 500, envelope(500, "Action gave no reply"));
    }
    req.libraryReply = std::move(resp);
    if (write.record >= 0 && req.libraryReply->code == 200) {
        req.phase = Request::Phase::kAwaitingAck;
        if (ex.acks.wait(write, ex.connection, &req.write)) {
            return MHD_YES;  // answer_write runs when the connection resumes
        }
        return answer_write(ex.connection, req, ex.acks, ex.changes);
    }
    return reply_library(ex.connection, req);
}

MHD_Result answer_write(MHD_Connection* connection, Request& req, WriteAcks& acks,
                        ChangeLog& changes) {
    const WriteOutcome outcome = acks.outcome(*req.write);
    changes.append(req.change, req.user, req.client, outcome);
    if (outcome.stored) {
        return reply_library(connection, req);
    }
    req.libraryReply.reset();
    return reply(
        connection, req, 503,
        envelope(503, "Change is live in the web server but not stored: " + outcome.reason));
}

}  // namespace webd
