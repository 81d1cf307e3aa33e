#include "bus_session.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

#include "bus_config.h"
#include "bus_endpoint.h"
#include "bus_log.h"

namespace lpr_bus {
namespace {

// A socket of type, with the option of every numeric field that applies to it.
int open_socket(void* ctx, int type, unsigned which, const lpr_zmq_config_t& cfg, SocketPtr* sock) {
    const char* name = type == ZMQ_PUB ? "PUB" : "SUB";
    sock->reset(zmq_socket(ctx, type));
    if (!*sock) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create the %s socket: %s", name,
                zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    size_t count = 0;
    const NumericField* fields = numeric_fields(&count);
    for (size_t i = 0; i < count; ++i) {
        const NumericField& f = fields[i];
        const int value = cfg.*f.field;
        if ((f.sockets & which) != 0 &&
            zmq_setsockopt(sock->get(), f.zmqOption, &value, sizeof value) != 0) {
            bus_log(LPR_ZMQ_LOG_ERROR, "cannot set %s of the %s socket to %d: %s", f.name, name,
                    value, zmq_strerror(zmq_errno()));
            return LPR_ZMQ_EZMQ;
        }
    }
    return LPR_ZMQ_OK;
}

// Binds (the PUB socket) or connects (the SUB socket) sock to endpoint.
int attach(void* sock, const std::string& endpoint, bool bind) {
    if ((bind ? zmq_bind(sock, endpoint.c_str()) : zmq_connect(sock, endpoint.c_str())) == 0) {
        return LPR_ZMQ_OK;
    }
    const int err = zmq_errno();
    bus_log(LPR_ZMQ_LOG_ERROR, "cannot %s %s: %s", bind ? "bind" : "connect", endpoint.c_str(),
            zmq_strerror(err));
    return endpoint_error(err);
}

int bind_publisher(const lpr_zmq_config_t& cfg, Session* s) {
    const std::string& endpoint = s->pubEndpoint;
    int rc = claim_endpoint(endpoint, &s->lock);
    if (rc != LPR_ZMQ_OK ||
        (rc = open_socket(s->ctx.get(), ZMQ_PUB, kOnPub, cfg, &s->pub)) != LPR_ZMQ_OK) {
        return rc;
    }
    return attach(s->pub.get(), endpoint, true);
}

int connect_subscriber(const lpr_zmq_config_t& cfg, Session* s) {
    const std::string& endpoint = s->subEndpoint;
    int rc = check_sub_endpoint(endpoint);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    s->wake = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (s->wake.get() < 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create an eventfd: %s", std::strerror(errno));
        return LPR_ZMQ_ETHREAD;
    }
    if ((rc = open_socket(s->ctx.get(), ZMQ_SUB, kOnSub, cfg, &s->sub)) != LPR_ZMQ_OK) {
        return rc;
    }
    return attach(s->sub.get(), endpoint, false);
}

}  // namespace

int open_session(const lpr_zmq_config_t& cfg, Session* s) {
    const bool pub = publishes(cfg.role);
    const bool sub = subscribes(cfg.role);
    s->pubEndpoint = pub ? relocate(cfg.pub_endpoint) : std::string();
    s->subEndpoint = sub ? relocate(cfg.sub_endpoint) : std::string();
    s->ctx.reset(zmq_ctx_new());
    if (!s->ctx) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create a ZeroMQ context: %s", zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    if (zmq_ctx_set(s->ctx.get(), ZMQ_IO_THREADS, cfg.io_threads) != 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot use %d io threads", cfg.io_threads);
        return LPR_ZMQ_EZMQ;
    }
    int rc = LPR_ZMQ_OK;
    if (pub && (rc = bind_publisher(cfg, s)) != LPR_ZMQ_OK) {
        return rc;
    }
    if (sub && (rc = connect_subscriber(cfg, s)) != LPR_ZMQ_OK) {
        return rc;
    }
    return LPR_ZMQ_OK;
}

}  // namespace lpr_bus
