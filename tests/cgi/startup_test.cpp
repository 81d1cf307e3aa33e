// Start-up and shutdown of the library with a real settings database and the real bus
// client: the steps as the log shows them, what each failure leaves, the registry across
// a stop, and bus subscriptions made at start-up.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "library_call.h"
#include "lpr_cgi_internal.h"

namespace {

using Lines = std::vector<std::string>;

// The lines of lpr_cgi_uninit follow those of lpr_cgi_init in the file.
std::string cgi_line(const std::string& msg, int line) {
    const char* func = line > 90 ? "lpr_cgi_uninit" : "lpr_cgi_init";
    return "lpr_cgi: " + msg + "==func:" + func +
           " file:lib/src/cgi/lpr_cgi.cpp line:" + std::to_string(line);
}

std::string loaded_line(const std::string& path) {
    return "lpr_cgi_cache: loaded from " + path +
           "==func:load file:lib/src/cgi/lpr_cgi_cache.cpp line:59";
}

int32_t ok_handler(const LprCgiCtx*, LprCgiRespInternal* resp) {
    lpr::return_ok(resp);
    return 0;
}

// A settings database whose advanced record names the device id.
struct NamedDb : lpr_test::SettingsFile {
    explicit NamedDb(const std::string& id) {
        exec("UPDATE lpr_advanced SET snap_device_id = '" + id + "'");
    }
};

std::string cached_device_id() {
    return lpr_test::cached<lpr_advanced_t>().snap_device_id;
}

int publish_probe() {
    return lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "x", 1);
}

}  // namespace

TEST(Startup, starts_once_stops_once_and_reports_each_step) {
    NamedDb db("first"), other("second");
    ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);
    EXPECT_EQ(lpr_test::get("ping").rc, -1);
    const struct {
        const char* step;
        const char* path;  // start-up on path, or a stop when null
        Lines lines;
        const char* cachedId;
        int pingRc, pingCode, publish;
    } rows[] = {
        // clang-format off
        // Actions registered before start-up are dispatched after it.
        {"start", db.path.c_str(), {loaded_line(db.path), cgi_line("initialized", 85)}, "first",
         0, 200, LPR_ZMQ_OK},
        {"second start, another path", other.path.c_str(), {cgi_line("already initialized", 57)},
         "first", 0, 200, LPR_ZMQ_OK},
        // The cache outlives a stop.
        {"stop", nullptr, {cgi_line("uninitialized", 100)}, "first", -1, 0, LPR_ZMQ_ENOTINIT},
        {"second stop", nullptr, {}, "first", -1, 0, LPR_ZMQ_ENOTINIT},
        // A new start repeats every step; actions must be registered again.
        {"new start", other.path.c_str(), {loaded_line(other.path), cgi_line("initialized", 85)},
         "second", 1, 0, LPR_ZMQ_OK},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.step);
        int32_t rc = 1;
        EXPECT_EQ(lpr_test::logged([&] {
                      rc = row.path != nullptr ? lpr_cgi_init(row.path) : lpr_cgi_uninit();
                  }),
                  row.lines);
        EXPECT_EQ(rc, 0);
        // Once the cache is loaded the library has shut SQLite down again, so the host may
        // configure it (sqlite3_config refuses while SQLite is initialised).
        EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_LOG, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(cached_device_id(), row.cachedId);
        const lpr_test::Reply ping = lpr_test::get("ping");
        EXPECT_EQ(ping.rc, row.pingRc);
        EXPECT_EQ(ping.code, row.pingCode);
        EXPECT_EQ(publish_probe(), row.publish);
        if (row.pingRc == -1) {
            char listing[8];
            EXPECT_EQ(lpr_cgi_list_actions(listing, sizeof listing), 0);
            EXPECT_STREQ(listing, "[]");
        }
    }
    EXPECT_EQ(lpr_cgi_uninit(), 0);
}

// A missing database path and a bus client that cannot bind are logged and start-up goes
// on; a database that cannot initialise stops it, with nothing loaded, and a later
// start-up repeats every step.
TEST(Startup, failures_are_logged_and_only_the_database_stops_start_up) {
    lpr_test::TempDir scratch;
    NamedDb db("cam");
    const std::string busFailed =
        cgi_line(std::string("ZMQ init failed: ") + lpr_zmq_strerror(LPR_ZMQ_EENDPOINT), 78);
    const struct {
        const char* name;
        const char* path;
        const char* env;  // set to a missing folder for the start-up, or null
        int32_t rc;
        Lines lines;
        const char* cached;
    } rows[] = {
        // clang-format off
        {"null path", nullptr, nullptr, 0, {cgi_line("initialized", 85)}, ""},
        // The bus client finds no folder for its socket; the line carries its text.
        {"bus client cannot bind", db.path.c_str(), "LPR_ZMQ_IPC_DIR", 0,
         {loaded_line(db.path), busFailed, cgi_line("initialized", 85)}, "cam"},
        // SQLite cannot work without a folder for its temporary files.
        {"database does not initialise", db.path.c_str(), "SQLITE_TMPDIR", -1,
         {cgi_line("Database init failed", 63)}, ""},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lpr_test::put_cached(lpr_advanced_t{});
        ASSERT_EQ(lpr_cgi_register_action("ping", ok_handler, 1, 1), 0);
        int32_t rc = 1;
        {
            std::unique_ptr<lpr_test::ScopedEnv> env;
            if (row.env != nullptr) {
                env = std::make_unique<lpr_test::ScopedEnv>(row.env, scratch.file("gone"));
            }
            EXPECT_EQ(lpr_test::logged([&] { rc = lpr_cgi_init(row.path); }), row.lines);
        }
        EXPECT_EQ(rc, row.rc);
        EXPECT_EQ(cached_device_id(), row.cached);
        EXPECT_EQ(lpr_test::get("ping").rc, row.rc == 0 ? 0 : -1);
        if (row.env != nullptr) {  // the bus client did not start: publishing fails harmlessly
            EXPECT_EQ(publish_probe(), LPR_ZMQ_ENOTINIT);
        }
        EXPECT_EQ(lpr_test::logged([&] { rc = lpr_cgi_uninit(); }).size(), row.rc == 0 ? 1u : 0u);
        EXPECT_EQ(rc, 0);
    }
}

namespace {

std::mutex g_mutex;
std::vector<std::string> g_received;  // "topic=payload"

void on_message(const char* topic, const void* data, size_t len, void*) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_received.push_back(std::string(topic) + "=" +
                         std::string(static_cast<const char*>(data), len));
}

}  // namespace

TEST(Startup, registered_topics_are_subscribed_at_start_and_dropped_at_stop) {
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, nullptr), 0);
    ASSERT_EQ(lpr_cgi_ws_sub_add("event.b", on_message, nullptr), 0);
    EXPECT_EQ(lpr_cgi_ws_sub_add("event.a", on_message, nullptr), -1);
    EXPECT_EQ(lpr_cgi_ws_sub_add(nullptr, on_message, nullptr), -1);
    // The main server's publisher: topic, a header naming the source, payload.
    zmq::context_t ctx;
    zmq::socket_t pub(ctx, zmq::socket_type::pub);
    pub.bind(lpr_test::resolve_endpoint(LPR_BUS_ENDPOINT_MAIN));
    auto publish_as = [&](char source, const std::string& topic, const std::string& payload) {
        pub.send(zmq::buffer(topic), zmq::send_flags::sndmore);
        pub.send(zmq::buffer(std::string{'L', 'B', 1, 0, source, 0, 0, 0}),
                 zmq::send_flags::sndmore);
        pub.send(zmq::buffer(payload));
    };
    // Publishes rounds until done says the messages arrived or time is up.
    auto rounds = [&](const std::function<bool(const std::vector<std::string>&)>& done) {
        std::vector<std::string> all;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done(all) && std::chrono::steady_clock::now() < deadline) {
            publish_as(7, "event.a", "A");
            publish_as(7, "event.b", "B");
            publish_as(7, "event.c", "C");
            publish_as(2, "event.a", "own");
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::lock_guard<std::mutex> guard(g_mutex);
            all.insert(all.end(), g_received.begin(), g_received.end());
            g_received.clear();
        }
        return all;
    };
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    for (const std::string& m : rounds([](const std::vector<std::string>& all) {
             return std::count(all.begin(), all.end(), "event.a=A") > 0 &&
                    std::count(all.begin(), all.end(), "event.b=B") > 0;
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
}
