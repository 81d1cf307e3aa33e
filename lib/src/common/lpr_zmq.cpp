// The C entry points of the bus client (lib/api/lpr_zmq.h). They check what can be checked
// without the client, call the process's one client (Bus.h), and turn an allocation failure
// into LPR_ZMQ_ENOMEM, so that no exception leaves the library. Where the rest lives:
//   bus_config.cpp    defaults and the checks of lpr_zmq_init;
//   bus_endpoint.cpp  relocation and the lock file of a publishing endpoint;
//   bus_session.cpp   the context and sockets of one start;
//   bus_frame.cpp     the wire format;
//   Bus.cpp           start and stop, publishing, subscriptions and the receive thread;
//   bus_log.cpp       the log lines.
// docs/bus.md describes the client for its users.
#include "lpr_zmq.h"

#include <new>

#include "Bus.h"
#include "bus_config.h"

using lpr_bus::bus;

extern "C" {

int lpr_zmq_get_default_config(lpr_zmq_config_t* cfg, lpr_zmq_role_t role, const char* identity) {
    if (cfg == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    return lpr_bus::default_config(cfg, role, identity);
}

int lpr_zmq_init(const lpr_zmq_config_t* cfg) {
    if (cfg == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    try {
        return bus().init(*cfg);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

const char* lpr_zmq_strerror(int err) {
    switch (err) {
        case LPR_ZMQ_OK:
            return "success";
        case LPR_ZMQ_EINVAL:
            return "invalid argument";
        case LPR_ZMQ_ENOTINIT:
            return "bus client not started";
        case LPR_ZMQ_EALREADY:
            return "bus client already started";
        case LPR_ZMQ_EROLE:
            return "role does not support this";
        case LPR_ZMQ_EENDPOINT:
            return "endpoint not usable";
        case LPR_ZMQ_EADDRINUSE:
            return "another process publishes on the endpoint";
        case LPR_ZMQ_EZMQ:
            return "ZeroMQ refused the operation";
        case LPR_ZMQ_EAGAIN:
            return "message dropped: send queue full";
        case LPR_ZMQ_ENOMEM:
            return "out of memory";
        case LPR_ZMQ_ENOENT:
            return "topic not subscribed";
        case LPR_ZMQ_ETHREAD:
            return "receive thread could not start";
        case LPR_ZMQ_ECALLBACK:
            return "not allowed inside a message callback";
        case LPR_ZMQ_ENOMSG:
            return "no such message";
        default:
            return "unknown bus client error";
    }
}

int lpr_zmq_set_source(int source) {
    return bus().set_source(source);
}

int lpr_zmq_publish_to(const char* topic, int target, const void* data, size_t len) {
    return bus().publish(topic, target, data, len);
}

int lpr_zmq_subscribe(const char* topic, int target, int ignore_source,
                      lpr_zmq_msg_callback_t callback, void* user_data) {
    try {
        return bus().subscribe(topic, target, ignore_source, callback, user_data);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

int lpr_zmq_unsubscribe(const char* topic, int target, int ignore_source) {
    try {
        return bus().unsubscribe(topic, target, ignore_source);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

int lpr_zmq_uninit(void) {
    return bus().uninit();
}

int lpr_zmq_last_publish(lpr_zmq_msg_info_t* info) {
    return bus().last_publish(info);
}

int lpr_zmq_current_message(lpr_zmq_msg_info_t* info) {
    return bus().current_message(info);
}

int lpr_zmq_is_running(void) {
    return bus().running() ? 1 : 0;
}

int lpr_zmq_last_init_error(char* text, size_t size) {
    try {
        return bus().last_init_error(text, size);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

}  // extern "C"
