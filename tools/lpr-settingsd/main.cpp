/*
 * lpr-settingsd: the settings daemon. Stands where the camera's main server stands on
 * the message bus: it takes up the settings records that the web server library
 * publishes after each accepted write and stores them in the settings database, so
 * that they survive a restart of the web server.
 */
#include <getopt.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "Database.h"
#include "lpr_zmq.h"
#include "settings_store.h"

namespace {

using settingsd::log_line;

/* The main server's side of the bus: it publishes on the endpoint the library
 * subscribes to, and subscribes to the endpoint the library publishes on. */
constexpr char kBusName[] = "settingsd";
constexpr char kPubEndpoint[] = "ipc:///var/run/zeziruvi_pub.ipc";
constexpr char kSubEndpoint[] = "ipc:///var/run/ws_pub.ipc";
constexpr int kBusSource = 1;

const char kUsage[] =
    "Usage: lpr-settingsd [--db PATH]\n"
    "\n"
    "The settings daemon: stores the settings records that the web server publishes on\n"
    "the message bus (\"lpr.config.advanced\", \"lpr.config.count\") in the settings\n"
    "database, creating the database with the default settings when there is none.\n"
    "Bus endpoints: publishes on ipc:///var/run/zeziruvi_pub.ipc, subscribes to\n"
    "ipc:///var/run/ws_pub.ipc; with LPR_ZMQ_IPC_DIR set, both socket files live in that\n"
    "folder instead of /var/run.\n"
    "\n"
    "Options:\n"
    "  --db PATH   settings database (default /var/lib/lpr/settings.db)\n"
    "  --help      this text\n"
    "  --version   program version\n";

void on_record(const char* topic, const void* data, size_t len, void* user) {
    static_cast<settingsd::SettingsStore*>(user)->store(topic, data, len);
}

/* Database::init for the life of the daemon. */
class DatabaseRun {
  public:
    DatabaseRun() : m_ok(Database::get_instance().init() == 0) {}
    ~DatabaseRun() {
        if (m_ok) {
            Database::get_instance().uninit(1);
        }
    }
    DatabaseRun(const DatabaseRun&) = delete;
    DatabaseRun& operator=(const DatabaseRun&) = delete;
    bool ok() const { return m_ok; }

  private:
    bool m_ok;
};

/* The bus client for the life of the daemon; stopping it ends the callbacks. */
class BusRun {
  public:
    BusRun() = default;
    ~BusRun() {
        if (m_started) {
            lpr_zmq_unsubscribe(settingsd::kTopicAdvanced, LPR_ZMQ_TARGET_BUS, 0);
            lpr_zmq_unsubscribe(settingsd::kTopicCount, LPR_ZMQ_TARGET_BUS, 0);
            lpr_zmq_uninit();
        }
    }
    BusRun(const BusRun&) = delete;
    BusRun& operator=(const BusRun&) = delete;

    bool start(settingsd::SettingsStore* store) {
        lpr_zmq_config_t cfg;
        lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBSUB, kBusName);
        std::memcpy(cfg.pub_endpoint, kPubEndpoint, sizeof kPubEndpoint);
        std::memcpy(cfg.sub_endpoint, kSubEndpoint, sizeof kSubEndpoint);
        int rc = lpr_zmq_init(&cfg);
        if (rc != LPR_ZMQ_OK) {
            log_line("bus client did not start: %s", lpr_zmq_strerror(rc));
            return false;
        }
        m_started = true;
        lpr_zmq_set_source(kBusSource);
        for (const char* topic : {settingsd::kTopicAdvanced, settingsd::kTopicCount}) {
            rc = lpr_zmq_subscribe(topic, LPR_ZMQ_TARGET_BUS, 0, &on_record, store);
            if (rc != LPR_ZMQ_OK) {
                log_line("cannot subscribe %s: %s", topic, lpr_zmq_strerror(rc));
                return false;
            }
        }
        return true;
    }

  private:
    bool m_started = false;
};

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string dbPath = "/var/lib/lpr/settings.db";
    const option longOptions[] = {{"db", required_argument, nullptr, 'd'},
                                  {"help", no_argument, nullptr, 'h'},
                                  {"version", no_argument, nullptr, 'V'},
                                  {nullptr, 0, nullptr, 0}};
    int id;
    while ((id = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        switch (id) {
            case 'd':
                dbPath = optarg;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'V':
                std::puts("lpr-settingsd 1.0.0");
                return 0;
            default:
                std::fputs("Try lpr-settingsd --help\n", stderr);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "lpr-settingsd: unexpected argument \"%s\"\n", argv[optind]);
        return 2;
    }

    // Threads started from here on (the bus client's) leave SIGINT and SIGTERM to
    // sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    DatabaseRun database;
    if (!database.ok()) {
        log_line("settings database component did not start: %s", Database::last_error());
        return 1;
    }
    int signo = 0;
    {
        settingsd::SettingsStore store;
        if (!store.open(dbPath)) {
            return 1;
        }
        BusRun bus;  // stops before the store closes the database
        if (!bus.start(&store)) {
            return 1;
        }
        log_line("ready: database %s, subscribed to %s and %s", dbPath.c_str(),
                 settingsd::kTopicAdvanced, settingsd::kTopicCount);
        sigwait(&stopSignals, &signo);
        log_line("%s, stopping", signo == SIGINT ? "SIGINT" : "SIGTERM");
    }
    log_line("stopped");
    return 0;
}
