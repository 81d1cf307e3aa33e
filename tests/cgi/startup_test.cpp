// Start-up and shutdown of the library with a real settings database and the real
// bus client: order of the steps as the log shows it, what each failure leaves, the
// registry across a stop, and bus subscriptions made at start-up.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_zmq.h"
#include "test_support.h"

namespace {

using lpr_test::bytes_of;

std::string cgi_line(const std::string& msg, const char* func, int line) {
    return "lpr_cgi: " + msg + "==func:" + func +
           " file:lib/src/cgi/lpr_cgi.cpp line:" + std::to_string(line);
}

std::string loaded_line(const std::string& path) {
    return "lpr_cgi_cache: loaded from " + path +
           "==func:load file:lib/src/cgi/lpr_cgi_cache.cpp line:59";
}

std::vector<std::string> logged(const std::function<void()>& step) {
    lpr_test::StdoutCapture capture;
    step();
    return lpr_test::log_lines(capture.text());
}

int32_t ok_handler(const LprCgiCtx*, LprCgiRespInternal* resp) {
    lpr::return_ok(resp);
    return 0;
}

// Dispatches action "ping" and returns lpr_cgi_handle's result (code in *code).
int32_t ping(int* code = nullptr) {
    LprCgiCtx ctx{};
    ctx.action = "ping";
    ctx.method = QZ_HTTP_GET;
    ctx.lprPermission = 1;
    LprCgiResp resp{};
    int32_t rc = lpr_cgi_handle(&ctx, &resp);
    if (code != nullptr) {
        *code = resp.code;
    }
    lpr_cgi_resp_free(&resp);
    return rc;
}

std::string listing() {
    char buf[256];
    lpr_cgi_list_actions(buf, sizeof buf);
    return buf;
}

struct SettingsDb {
    lpr_test::TempDir dir;
    std::string path = dir.file("settings.db");
    explicit SettingsDb(const char* deviceId) {
        EXPECT_EQ(Database::create_default(path.c_str()), 0);
        lpr_advanced_t adv;
        Database::default_lpr_advanced(&adv);
        std::snprintf(adv.snap_device_id, sizeof adv.snap_device_id, "%s", deviceId);
        sqlite3* conn = nullptr;
        EXPECT_EQ(Database::sqlite_conn_rw(path.c_str(), &conn), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_advanced(&adv, conn), 0);
        Database::sqlite_disconn(conn);
    }
};

std::string cached_device_id() {
    lpr_advanced_t adv;
    lpr::LprCgiCache::get_instance().get_lpr_advanced(adv);
    return std::string(adv.snap_device_id, strnlen(adv.snap_device_id, sizeof adv.snap_device_id));
}

}  // namespace

TEST(Startup, starts_once_stops_once_and_reports_each_step) {
    SettingsDb db("first");
    SettingsDb other("second");
    ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);
    EXPECT_EQ(ping(), -1);

    int32_t rc = 1;
    auto lines = logged([&] { rc = lpr_cgi_init(db.path.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{loaded_line(db.path),
                                               cgi_line("initialized", "lpr_cgi_init", 85)}));
    int code = 0;
    EXPECT_EQ(ping(&code), 0);  // registered before start-up, dispatched after it
    EXPECT_EQ(code, 200);
    EXPECT_EQ(cached_device_id(), "first");
    // The bus client runs.
    EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_OK);

    // A second start-up, even with another path, only says so.
    lines = logged([&] { rc = lpr_cgi_init(other.path.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines,
              (std::vector<std::string>{cgi_line("already initialized", "lpr_cgi_init", 57)}));
    EXPECT_EQ(cached_device_id(), "first");

    lines = logged([&] { rc = lpr_cgi_uninit(); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{cgi_line("uninitialized", "lpr_cgi_uninit", 100)}));
    EXPECT_EQ(ping(), -1);
    EXPECT_EQ(listing(), "[]");
    EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_ENOTINIT);
    EXPECT_EQ(cached_device_id(), "first");  // the cache outlives a stop

    lines = logged([&] { rc = lpr_cgi_uninit(); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty());

    // A new start repeats every step: the cache is loaded from the new path, the bus
    // client runs again, and actions must be registered again.
    lines = logged([&] { rc = lpr_cgi_init(other.path.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{loaded_line(other.path),
                                               cgi_line("initialized", "lpr_cgi_init", 85)}));
    EXPECT_EQ(cached_device_id(), "second");
    EXPECT_EQ(ping(), 1);
    EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_OK);
    EXPECT_EQ(lpr_cgi_uninit(), 0);
}

TEST(Startup, failures_after_the_database_are_logged_and_start_up_goes_on) {
    lpr_test::TempDir scratch;
    const std::string missingDir = scratch.file("no-such-folder");
    struct Row {
        const char* name;
        bool nullPath;
        bool busFails;
    } rows[] = {
        {"null path", true, false},
        {"bus client cannot bind", false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SettingsDb db("cam");
        lpr::LprCgiCache::get_instance().set_lpr_advanced(lpr_advanced_t{});
        std::unique_ptr<lpr_test::ScopedEnv> ipc;
        if (row.busFails) {
            ipc = std::make_unique<lpr_test::ScopedEnv>("LPR_ZMQ_IPC_DIR", missingDir);
        }
        ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);

        int32_t rc = 1;
        auto lines = logged([&] { rc = lpr_cgi_init(row.nullPath ? nullptr : db.path.c_str()); });
        EXPECT_EQ(rc, 0);
        std::vector<std::string> expected;
        if (!row.nullPath) {
            expected.push_back(loaded_line(db.path));
        }
        if (row.busFails) {
            // Which code the client gives is its own business; the line carries its text.
            lpr_zmq_config_t cfg;
            lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBSUB, "webserver");
            std::strcpy(cfg.pub_endpoint, LPR_BUS_ENDPOINT_WEBSERVER);
            std::strcpy(cfg.sub_endpoint, LPR_BUS_ENDPOINT_MAIN);
            int err = lpr_zmq_init(&cfg);
            ASSERT_NE(err, LPR_ZMQ_OK);
            expected.push_back(cgi_line(std::string("ZMQ init failed: ") + lpr_zmq_strerror(err),
                                        "lpr_cgi_init", 78));
            // Publishing through the client that did not start fails harmlessly.
            EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_ENOTINIT);
        }
        expected.push_back(cgi_line("initialized", "lpr_cgi_init", 85));
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(cached_device_id(), row.nullPath ? "" : "cam");
        int code = 0;
        EXPECT_EQ(ping(&code), 0);
        EXPECT_EQ(code, 200);
        EXPECT_EQ(lpr_cgi_uninit(), 0);
    }
}

TEST(Startup, a_database_that_does_not_initialise_stops_start_up) {
    SettingsDb db("cam");
    lpr_test::TempDir scratch;
    ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);
    int32_t rc = 0;
    std::vector<std::string> lines;
    {
        // SQLite cannot work without a folder for its temporary files.
        lpr_test::ScopedEnv tmp("SQLITE_TMPDIR", scratch.file("gone"));
        lines = logged([&] { rc = lpr_cgi_init(db.path.c_str()); });
    }
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(lines,
              (std::vector<std::string>{cgi_line("Database init failed", "lpr_cgi_init", 63)}));
    EXPECT_EQ(cached_device_id(), "");  // nothing was loaded
    EXPECT_EQ(ping(), -1);
    EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_ENOTINIT);
    lines = logged([&] { rc = lpr_cgi_uninit(); });
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(lines.empty());

    // Once the database can initialise, a new start-up repeats every step.
    lines = logged([&] { rc = lpr_cgi_init(db.path.c_str()); });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(lines, (std::vector<std::string>{loaded_line(db.path),
                                               cgi_line("initialized", "lpr_cgi_init", 85)}));
    EXPECT_EQ(ping(), 0);
    EXPECT_EQ(lpr_cgi_uninit(), 0);
}

TEST(Startup, load_lpr_param_changes_nothing) {
    char buf[8] = "abcdefg";
    load_lpr_param(buf, sizeof buf);
    load_lpr_param(nullptr, 0);
    load_lpr_param(buf, -1);
    EXPECT_STREQ(buf, "abcdefg");
}

namespace {

struct Received {
    std::mutex mutex;
    std::vector<std::string> messages;  // "topic=payload"
    void add(const char* topic, const void* data, size_t len) {
        std::lock_guard<std::mutex> guard(mutex);
        messages.push_back(std::string(topic) + "=" +
                           std::string(static_cast<const char*>(data), len));
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(mutex);
        return std::move(messages);
    }
};

void on_message(const char* topic, const void* data, size_t len, void* userData) {
    static_cast<Received*>(userData)->add(topic, data, len);
}

// A process standing in for the main server: publishes on its endpoint, alternating
// its own source with the web server's source 2, until killed.
pid_t start_main_server() {
    pid_t pid = fork();
    if (pid == 0) {
        lpr_zmq_config_t cfg;
        lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBLISHER, "mainserver");
        std::strcpy(cfg.pub_endpoint, LPR_BUS_ENDPOINT_MAIN);
        if (lpr_zmq_init(&cfg) != LPR_ZMQ_OK) {
            _exit(3);
        }
        for (;;) {
            lpr_zmq_set_source(7);
            lpr_zmq_publish_to("event.a", LPR_ZMQ_TARGET_BUS, "A", 1);
            lpr_zmq_publish_to("event.b", LPR_ZMQ_TARGET_BUS, "B", 1);
            lpr_zmq_publish_to("event.c", LPR_ZMQ_TARGET_BUS, "C", 1);
            lpr_zmq_set_source(2);
            lpr_zmq_publish_to("event.a", LPR_ZMQ_TARGET_BUS, "own", 3);
            usleep(20000);
        }
    }
    return pid;
}

}  // namespace

TEST(Startup, registered_topics_are_subscribed_at_start_and_dropped_at_stop) {
    Received received;
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, &received), 0);
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.b", on_message, &received), 0);
    EXPECT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, &received), -1);
    EXPECT_EQ(lpr_cgi_ws_sub_add(nullptr, on_message, &received), -1);

    pid_t child = start_main_server();
    ASSERT_GT(child, 0);
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    std::vector<std::string> all;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool gotA = false;
    bool gotB = false;
    while (!(gotA && gotB) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (auto& m : received.take()) {
            gotA = gotA || m == "event.a=A";
            gotB = gotB || m == "event.b=B";
            all.push_back(m);
        }
    }
    EXPECT_TRUE(gotA && gotB);
    for (const auto& m : all) {
        // Only the registered topics, and nothing sent with the web server's own source.
        EXPECT_TRUE(m == "event.a=A" || m == "event.b=B") << m;
    }

    ASSERT_EQ(lpr_cgi_uninit(), 0);
    received.take();
    // The registry is empty after a stop: a new start subscribes nothing.
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_TRUE(received.take().empty());
    EXPECT_EQ(lpr_cgi_uninit(), 0);

    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status)) << "main server stand-in exited with " << status;
}
