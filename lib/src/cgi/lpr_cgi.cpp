#include <cstring>
#include <new>
#include <vector>

#include "Database.h"
#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_cgi_ws_sub.h"
#include "lpr_zmq.h"

#define LPR_LOG_TAG "lpr_cgi"
#define LPR_LOG_FILE "lib/src/cgi/lpr_cgi.cpp"
#include "lpr_cgi_log.h"

namespace {

// Line numbers of the framework's log lines, as log readers know them.
constexpr int kLineDuplicate = 35;
constexpr int kLineAlreadyInitialized = 57;
constexpr int kLineDatabaseFailed = 63;
constexpr int kLineZmqFailed = 78;
constexpr int kLineInitialized = 85;
constexpr int kLineUninitialized = 100;

// The bus client of this process: the web server publishes settings records on its own
// endpoint and listens to the main server's.
constexpr const char kBusName[] = "webserver";
constexpr const char kPubEndpoint[] = LPR_BUS_ENDPOINT_WEBSERVER;
constexpr const char kSubEndpoint[] = LPR_BUS_ENDPOINT_MAIN;
constexpr int kBusSource = LPR_BUS_SOURCE_WEBSERVER;
// Database::uninit flag: release SQLite once the cache is loaded.
constexpr int kDatabaseUninitFlag = 1;

constexpr const char kReplyForbidden[] = "{\"code\":403,\"msg\":\"Permission denied\"}";
constexpr const char kReplyBadMethod[] = "{\"code\":405,\"msg\":\"Method not allowed\"}";

// Written only by the host's control thread (register, init, uninit), never while a
// request is dispatched; lpr_cgi_handle only reads them, so they need no lock.
std::vector<LprCgiAction> s_actions;
bool s_initialized = false;

}  // namespace

namespace {

const LprCgiAction* find_action(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    for (const LprCgiAction& entry : s_actions) {
        if (std::strcmp(entry.action, name) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

// Methods outside 0..31 (negative ones included) have no bit and are refused.
bool method_allowed(int methodMask, int32_t method) {
    if (method < 0 || method > 31) {
        return false;
    }
    return ((static_cast<uint32_t>(methodMask) >> method) & 1U) != 0;
}

// Appends text at *pos, never past the last byte before the NUL slot.
void append_cut(char* buf, int len, int* pos, const char* text) {
    while (*text != '\0' && *pos < len - 1) {
        buf[(*pos)++] = *text++;
    }
}

}  // namespace

void LprCgiRespInternal::export_to(LprCgiResp* resp) const {
    resp->code = m_code;
    if (m_bodyHolder) {
        // One more share of the same string, held on the heap: the host reads the
        // handler's own characters, and the string lives until lpr_cgi_resp_free.
        auto holder = std::make_unique<std::shared_ptr<std::string>>(m_bodyHolder);
        resp->body = &(*m_bodyHolder)[0];
        resp->bodyLen = static_cast<int32_t>(m_bodyHolder->size());
        resp->_priv = holder.release();
    } else {
        resp->body = nullptr;
        resp->bodyLen = 0;
        resp->_priv = nullptr;
    }
}

extern "C" int32_t lpr_cgi_init(const char* dbPath) {
    if (s_initialized) {
        LPR_LOG0(kLineAlreadyInitialized, "already initialized");
        return 0;
    }
    Database& db = Database::get_instance();
    if (db.init() != 0) {
        LPR_LOG0(kLineDatabaseFailed, "Database init failed");
        return -1;
    }
    lpr::LprCgiCache::get_instance().load(dbPath);
    db.uninit(kDatabaseUninitFlag);

    lpr_zmq_config_t cfg;
    lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBSUB, kBusName);
    std::memcpy(cfg.pub_endpoint, kPubEndpoint, sizeof kPubEndpoint);
    std::memcpy(cfg.sub_endpoint, kSubEndpoint, sizeof kSubEndpoint);
    int rc = lpr_zmq_init(&cfg);
    if (rc != 0) {
        LPR_LOG(kLineZmqFailed, "ZMQ init failed: %s", lpr_zmq_strerror(rc));
    }
    lpr_zmq_set_source(kBusSource);
    lpr_cgi_ws_sub_init(dbPath);

    s_initialized = true;
    LPR_LOG0(kLineInitialized, "initialized");
    return 0;
}

extern "C" int32_t lpr_cgi_uninit(void) {
    if (!s_initialized) {
        return 0;
    }
    lpr_cgi_ws_sub_uninit();
    lpr_zmq_uninit();
    s_initialized = false;
    s_actions.clear();  // keeps the capacity for the next registrations
    LPR_LOG0(kLineUninitialized, "uninitialized");
    return 0;
}

int32_t lpr_cgi_register_action(const char* action, LprCgiHandler handler, uint32_t requiredPerm,
                                int methodMask) {
    if (action == nullptr || handler == nullptr) {
        return -1;
    }
    if (find_action(action) != nullptr) {
        LPR_LOG(kLineDuplicate, "duplicate action: %s", action);
        return -1;
    }
    s_actions.push_back(LprCgiAction{action, handler, requiredPerm, methodMask});
    return 0;
}

extern "C" int32_t lpr_cgi_handle(const LprCgiCtx* ctx, LprCgiResp* resp) {
    if (!s_initialized || ctx == nullptr || resp == nullptr) {
        return -1;
    }
    resp->code = 0;
    resp->body = nullptr;
    resp->bodyLen = 0;
    resp->_priv = nullptr;

    LprCgiRespInternal internalResp;
    const LprCgiAction* entry = find_action(ctx->action);
    if (entry == nullptr) {
        return 1;
    }
    if ((ctx->lprPermission & entry->requiredPerm) == 0) {
        internalResp.m_code = 403;
        internalResp.set_body_literal(kReplyForbidden);
        internalResp.export_to(resp);
        return 0;
    }
    if (!method_allowed(entry->methodMask, ctx->method)) {
        internalResp.m_code = 405;
        internalResp.set_body_literal(kReplyBadMethod);
        internalResp.export_to(resp);
        return 0;
    }
    int32_t result = entry->handler(ctx, &internalResp);
    internalResp.export_to(resp);
    return result;
}

extern "C" void lpr_cgi_resp_free(LprCgiResp* resp) {
    if (resp == nullptr) {
        return;
    }
    if (resp->_priv != nullptr) {
        std::unique_ptr<std::shared_ptr<std::string>> holder(
            static_cast<std::shared_ptr<std::string>*>(resp->_priv));
        resp->_priv = nullptr;
    }
    resp->body = nullptr;
    resp->bodyLen = 0;
    resp->code = 0;
}

extern "C" int32_t lpr_cgi_list_actions(char* resp, int len) {
    if (resp == nullptr || len <= 0) {
        return -1;
    }
    int pos = 0;
    append_cut(resp, len, &pos, "[");
    bool first = true;
    for (const LprCgiAction& entry : s_actions) {
        append_cut(resp, len, &pos, first ? "\"" : ",\"");
        append_cut(resp, len, &pos, entry.action);
        append_cut(resp, len, &pos, "\"");
        first = false;
    }
    append_cut(resp, len, &pos, "]");
    resp[pos] = '\0';
    return 0;
}
