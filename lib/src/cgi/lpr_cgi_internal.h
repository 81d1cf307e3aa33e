/*
 * Internals of the action framework shared by the dispatcher and the handlers.
 */
#ifndef LPR_CGI_INTERNAL_H
#define LPR_CGI_INTERNAL_H

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "cgi/lpr_cgi.h"
#include "lpr_cgi_json.h"
#include "lpr_zmq.h"

/*
 * The reply a handler builds. The body is one shared string: export_to hands the host
 * a further share of it without copying, so the text outlives this object until the
 * host calls lpr_cgi_resp_free.
 */
struct LprCgiRespInternal {
    int32_t m_code = 0;
    std::shared_ptr<std::string> m_bodyHolder;

    /* The body becomes a new string holding a copy of json. */
    void set_body(const std::string& json) { m_bodyHolder = lpr::make_body(std::string(json)); }

    /* The same, taking over json's characters instead of copying them: a printed
     * document becomes the body without a second allocation and copy. */
    void set_body(std::string&& json) { m_bodyHolder = lpr::make_body(std::move(json)); }

    /* The body becomes a new string holding json up to its NUL; json is not null. */
    void set_body_literal(const char* json) { m_bodyHolder = lpr::make_body(std::string(json)); }

    /* Fills resp with the code and a heap-held share of the body (in _priv). */
    void export_to(LprCgiResp* resp) const;
};

typedef int32_t (*LprCgiHandler)(const LprCgiCtx* ctx, LprCgiRespInternal* resp);

/* One registry entry. The name is the registrant's pointer, not a copy. */
struct LprCgiAction {
    const char* action;
    LprCgiHandler handler;
    uint32_t requiredPerm; /* the caller must hold at least one of these bits */
    int methodMask;        /* bit n allows method number n */
};

/* Adds a bus subscription to the registry: topic (copied) with its callback and the
 * callback's user data. It is subscribed at the next start of the library and removed
 * at the next stop. 0, or -1 for a null argument or a topic already registered. */
int lpr_cgi_ws_sub_add(const char* topic, lpr_zmq_msg_callback_t callback, void* userData);

namespace lpr {

/* The fixed confirmation of a successful write. */
inline constexpr const char kReplyOk[] = "{\"code\":200,\"msg\":\"OK\"}";

/* Replies with the envelope {"code":code,"msg":msg}. Returns 0. */
int return_error(LprCgiRespInternal* resp, int code, const char* msg);

/* Replies 400 with the message "Invalid parameter: " followed by fieldName. Returns 0. */
int return_invalid_param(LprCgiRespInternal* resp, const char* fieldName);

/* Sets code 200 and the fixed confirmation body. Returns 0. */
int return_ok(LprCgiRespInternal* resp);

}  // namespace lpr

#endif /* LPR_CGI_INTERNAL_H */
