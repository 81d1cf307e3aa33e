#include "bus_config.h"

#include <zmq.h>

#include <cstring>
#include <iterator>

#include "bus_log.h"

namespace lpr_bus {
namespace {

// A negative linger would let uninit wait forever and a negative send timeout would let a
// publish block, so both are refused. io_threads is set on the context, and the receive
// period is the receive thread's own.
const NumericField kNumericFields[] = {
    {"send_hwm", &lpr_zmq_config_t::send_hwm, 1000, 0, 1000000, ZMQ_SNDHWM, kOnPub},
    {"recv_hwm", &lpr_zmq_config_t::recv_hwm, 1000, 0, 1000000, ZMQ_RCVHWM, kOnSub},
    {"send_timeout_ms", &lpr_zmq_config_t::send_timeout_ms, 0, 0, 1000, ZMQ_SNDTIMEO, kOnPub},
    {"recv_timeout_ms", &lpr_zmq_config_t::recv_timeout_ms, 100, 1, 10000, -1, kOnNone},
    {"linger_ms", &lpr_zmq_config_t::linger_ms, 100, 0, 10000, ZMQ_LINGER, kOnPub | kOnSub},
    {"io_threads", &lpr_zmq_config_t::io_threads, 1, 1, 16, -1, kOnNone},
    {"reconnect_ivl_ms", &lpr_zmq_config_t::reconnect_ivl_ms, 100, 0, 3600000, ZMQ_RECONNECT_IVL,
     kOnSub},
    // ipc endpoints are local: a failed reconnect costs one connect(), so a peer that comes
    // back is reached within 100 ms rather than after a back-off of seconds.
    {"reconnect_ivl_max_ms", &lpr_zmq_config_t::reconnect_ivl_max_ms, 0, 0, 3600000,
     ZMQ_RECONNECT_IVL_MAX, kOnSub},
};

bool terminated(const char* text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

}  // namespace

const NumericField* numeric_fields(size_t* count) {
    *count = std::size(kNumericFields);
    return kNumericFields;
}

bool publishes(int role) {
    return role == LPR_ZMQ_ROLE_PUBLISHER || role == LPR_ZMQ_ROLE_PUBSUB;
}

bool subscribes(int role) {
    return role == LPR_ZMQ_ROLE_SUBSCRIBER || role == LPR_ZMQ_ROLE_PUBSUB;
}

int default_config(lpr_zmq_config_t* cfg, lpr_zmq_role_t role, const char* identity) {
    std::memset(cfg, 0, sizeof *cfg);
    cfg->role = role;
    copy_text(cfg->identity, sizeof cfg->identity, identity);
    for (const NumericField& f : kNumericFields) {
        cfg->*f.field = f.byDefault;
    }
    cfg->log_level = LPR_ZMQ_LOG_WARN;
    switch (role) {
        case LPR_ZMQ_ROLE_PUBLISHER:
        case LPR_ZMQ_ROLE_SUBSCRIBER:
        case LPR_ZMQ_ROLE_PUBSUB:
        case LPR_ZMQ_ROLE_REQUESTER:
        case LPR_ZMQ_ROLE_REPLIER:
            return LPR_ZMQ_OK;
    }
    return LPR_ZMQ_EINVAL;
}

int check_config(const lpr_zmq_config_t& cfg) {
    if (!publishes(cfg.role) && !subscribes(cfg.role)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "role %d not supported (publisher 1, subscriber 2, both 3)",
                static_cast<int>(cfg.role));
        return LPR_ZMQ_EROLE;
    }
    if (!terminated(cfg.identity, sizeof cfg.identity)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "identity is not NUL-terminated");
        return LPR_ZMQ_EINVAL;
    }
    if (cfg.log_level < LPR_ZMQ_LOG_ERROR || cfg.log_level > LPR_ZMQ_LOG_TRACE) {
        bus_log(LPR_ZMQ_LOG_ERROR, "log_level %d out of range 0..4",
                static_cast<int>(cfg.log_level));
        return LPR_ZMQ_EINVAL;
    }
    for (const NumericField& f : kNumericFields) {
        const int32_t value = cfg.*f.field;
        if (value < f.min || value > f.max) {
            bus_log(LPR_ZMQ_LOG_ERROR, "%s %d out of range %d..%d", f.name, value, f.min, f.max);
            return LPR_ZMQ_EINVAL;
        }
    }
    const struct {
        const char* name;
        const char* text;
        bool used;
    } endpoints[] = {
        {"pub_endpoint", cfg.pub_endpoint, publishes(cfg.role)},
        {"sub_endpoint", cfg.sub_endpoint, subscribes(cfg.role)},
    };
    for (const auto& e : endpoints) {
        if (e.used && (!terminated(e.text, sizeof cfg.pub_endpoint) || e.text[0] == '\0')) {
            bus_log(LPR_ZMQ_LOG_ERROR, "%s is empty or not NUL-terminated", e.name);
            return LPR_ZMQ_EENDPOINT;
        }
    }
    return LPR_ZMQ_OK;
}

void copy_text(char* dst, size_t size, const char* text) {
    size_t n = text == nullptr ? 0 : strnlen(text, size);
    if (n >= size) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;  // text[n] continues a sequence: cut before the sequence's lead byte
        }
    }
    std::memcpy(dst, text == nullptr ? "" : text, n);
    dst[n] = '\0';
}

}  // namespace lpr_bus
