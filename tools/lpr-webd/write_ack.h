/*
 * Acknowledged writes: lpr-webd answers 200 to a settings write only once the settings
 * daemon has acknowledged that the database holds the record the library published for it.
 *
 * - Writes in order. A gate per settings record lets one write of that record through the
 *   library at a time (reads never take it), so the bus carries the records in the order of
 *   the cache's stores and the daemon ends with what the cache holds.
 * - The wait. After the library's 200 the request's connection is suspended (no HTTP thread
 *   waits) until the daemon's acknowledgement of the library's message arrives on the bus,
 *   or the timeout passes; then the request is answered 200, or 503 with the reason.
 * - No lasting disagreement. A record whose last write was not stored is published again,
 *   from the cache's current copy, each time the daemon's heartbeat is heard, until the
 *   daemon stores it.
 *
 * docs/host.md, "Acknowledged writes", describes the statuses and what a client does.
 */
#ifndef LPR_WEBD_WRITE_ACK_H
#define LPR_WEBD_WRITE_ACK_H

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cgi/lpr_cgi.h"
#include "lpr_bus_topics.h"
#include "lpr_zmq.h"

namespace webd {

using AckClock = std::chrono::steady_clock;

/* What became of a write that the library accepted. */
struct WriteOutcome {
    bool stored = false;
    std::string reason; /* why not, for the 503 message */
};

/* A write waiting for its acknowledgement. Shared by the request and WriteAcks; the fields
 * are guarded by WriteAcks' mutex. */
struct PendingWrite {
    uint32_t session = 0;
    uint64_t sequence = 0;
    std::string topic;
    AckClock::time_point deadline;
    MHD_Connection* connection = nullptr; /* suspended until done; null for WriteAcks' own */
    int resentRecord = -1;                /* WriteAcks' own sending again of this record */
    bool done = false;
    WriteOutcome outcome;
};

/* The library's message for one write, as the gate saw it. */
struct PublishedWrite {
    int record = -1;        /* index of the settings record written; -1: not a write action */
    bool published = false; /* the library published a message during the call */
    lpr_zmq_msg_info_t info{};
};

/* What the web server last heard from the settings daemon, for the status page. */
struct DaemonContact {
    bool heardHeartbeat = false;
    AckClock::time_point heartbeatAt;
    lpr_bus_heartbeat_t heartbeat{};
    bool heardAck = false;
    AckClock::time_point ackAt;
    lpr_bus_ack_t ack{};
    /* Topics of the records whose last write the database does not hold yet. */
    std::vector<std::string> behind;
};

class WriteAcks {
  public:
    explicit WriteAcks(std::chrono::milliseconds timeout);
    ~WriteAcks();
    WriteAcks(const WriteAcks&) = delete;
    WriteAcks& operator=(const WriteAcks&) = delete;

    /* Subscribes the daemon's acknowledgements and heartbeat on the library's bus client (it
     * must run) and starts the thread that times out waits and sends records again. */
    bool start(std::string* error);

    /* Pings the settings daemon until it answers or limit passes; true when it answered.
     * Proves both directions of the bus before the first write is served. */
    bool ping_daemon(std::chrono::milliseconds limit);

    /* Answers every waiting write (503, the web server is stopping) and resumes its
     * connection, answers later writes at once the same way, ends the thread and the
     * subscriptions. Call before the HTTP server stops: it must not stop with suspended
     * connections. Idempotent. */
    void stop();

    /* Holds a settings record's gate from construction to release(), around the library's
     * call, for write actions (handler is one of the library's write handlers); does nothing
     * for others. */
    class Gate {
      public:
        Gate(WriteAcks& acks, LprCgiHandler handler);
        ~Gate();
        Gate(const Gate&) = delete;
        Gate& operator=(const Gate&) = delete;
        /* After lpr_cgi_handle: releases the gate and tells what the library published. */
        PublishedWrite release();

      private:
        WriteAcks& m_acks;
        PublishedWrite m_write;
        std::unique_lock<std::mutex> m_lock;
    };

    /* For a write the library answered 200: *pending receives the write's wait. True when
     * connection was suspended until the daemon's answer or the timeout (MHD calls the
     * access handler again after that); false when it is done at once (nothing was
     * published, or the web server is stopping). */
    bool wait(const PublishedWrite& write, MHD_Connection* connection,
              std::shared_ptr<PendingWrite>* pending);

    /* The outcome of a pending write once it is done. */
    WriteOutcome outcome(const PendingWrite& pending);

    /* The daemon's last heartbeat and acknowledgement, and which records it is behind on. */
    DaemonContact daemon_contact();

  private:
    struct RecordState;

    static void on_ack(const char* topic, const void* data, size_t len, void* self);
    static void on_heartbeat(const char* topic, const void* data, size_t len, void* self);
    std::shared_ptr<PendingWrite> add_pending(const lpr_zmq_msg_info_t& info,
                                              AckClock::time_point deadline,
                                              MHD_Connection* connection);
    void resolve(PendingWrite& pending, bool stored, const std::string& reason);
    bool answered(PendingWrite& pending, const lpr_bus_ack_t& ack);
    void mark_unstored(const std::string& topic, uint64_t sequence, const std::string& reason);
    void note_published(const lpr_zmq_msg_info_t& info);
    void run();
    void resend(size_t record);

    const std::chrono::milliseconds m_timeout;
    std::vector<std::unique_ptr<RecordState>> m_records;

    std::mutex m_mutex; /* guards everything below and every PendingWrite */
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<PendingWrite>> m_pending;
    /* The latest acknowledgements: the daemon may answer a message before the thread that
     * published it has registered its wait. */
    std::deque<lpr_bus_ack_t> m_recentAcks;
    uint32_t m_session = 0;         /* this process's bus session */
    uint64_t m_highestSequence = 0; /* of every message seen published */
    AckClock::time_point m_lastHeartbeat;
    bool m_heardDaemon = false;
    DaemonContact m_contact; /* without behind, which m_records tell */
    bool m_subscribed = false;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace webd

#endif /* LPR_WEBD_WRITE_ACK_H */
