/*
 * liblprcommon message bus client: the camera's processes exchange raw settings
 * records and events over ZeroMQ publish/subscribe sockets on "ipc://" endpoints.
 * Framing, threading and endpoint relocation are described in docs/bus.md.
 *
 * One client per process. Every call is safe from any thread; callbacks run on the
 * client's own receive thread. Every call made before a successful lpr_zmq_init (or
 * after it failed, or after lpr_zmq_uninit) fails with LPR_ZMQ_ENOTINIT, whatever
 * its arguments.
 *
 * A callback may publish, subscribe and unsubscribe; lpr_zmq_init and lpr_zmq_uninit
 * from a callback are refused with LPR_ZMQ_ECALLBACK. lpr_zmq_unsubscribe (and a
 * subscribe that replaces a callback) returns only once no callback is running, so the
 * caller may then free the user data; it must therefore not be called while holding a
 * lock that a callback takes.
 *
 * When the environment variable LPR_ZMQ_IPC_DIR is set and not empty, every
 * "ipc://<folder>/<name>" endpoint is used as "ipc://$LPR_ZMQ_IPC_DIR/<name>".
 *
 * A client does not survive fork(): a child process must not use the client that its
 * parent started (it may start its own if the parent's was not started).
 */
#ifndef LPR_ZMQ_H
#define LPR_ZMQ_H

#include <stddef.h>
#include <stdint.h>

#define LPR_ZMQ_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    LPR_ZMQ_ROLE_PUBLISHER = 1,
    LPR_ZMQ_ROLE_SUBSCRIBER = 2,
    LPR_ZMQ_ROLE_PUBSUB = 3,
    LPR_ZMQ_ROLE_REQUESTER = 4,
    LPR_ZMQ_ROLE_REPLIER = 8,
} lpr_zmq_role_t;

typedef enum {
    LPR_ZMQ_LOG_ERROR = 0,
    LPR_ZMQ_LOG_WARN = 1,
    LPR_ZMQ_LOG_INFO = 2,
    LPR_ZMQ_LOG_DEBUG = 3,
    LPR_ZMQ_LOG_TRACE = 4,
} lpr_zmq_log_level_t;

/* Client configuration, 616 bytes, no gaps. The client copies what it keeps. */
typedef struct {
    lpr_zmq_role_t role;
    char identity[64];       /* process name, NUL-terminated */
    char pub_endpoint[256];  /* endpoint the PUB socket binds, "ipc://..." */
    char sub_endpoint[256];  /* endpoint the SUB socket connects to */
    int32_t send_hwm;        /* messages queued per subscriber before its copies drop; 0..1000000 */
    int32_t recv_hwm;        /* messages queued on the receiving side; 0..1000000 */
    int32_t send_timeout_ms; /* 0: a publish never waits; at most 1000 */
    int32_t recv_timeout_ms; /* poll period of the receive thread, 1..10000 */
    int32_t linger_ms;       /* how long uninit waits for unsent messages, 0..10000 */
    int32_t io_threads;      /* ZeroMQ I/O threads, 1..16 */
    int32_t reconnect_ivl_ms;      /* first reconnect delay of the SUB socket */
    int32_t reconnect_ivl_max_ms;  /* longest reconnect delay (0: always reconnect_ivl_ms) */
    lpr_zmq_log_level_t log_level; /* lines on standard error up to this level */
} lpr_zmq_config_t;

/* Called on the receive thread for each message on a subscribed topic. data points
 * at the payload (len bytes), valid only during the call. */
typedef void (*lpr_zmq_msg_callback_t)(const char* topic, const void* data, size_t len,
                                       void* user_data);

/* Publish targets (bit mask) of lpr_zmq_publish_to. */
#define LPR_ZMQ_TARGET_BUS 1

/* Error codes. 0 is success. */
#define LPR_ZMQ_OK 0
#define LPR_ZMQ_EINVAL (-1)     /* bad argument */
#define LPR_ZMQ_ENOTINIT (-2)   /* client not started */
#define LPR_ZMQ_EALREADY (-3)   /* client already started */
#define LPR_ZMQ_EROLE (-4)      /* role not supported */
#define LPR_ZMQ_EENDPOINT (-5)  /* endpoint text not usable */
#define LPR_ZMQ_EADDRINUSE (-6) /* another process publishes on the endpoint */
#define LPR_ZMQ_EZMQ (-7)       /* ZeroMQ refused an operation */
#define LPR_ZMQ_EAGAIN (-8)     /* message dropped: queue full */
#define LPR_ZMQ_ENOMEM (-9)
#define LPR_ZMQ_ENOENT (-10)    /* topic not subscribed */
#define LPR_ZMQ_ETHREAD (-11)   /* receive thread could not start */
#define LPR_ZMQ_ECALLBACK (-12) /* not allowed inside a message callback */
#define LPR_ZMQ_ENOMSG (-13)    /* no such message: none published yet, or not in a callback */

/* Where a message came from and its place in its publisher's stream (docs/bus.md). */
typedef struct {
    uint64_t sequence; /* 1, 2, 3 ... per start of the publishing client; 0: not numbered */
    uint32_t session;  /* random, not 0, per start of the publishing client; 0: unknown */
    uint16_t source;   /* the publisher's source identifier; 0: unknown */
    uint16_t reserved; /* 0 */
    char topic[256];   /* NUL-terminated; a longer topic is cut to 255 bytes */
} lpr_zmq_msg_info_t;

/* Fills the whole of cfg with the defaults for role and identity (copied, cut to 63
 * bytes at a UTF-8 character boundary; null gives ""): hwm 1000, send timeout 0,
 * receive poll 100 ms, linger 100 ms, 1 I/O thread, reconnect every 100 ms (no back-off),
 * log level WARN, empty endpoints. 0; LPR_ZMQ_EINVAL for a null cfg, or a role that is none of
 * lpr_zmq_role_t (cfg is filled all the same). */
LPR_ZMQ_API int lpr_zmq_get_default_config(lpr_zmq_config_t* cfg, lpr_zmq_role_t role,
                                           const char* identity);

/* Starts the client: binds pub_endpoint (publisher roles 1 and 3), connects
 * sub_endpoint and starts the receive thread (subscriber roles 2 and 3). 0, or
 * LPR_ZMQ_EINVAL (null cfg, a field out of range), LPR_ZMQ_EROLE (roles 4, 8 or
 * unknown), LPR_ZMQ_EENDPOINT (empty or unusable endpoint, missing folder),
 * LPR_ZMQ_EADDRINUSE (another live process publishes on pub_endpoint),
 * LPR_ZMQ_EALREADY, LPR_ZMQ_ECALLBACK (inside a message callback), LPR_ZMQ_EZMQ,
 * LPR_ZMQ_ETHREAD, LPR_ZMQ_ENOMEM. */
LPR_ZMQ_API int lpr_zmq_init(const lpr_zmq_config_t* cfg);

/* Text for an error code; never null. */
LPR_ZMQ_API const char* lpr_zmq_strerror(int err);

/* Source identifier sent with every later publish (0..65535; 0 after each start).
 * 0, LPR_ZMQ_EINVAL or LPR_ZMQ_ENOTINIT. */
LPR_ZMQ_API int lpr_zmq_set_source(int source);

/* Publishes len bytes under topic (not empty) on target LPR_ZMQ_TARGET_BUS (any other
 * target: LPR_ZMQ_EINVAL). The bytes are copied before the call returns. Never blocks
 * for long: a subscriber whose queue is full loses its copy, as with any ZeroMQ PUB
 * socket. 0 when ZeroMQ took the message (delivery is not confirmed), LPR_ZMQ_EROLE
 * for a subscriber-only client, LPR_ZMQ_EAGAIN if ZeroMQ refused it for now, or
 * another error code. */
LPR_ZMQ_API int lpr_zmq_publish_to(const char* topic, int target, const void* data, size_t len);

/* Subscribes topic (exact match, not empty) from the target LPR_ZMQ_TARGET_BUS;
 * messages sent with the source identifier ignore_source (1..65535) are not delivered
 * (0 delivers all). Subscribing a topic again replaces its callback, user data and
 * ignored source. 0, LPR_ZMQ_EINVAL, LPR_ZMQ_EROLE (publisher-only client) or
 * LPR_ZMQ_ENOTINIT. */
LPR_ZMQ_API int lpr_zmq_subscribe(const char* topic, int target, int ignore_source,
                                  lpr_zmq_msg_callback_t callback, void* user_data);

/* Removes the subscription of topic (ignore_source is checked for range only). Once
 * it returns, its callback is not running and is not called again. 0, LPR_ZMQ_ENOENT
 * (not subscribed), LPR_ZMQ_EINVAL, LPR_ZMQ_EROLE or LPR_ZMQ_ENOTINIT. */
LPR_ZMQ_API int lpr_zmq_unsubscribe(const char* topic, int target, int ignore_source);

/* The calling thread's last successful lpr_zmq_publish_to since the client started: its
 * topic, this client's source and session, and the sequence number it was sent with. 0, or
 * LPR_ZMQ_ENOMSG (this thread has not published since the start), LPR_ZMQ_EINVAL (null
 * info) or LPR_ZMQ_ENOTINIT. A publisher that must learn what became of a message reads
 * this right after the publish, on the same thread. */
LPR_ZMQ_API int lpr_zmq_last_publish(lpr_zmq_msg_info_t* info);

/* Inside a message callback: the header of the message being delivered (sequence, session
 * and source 0 for a message that carries none). 0, or LPR_ZMQ_ENOMSG outside a callback,
 * LPR_ZMQ_EINVAL (null info) or LPR_ZMQ_ENOTINIT. */
LPR_ZMQ_API int lpr_zmq_current_message(lpr_zmq_msg_info_t* info);

/* 1 while the client runs (between a successful lpr_zmq_init and lpr_zmq_uninit), else 0. */
LPR_ZMQ_API int lpr_zmq_is_running(void);

/* The result of the last lpr_zmq_init of this process (LPR_ZMQ_OK after a success, and
 * before any init), and into text (size bytes, NUL-terminated, cut at a UTF-8 character
 * boundary; may be null) the reason it logged, "" after a success. A host whose bus client
 * was started by someone else learns this way why it did not start. */
LPR_ZMQ_API int lpr_zmq_last_init_error(char* text, size_t size);

/* Stops the client: the receive thread ends, sockets close within linger_ms and every
 * subscription is forgotten. The client can be started again. 0, LPR_ZMQ_ENOTINIT, or
 * LPR_ZMQ_ECALLBACK when called from a message callback. */
LPR_ZMQ_API int lpr_zmq_uninit(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define LPR_ZMQ_CHECK(cond, msg) static_assert(cond, msg)
#else
#define LPR_ZMQ_CHECK(cond, msg) _Static_assert(cond, msg)
#endif
LPR_ZMQ_CHECK(sizeof(lpr_zmq_role_t) == 4, "role is 4 bytes");
LPR_ZMQ_CHECK(sizeof(lpr_zmq_log_level_t) == 4, "log level is 4 bytes");
LPR_ZMQ_CHECK(sizeof(lpr_zmq_config_t) == 616, "lpr_zmq_config_t is 616 bytes");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, identity) == 4, "identity at 4");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, pub_endpoint) == 68, "pub_endpoint at 68");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, sub_endpoint) == 324, "sub_endpoint at 324");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, send_hwm) == 580, "send_hwm at 580");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, recv_hwm) == 584, "recv_hwm at 584");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, send_timeout_ms) == 588, "send_timeout_ms at 588");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, recv_timeout_ms) == 592, "recv_timeout_ms at 592");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, linger_ms) == 596, "linger_ms at 596");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, io_threads) == 600, "io_threads at 600");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, reconnect_ivl_ms) == 604, "reconnect_ivl_ms at 604");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, reconnect_ivl_max_ms) == 608,
              "reconnect_ivl_max_ms at 608");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_config_t, log_level) == 612, "log_level at 612");
LPR_ZMQ_CHECK(sizeof(lpr_zmq_msg_info_t) == 272, "lpr_zmq_msg_info_t is 272 bytes");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_msg_info_t, session) == 8, "session at 8");
LPR_ZMQ_CHECK(offsetof(lpr_zmq_msg_info_t, topic) == 16, "topic at 16");

#endif /* LPR_ZMQ_H */
