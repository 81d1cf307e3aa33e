/*
 * lpr-settingsd: the settings daemon. Stands where the camera's main server stands on
 * the message bus: it takes up the settings records that the web server library
 * publishes after each accepted write, stores them in the settings database, so that
 * they survive a restart of the web server, and acknowledges each message once its
 * record is on disk (or says why not). A heartbeat tells listeners that it runs.
 */
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "Database.h"
#include "database_lock.h"
#include "lpr_bus_topics.h"
#include "lpr_zmq.h"
#include "program_log.h"
#include "program_version.h"
#include "settings_store.h"
#include "store_queue.h"

namespace {

using settingsd::kLogTag;

/* The main server's side of the bus: it publishes on the endpoint the library
 * subscribes to, and subscribes to the endpoint the library publishes on. */
constexpr char kBusName[] = "settingsd";
constexpr char kPubEndpoint[] = LPR_BUS_ENDPOINT_MAIN;
constexpr char kSubEndpoint[] = LPR_BUS_ENDPOINT_WEBSERVER;
constexpr int kBusSource = LPR_BUS_SOURCE_SETTINGSD;
const char* const kTopics[] = {LPR_BUS_TOPIC_ADVANCED, LPR_BUS_TOPIC_COUNT, LPR_BUS_TOPIC_PING};
constexpr auto kHeartbeatPeriod = std::chrono::seconds(1);
/* Queue limits, in messages, of both sockets (docs/host.md, "Queue sizing"). A writer sends
 * at most one record per waiting HTTP request, and the receive thread only files messages,
 * so these are far above what can be in flight. */
constexpr int kQueueLimit = 10000;

const char kUsage[] =
    "Usage: lpr-settingsd [--db PATH]\n"
    "\n"
    "The settings daemon: stores the settings records that the web server publishes on\n"
    "the message bus (\"" LPR_BUS_TOPIC_ADVANCED "\", \"" LPR_BUS_TOPIC_COUNT
    "\") in the settings\n"
    "database, creating the database with the default settings when there is none, and\n"
    "acknowledges each one on \"" LPR_BUS_TOPIC_ACK
    "\" once it is stored.\n"
    "Bus endpoints: publishes on " LPR_BUS_ENDPOINT_MAIN
    ", subscribes to\n" LPR_BUS_ENDPOINT_WEBSERVER
    "; with LPR_ZMQ_IPC_DIR set, both socket files live in that\n"
    "folder instead of /var/run.\n"
    "\n"
    "While it runs it holds a lock on PATH.lock beside the database, by which\n"
    "lpr-settings-db tells that the database is live.\n"
    "\n"
    "Options:\n"
    "  --db PATH       settings database (default /var/lib/lpr/settings.db)\n"
    "  -h, --help      this text\n"
    "  --version       program version\n"
    "\n"
    "Exit status: 0 stopped by SIGINT or SIGTERM, 1 could not start (reason logged),\n"
    "2 wrong command line.\n";

/* Called by the bus client on its receive thread: nothing may pass back into it. A message
 * that cannot be filed (memory ran out) is neither stored nor acknowledged; its publisher
 * hears nothing and sends the record again. */
void on_message(const char* topic, const void* data, size_t len, void* user) {
    try {
        static_cast<settingsd::StoreQueue*>(user)->add(topic, data, len);
    } catch (...) {
        tools::log_caught(kLogTag, "a message could not be filed");
    }
}

/* The bus client for the life of the daemon. */
class BusRun {
  public:
    BusRun() = default;
    ~BusRun() {
        if (m_started) {
            stop_receiving();
            lpr_zmq_uninit();
        }
    }
    BusRun(const BusRun&) = delete;
    BusRun& operator=(const BusRun&) = delete;

    bool start(settingsd::StoreQueue* queue) {
        lpr_zmq_config_t cfg;
        lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBSUB, kBusName);
        std::memcpy(cfg.pub_endpoint, kPubEndpoint, sizeof kPubEndpoint);
        std::memcpy(cfg.sub_endpoint, kSubEndpoint, sizeof kSubEndpoint);
        cfg.send_hwm = kQueueLimit;
        cfg.recv_hwm = kQueueLimit;
        int rc = lpr_zmq_init(&cfg);
        if (rc != LPR_ZMQ_OK) {
            tools::log_line(kLogTag, "bus client did not start: %s", lpr_zmq_strerror(rc));
            return false;
        }
        m_started = true;
        lpr_zmq_set_source(kBusSource);
        for (const char* topic : kTopics) {
            rc = lpr_zmq_subscribe(topic, LPR_ZMQ_TARGET_BUS, 0, &on_message, queue);
            if (rc != LPR_ZMQ_OK) {
                tools::log_line(kLogTag, "cannot subscribe %s: %s", topic, lpr_zmq_strerror(rc));
                return false;
            }
        }
        return true;
    }

    /* Ends the subscriptions: once this returns no callback runs. Idempotent. */
    void stop_receiving() {
        for (const char* topic : kTopics) {
            lpr_zmq_unsubscribe(topic, LPR_ZMQ_TARGET_BUS, 0);
        }
    }

  private:
    bool m_started = false;
};

void publish_heartbeat(settingsd::StoreQueue& queue, std::chrono::steady_clock::time_point since) {
    const settingsd::StoreStats stats = queue.stats();
    lpr_bus_heartbeat_t beat;
    std::memset(&beat, 0, sizeof beat);
    beat.version = LPR_BUS_HEARTBEAT_VERSION;
    beat.database_writable = stats.databaseWritable ? 1 : 0;
    beat.pid = static_cast<uint32_t>(getpid());
    beat.uptime_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               std::chrono::steady_clock::now() - since)
                                               .count());
    beat.transactions = stats.transactions;
    beat.refused = stats.refused;
    lpr_zmq_publish_to(LPR_BUS_TOPIC_HEARTBEAT, LPR_ZMQ_TARGET_BUS, &beat, sizeof beat);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string dbPath = "/var/lib/lpr/settings.db";
    const option longOptions[] = {{"db", required_argument, nullptr, 'd'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, 'V'},
                                  {nullptr, 0, nullptr, 0}};
    int id;
    while ((id = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
        switch (id) {
            case 'd':
                dbPath = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'V':
                std::puts("lpr-settingsd " LPR_PROGRAM_VERSION);
                return 0;
            default:
                std::fputs("Try lpr-settingsd --help\n", stderr);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr,
                     "lpr-settingsd: unexpected argument \"%s\"; try lpr-settingsd --help\n",
                     argv[optind]);
        return 2;
    }

    // Threads started from here on (the bus client's) leave SIGINT and SIGTERM to
    // sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Database::User database;
    if (!database.ok()) {
        tools::log_line(kLogTag, "settings database component did not start: %s",
                        Database::last_error());
        return 1;
    }
    const auto since = std::chrono::steady_clock::now();
    int signo = 0;
    {
        settingsd::SettingsStore store;
        if (!store.open(dbPath)) {
            return 1;
        }
        // From here on the database is live: lpr-settings-db refuses to write it.
        settings::DatabaseLock lock;
        std::string error;
        if (!lock.acquire(dbPath, &error)) {
            tools::log_line(kLogTag, "cannot own the settings database %s: %s", dbPath.c_str(),
                            error.c_str());
            return 1;
        }
        settingsd::StoreQueue queue(store);
        if (!queue.start()) {
            return 1;
        }
        BusRun bus;  // stops before the queue and the store
        if (!bus.start(&queue)) {
            return 1;
        }
        tools::log_line(kLogTag, "ready: database %s, subscribed to %s and %s", dbPath.c_str(),
                        LPR_BUS_TOPIC_ADVANCED, LPR_BUS_TOPIC_COUNT);
        const timespec period = {
            static_cast<time_t>(
                std::chrono::duration_cast<std::chrono::seconds>(kHeartbeatPeriod).count()),
            0};
        do {
            publish_heartbeat(queue, since);
        } while ((signo = sigtimedwait(&stopSignals, nullptr, &period)) < 0);
        tools::log_line(kLogTag, "%s, stopping", signo == SIGINT ? "SIGINT" : "SIGTERM");
        // What arrived before the subscriptions ended is stored and acknowledged while the
        // bus client can still send.
        bus.stop_receiving();
        queue.stop();
    }
    tools::log_line(kLogTag, "stopped");
    return 0;
}
