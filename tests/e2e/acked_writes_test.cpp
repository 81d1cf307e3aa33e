/*
 * A 200 means stored: the real lpr-webd and lpr-settingsd on a temporary database, a free
 * port and the test's private ipc folder. A write is answered 200 only once the database
 * holds it, overlapping writers leave the database as served, an outage gets the documented
 * 503 within the bound and the database catches up afterwards, a second web server on the bus is
 * refused, and a web server waits for a readable database rather than serve zeros.
 */
#include <cjson/cJSON.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "Database.h"
#include "e2e_support.h"
#include "json_tree.h"
#include "lpr_bus_topics.h"
#include "lpr_defs.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LPR_E2E_SLOW 1
#endif
/* Instrumented or emulated programs answer a request 10 to 50 times slower. */
const bool kSlowPrograms = std::string(LPR_TOOL_EMULATOR).size() > 0
#ifdef LPR_E2E_SLOW
                           || true
#endif
    ;
/* --ack-timeout where a test expects 200s: it checks what is stored, not how fast, and two
 * busy cores (or an emulator) may hold a commit up for seconds. */
const char* const kPatientAck = kSlowPrograms ? "30000" : "10000";

const std::string kOk = R"({"code":200,"msg":"OK"})";
const std::string kNotStored = "Change is live in the web server but not stored: ";

using tools::CJsonPtr;

HttpClient& admin(HttpClient& client) {
    client.set_credentials(kAdmin.user, kAdmin.password);
    return client;
}

std::string member(const std::string& doc, const char* key) {
    CJsonPtr root(cJSON_Parse(doc.c_str()));
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    if (cJSON_IsString(item)) {
        return item->valuestring;
    }
    return cJSON_IsNumber(item) ? std::to_string(item->valueint) : "(none)";
}

/* A writer that dies in the middle of a commit: a child process changes the advanced row,
 * writes the changed page into the database file (its journal synced first) and ends
 * without committing. The journal it leaves is hot: readers cannot read the file until a
 * writer rolls it back. */
void make_hot_journal(const std::string& db) {
    pid_t child = fork();
    if (child == 0) {
        sqlite3* conn = nullptr;
        bool ok = sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
                  sqlite3_exec(conn,
                               "PRAGMA journal_mode = DELETE; BEGIN IMMEDIATE;"
                               "UPDATE lpr_advanced SET osd_font_size = 5",
                               nullptr, nullptr, nullptr) == SQLITE_OK &&
                  sqlite3_db_cacheflush(conn) == SQLITE_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct stat st;
    ASSERT_EQ(stat((db + "-journal").c_str(), &st), 0);
    ASSERT_GT(st.st_size, 0);
}

TEST(AckedWrites, A200ComesOnlyOnceTheDatabaseHoldsTheWrite) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start({"--ack-timeout", kPatientAck}));
    HttpClient client;
    const struct {
        const char* action;
        const char* body;
        const char* key;
        const char* value;
    } cases[] = {
        {"set_lpr_advanced", R"({"osdPositionName":"Gate 7"})", "lpr_advanced.osd_position",
         "Gate 7"},
        {"set_vehicle_count", R"({"cameraPort":8081})", "vehicle_post.cameraPort", "8081"},
        {"set_vehicle_count", R"({"httpList":[{},{"url":"http://b.example/"}]})",
         "vehicle_post_http[1].url", "http://b.example/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        HttpReply reply = admin(client).post(cam.url(std::string("/api/v1/") + c.action), c.body);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, kOk);
        EXPECT_EQ(settings_db_get(cam.db_path(), c.key), c.value);  // read right after the 200
    }
    // A new web server loads what the daemon stored and serves the same bytes.
    const std::string served = client.get(cam.url("/api/v1/get_vehicle_count")).body;
    EXPECT_EQ(cam.stop_webd(), 0);
    EXPECT_NE(cam.webd()->log().find("lpr_cgi: uninitialized"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    HttpClient again;
    EXPECT_EQ(admin(again).get(cam.url("/api/v1/get_vehicle_count")).body, served);
}

TEST(AckedWrites, OverlappingWritersLeaveTheDatabaseAsServed) {
    // Eight writers of the advanced record released together, round after round: every write
    // gets 200, and after each round the database holds what the web server serves. (The
    // library holds no lock across a write's store and publish; without the web server's gate
    // two writes may store in one order and reach the daemon in the other.)
    Camera cam(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    ASSERT_NO_FATAL_FAILURE(cam.start({"--ack-timeout", kPatientAck, "--max-per-ip", "16"}));
    constexpr int kWriters = 8;
    const int kRounds = kSlowPrograms ? 20 : 100;
    std::vector<HttpClient> clients(kWriters);
    HttpClient reader;
    for (int round = 0; round < kRounds; ++round) {
        std::promise<void> release;
        std::shared_future<void> go = release.get_future().share();
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                char body[128];
                std::snprintf(
                    body, sizeof body,
                    R"({"osdDeviceId":"w%d-r%d","snapDeviceId":"w%d-r%d","osdFontSize":%d})", w,
                    round, w, round, w % 6);
                go.wait();
                HttpReply reply = admin(clients[w]).post(cam.url("/api/v1/set_lpr_advanced"), body);
                EXPECT_EQ(reply.status, 200) << reply.body;
            });
        }
        release.set_value();
        for (std::thread& t : writers) {
            t.join();
        }
        const std::string doc = admin(reader).get(cam.url("/api/v1/get_lpr_advanced")).body;
        lpr_advanced_t stored;
        ASSERT_TRUE(read_record(cam.db_path(), &stored));
        ASSERT_EQ(member(doc, "osdDeviceId") + " " + member(doc, "snapDeviceId") + " " +
                      member(doc, "osdFontSize"),
                  std::string(stored.osd_device_id) + " " + stored.snap_device_id + " " +
                      std::to_string(stored.osd_font_size))
            << "round " << round;
    }
}

TEST(AckedWrites, OutagesGet503WithinTheBoundAndTheDatabaseCatchesUp) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start({"--ack-timeout", "500"}));
    HttpClient client;
    int size = 2;                                  // the default osdFontSize
    for (int outage = 1; outage <= 2; ++outage) {  // and a second one after the first
        SCOPED_TRACE("outage " + std::to_string(outage));
        EXPECT_EQ(cam.stop_settingsd(), 0);
        const int stored = size++;
        const std::string body = R"({"osdFontSize":)" + std::to_string(size) + "}";
        const auto begin = steady_clock::now();
        HttpReply reply = admin(client).post(cam.url("/api/v1/set_lpr_advanced"), body);
        const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
        EXPECT_EQ(reply.status, 503);
        EXPECT_EQ(reply.body, R"({"code":503,"msg":")" + kNotStored +
                                  R"(the settings daemon did not answer within 500 ms"})");
        EXPECT_LT(took.count(), 500 + 2500) << "the bound is --ack-timeout";
        // Live in the web server, not on disk.
        EXPECT_EQ(member(client.get(cam.url("/api/v1/get_lpr_advanced")).body, "osdFontSize"),
                  std::to_string(size));
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"),
                  std::to_string(stored));

        // The daemon back: the web server sends its record again when it hears it, and
        // writes get 200 again.
        const size_t caughtUp = static_cast<size_t>(size - 2);
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        EXPECT_TRUE(cam.webd()->wait_for_log(
            "lpr-webd: the settings database holds the web server's " LPR_BUS_TOPIC_ADVANCED
            " record again",
            milliseconds(10000), caughtUp))
            << cam.webd()->log();
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"),
                  std::to_string(size));
        reply = admin(client).post(cam.url("/api/v1/set_vehicle_count"), R"({"resetHour":5})");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
}

TEST(AckedWrites, ASecondWebServerOnTheBusIsRefused) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start());
    Process second(cam.webd_argv(), cam.file("second.log"));
    EXPECT_EQ(second.wait(milliseconds(15000)), 1);
    const std::string log = second.log();
    EXPECT_NE(log.find("lpr-webd: cannot serve: the settings library's bus client did not start: "
                       "another process publishes on the endpoint (" +
                       lpr_test::resolve_endpoint(LPR_BUS_ENDPOINT_WEBSERVER) +
                       ": another process publishes here); is another lpr-webd running on the "
                       "same LPR_ZMQ_IPC_DIR?\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("listening on"), std::string::npos) << log;
}

TEST(AckedWrites, WebServerWaitsForAReadableDatabaseAndNeverServesZeros) {
    const struct {
        const char* what;
        std::function<void(Camera&)> spoil;
        std::function<void(Camera&)> repair;  // the daemon runs after it
    } cases[] = {
        {"hot journal, rolled back by the daemon",
         [](Camera& cam) { make_hot_journal(cam.db_path()); },
         [](Camera& cam) { cam.start_settingsd(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Camera cam;
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_EQ(Database::create_default(cam.db_path().c_str()), 0);
        ASSERT_NO_FATAL_FAILURE(c.spoil(cam));
        ASSERT_NO_FATAL_FAILURE(cam.launch_webd({"--db-wait", "30", "--ack-timeout", kPatientAck}));
        ASSERT_TRUE(cam.webd()->wait_for_log("lpr-webd: cannot read the settings database",
                                             milliseconds(10000)))
            << cam.webd()->log();
        ASSERT_NO_FATAL_FAILURE(c.repair(cam));
        ASSERT_NO_FATAL_FAILURE(cam.wait_webd_listening());
        // The database's records, not zeros; and a write stores a whole, valid record.
        HttpClient client;
        const std::string doc = admin(client).get(cam.url("/api/v1/get_lpr_advanced")).body;
        EXPECT_EQ(member(doc, "snapSort"), "018") << doc;
        EXPECT_EQ(member(doc, "osdFontSize"), "2") << doc;
        EXPECT_EQ(
            admin(client).post(cam.url("/api/v1/set_lpr_advanced"), R"({"osdFontSize":3})").body,
            kOk);
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.snap_sort"), "018");
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.snapshotQuality"), "80");
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"), "3");
    }
}

}  // namespace
}  // namespace e2e
