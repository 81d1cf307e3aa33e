// Start-up and shutdown of the library with a real settings database and the real
// bus client: order of the steps as the log shows it, what each failure leaves, the
// registry across a stop, and bus subscriptions made at start-up.
#include <gtest/gtest.h>
#include <zmq.h>

#include <algorithm>
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
#include "library_call.h"
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

int32_t ping() {
    return lpr_test::get("ping").rc;
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
    EXPECT_EQ(lpr_test::get("ping").code, 200);  // registered before start-up, dispatched after
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
    char listing[8];
    EXPECT_EQ(lpr_cgi_list_actions(listing, sizeof listing), 0);
    EXPECT_STREQ(listing, "[]");
    EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_ENOTINIT);
    EXPECT_EQ(cached_device_id(), "first");  // the cache outlives a stop

    EXPECT_TRUE(logged([&] { rc = lpr_cgi_uninit(); }).empty());  // a second stop: nothing

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

// What each failure at start-up leaves: a missing database path and a bus client that
// cannot bind are logged and start-up goes on; a database that cannot initialise stops
// it, with nothing loaded, and a later start-up repeats every step.
TEST(Startup, failures_are_logged_and_only_the_database_stops_start_up) {
    lpr_test::TempDir scratch;
    SettingsDb db("cam");
    // The bus client finds no folder for its socket; the line carries the client's text.
    const std::string busFailed = cgi_line(
        std::string("ZMQ init failed: ") + lpr_zmq_strerror(LPR_ZMQ_EENDPOINT), "lpr_cgi_init", 78);
    const struct {
        const char* name;
        const char* path;
        const char* env;  // NAME=VALUE for the start-up, or null
        int32_t rc;
        std::vector<std::string> lines;
        const char* cached;
    } rows[] = {
        {"null path", nullptr, nullptr, 0, {cgi_line("initialized", "lpr_cgi_init", 85)}, ""},
        {"bus client cannot bind",
         db.path.c_str(),
         "LPR_ZMQ_IPC_DIR",
         0,
         {loaded_line(db.path), busFailed, cgi_line("initialized", "lpr_cgi_init", 85)},
         "cam"},
        // SQLite cannot work without a folder for its temporary files.
        {"database does not initialise",
         db.path.c_str(),
         "SQLITE_TMPDIR",
         -1,
         {cgi_line("Database init failed", "lpr_cgi_init", 63)},
         ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lpr::LprCgiCache::get_instance().set_lpr_advanced(lpr_advanced_t{});
        ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);
        int32_t rc = 1;
        std::vector<std::string> lines;
        {
            std::unique_ptr<lpr_test::ScopedEnv> env;
            if (row.env != nullptr) {
                env = std::make_unique<lpr_test::ScopedEnv>(row.env, scratch.file("gone"));
            }
            lines = logged([&] { rc = lpr_cgi_init(row.path); });
        }
        EXPECT_EQ(rc, row.rc);
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(cached_device_id(), row.cached);
        EXPECT_EQ(ping(), row.rc == 0 ? 0 : -1);
        if (row.env != nullptr) {
            // The bus client did not start: publishing fails harmlessly.
            EXPECT_EQ(lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1), LPR_ZMQ_ENOTINIT);
        }
        lines = logged([&] { rc = lpr_cgi_uninit(); });
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(lines.size(), row.rc == 0 ? 1u : 0u);
    }
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

// The main server's publisher, played by a plain ZeroMQ socket: topic, a header naming the
// source, payload.
void publish_as(void* pub, uint16_t source, const std::string& topic, const std::string& payload) {
    const std::string header = {
        'L', 'B', 1, 0, static_cast<char>(source & 0xff), static_cast<char>(source >> 8), 0, 0};
    zmq_send(pub, topic.data(), topic.size(), ZMQ_SNDMORE);
    zmq_send(pub, header.data(), header.size(), ZMQ_SNDMORE);
    zmq_send(pub, payload.data(), payload.size(), 0);
}

}  // namespace

TEST(Startup, registered_topics_are_subscribed_at_start_and_dropped_at_stop) {
    Received received;
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, &received), 0);
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.b", on_message, &received), 0);
    EXPECT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, &received), -1);
    EXPECT_EQ(lpr_cgi_ws_sub_add(nullptr, on_message, &received), -1);
    void* ctx = zmq_ctx_new();
    void* pub = zmq_socket(ctx, ZMQ_PUB);
    ASSERT_EQ(zmq_bind(pub, lpr_test::resolve_endpoint(LPR_BUS_ENDPOINT_MAIN).c_str()), 0);
    // Publishes a round until fn says the round's messages arrived or time is up.
    auto rounds = [&](const std::function<bool(const std::vector<std::string>&)>& done) {
        std::vector<std::string> all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done(all) && std::chrono::steady_clock::now() < deadline) {
            publish_as(pub, 7, "event.a", "A");
            publish_as(pub, 7, "event.b", "B");
            publish_as(pub, 7, "event.c", "C");
            publish_as(pub, 2, "event.a", "own");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            for (std::string& m : received.take()) {
                all.push_back(m);
            }
        }
        return all;
    };
    auto has = [](const std::vector<std::string>& all, const char* m) {
        return std::find(all.begin(), all.end(), m) != all.end();
    };
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    for (const std::string& m : rounds([&](const std::vector<std::string>& all) {
             return has(all, "event.a=A") && has(all, "event.b=B");
         })) {
        // Only the registered topics, and nothing sent with the web server's own source.
        EXPECT_TRUE(m == "event.a=A" || m == "event.b=B") << m;
    }
    ASSERT_EQ(lpr_cgi_uninit(), 0);
    // The registry is empty after a stop: a new start subscribes nothing.
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    const auto quiet = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
    EXPECT_TRUE(rounds([&](const std::vector<std::string>&) {
                    return std::chrono::steady_clock::now() > quiet;
                }).empty());
    EXPECT_EQ(lpr_cgi_uninit(), 0);
    zmq_close(pub);
    zmq_ctx_term(ctx);
}
