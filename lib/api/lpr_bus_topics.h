/*
 * The camera's bus, named once: the endpoints, the source identifiers, every topic and the
 * layouts of the settings daemon's own messages. The web server library, the settings
 * daemon, the reference web server and the tests take these names from here. The message
 * format and the rules behind each topic are in docs/bus.md.
 *
 * Topics and endpoints are string literals, so that a program can also build a constant of
 * its own from them.
 */
#ifndef LPR_BUS_TOPICS_H
#define LPR_BUS_TOPICS_H

#include <stddef.h>
#include <stdint.h>

/* The web server library publishes here; the settings daemon (on a camera: the main server)
 * subscribes. */
#define LPR_BUS_ENDPOINT_WEBSERVER "ipc:///var/run/ws_pub.ipc"
/* The main server's endpoint, where the settings daemon publishes and the web server library
 * subscribes. */
#define LPR_BUS_ENDPOINT_MAIN "ipc:///var/run/zeziruvi_pub.ipc"

/* Source identifiers in the bus header (lpr_zmq_set_source). */
#define LPR_BUS_SOURCE_SETTINGSD 1
#define LPR_BUS_SOURCE_WEBSERVER 2

/* Settings records published by the web server library after each accepted write: the raw
 * lpr_advanced_t (608 bytes) and VEHICLE_COUNT_SETTING (3596 bytes). */
#define LPR_BUS_TOPIC_ADVANCED "lpr.config.advanced"
#define LPR_BUS_TOPIC_COUNT "lpr.config.count"

/* Published by the settings daemon: lpr_bus_ack_t after each transaction (and for each
 * refused or ping message), lpr_bus_heartbeat_t once a second. */
#define LPR_BUS_TOPIC_ACK "lpr.settings.ack"
#define LPR_BUS_TOPIC_HEARTBEAT "lpr.settings.heartbeat"
/* Subscribed by the settings daemon: any payload; answered at once with an acknowledgement
 * (result stored, nothing written), so that a publisher learns that the daemon receives its
 * messages and that it receives the daemon's acknowledgements. */
#define LPR_BUS_TOPIC_PING "lpr.settings.ping"

#define LPR_BUS_ACK_VERSION 1
#define LPR_BUS_HEARTBEAT_VERSION 1

typedef enum {
    LPR_BUS_ACK_STORED = 0,  /* the database holds the record (committed) */
    LPR_BUS_ACK_REFUSED = 1, /* not stored; reason says why */
} lpr_bus_ack_result_t;

/* Acknowledgement, 192 bytes, little-endian. It covers every message on topic from the
 * publisher (source, session) whose sequence lies in first_sequence..last_sequence: all of
 * them stored (the newest one written, the older ones replaced by it in the same
 * transaction) or all of them refused. */
typedef struct {
    uint8_t version;         /* LPR_BUS_ACK_VERSION */
    uint8_t result;          /* lpr_bus_ack_result_t */
    uint16_t source;         /* the acknowledged publisher's source identifier */
    uint32_t session;        /* the acknowledged publisher's session */
    uint64_t first_sequence; /* lowest sequence covered */
    uint64_t last_sequence;  /* highest sequence covered */
    char topic[48];          /* the acknowledged messages' topic, NUL-terminated */
    char reason[120];        /* why they were refused, NUL-terminated; "" when stored */
} lpr_bus_ack_t;

/* The settings daemon's heartbeat, 32 bytes, little-endian. */
typedef struct {
    uint8_t version;           /* LPR_BUS_HEARTBEAT_VERSION */
    uint8_t database_writable; /* 1 while the last transaction committed (or none failed) */
    uint16_t reserved;         /* 0 */
    uint32_t pid;              /* the daemon's process id */
    uint64_t uptime_ms;        /* since the daemon started */
    uint64_t transactions;     /* committed since the daemon started */
    uint64_t refused;          /* messages refused since the daemon started */
} lpr_bus_heartbeat_t;

#ifdef __cplusplus
#define LPR_BUS_CHECK(cond, msg) static_assert(cond, msg)
#else
#define LPR_BUS_CHECK(cond, msg) _Static_assert(cond, msg)
#endif
LPR_BUS_CHECK(sizeof(lpr_bus_ack_t) == 192, "lpr_bus_ack_t is 192 bytes");
LPR_BUS_CHECK(offsetof(lpr_bus_ack_t, session) == 4, "session at 4");
LPR_BUS_CHECK(offsetof(lpr_bus_ack_t, first_sequence) == 8, "first_sequence at 8");
LPR_BUS_CHECK(offsetof(lpr_bus_ack_t, last_sequence) == 16, "last_sequence at 16");
LPR_BUS_CHECK(offsetof(lpr_bus_ack_t, topic) == 24, "topic at 24");
LPR_BUS_CHECK(offsetof(lpr_bus_ack_t, reason) == 72, "reason at 72");
LPR_BUS_CHECK(sizeof(lpr_bus_heartbeat_t) == 32, "lpr_bus_heartbeat_t is 32 bytes");
LPR_BUS_CHECK(offsetof(lpr_bus_heartbeat_t, pid) == 4, "pid at 4");
LPR_BUS_CHECK(offsetof(lpr_bus_heartbeat_t, uptime_ms) == 8, "uptime_ms at 8");
LPR_BUS_CHECK(offsetof(lpr_bus_heartbeat_t, transactions) == 16, "transactions at 16");
LPR_BUS_CHECK(offsetof(lpr_bus_heartbeat_t, refused) == 24, "refused at 24");

#endif /* LPR_BUS_TOPICS_H */
