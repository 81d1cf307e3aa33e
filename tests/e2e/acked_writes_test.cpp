/*
 * A 200 means stored, end to end: the real lpr-webd and lpr-settingsd on temporary databases
 * (writes, bursts, overlapping writers, outages, a killed daemon, start-up refusals).
 */
#include <cjson/cJSON.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <thread>

#include "Database.h"
#include "e2e_support.h"
#include "json_tree.h"
#include "lpr_bus_topics.h"
#include "lpr_defs.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

/* Instrumented or emulated programs answer 10 to 50 times slower: the bursts shrink there,
 * and --ack-timeout where 200s are expected is patient (two busy cores may hold a commit up
 * for seconds); the properties checked stay the same. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSlowPrograms = true;
#else
const bool kSlowPrograms = std::string(LPR_TOOL_EMULATOR).size() > 0;
#endif
const int kScale = kSlowPrograms ? 10 : 1;
const char* const kPatientAck = kSlowPrograms ? "30000" : "10000";
const std::string kOk = R"(200 {"code":200,"msg":"OK"})";

struct AdminClient : HttpClient {
    AdminClient() { set_credentials(kAdmin.user, kAdmin.password); }
};

std::string status_body(const HttpReply& reply) {
    return std::to_string(reply.status) + " " + reply.body;
}

void start_camera(Camera& cam, const std::vector<std::string>& extra = {}) {
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd(extra));
}

std::string member(const std::string& doc, const char* key) {
    tools::CJsonPtr root(cJSON_Parse(doc.c_str()));
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    if (cJSON_IsString(item)) {
        return item->valuestring;
    }
    return cJSON_IsNumber(item) ? std::to_string(item->valueint) : "(none)";
}

/* Runs fn(0) to fn(n - 1) on n threads released at once; returns when all have ended. */
void parallel(int n, const std::function<void(int)>& fn) {
    std::promise<void> release;
    std::shared_future<void> go = release.get_future().share();
    std::vector<std::future<void>> runs;
    for (int i = 0; i < n; ++i) {
        runs.push_back(std::async(std::launch::async, [&, i] {
            go.wait();
            fn(i);
        }));
    }
    release.set_value();
}

/* Write n of client c: clients 0 to 2 own the URL of HTTP destination c, client 3 the
 * overlay's position name; a later write of a client carries a higher n. */
HttpReply burst_post(HttpClient& client, const Camera& cam, int c, int n) {
    const std::string text = std::to_string(c) + "-" + std::to_string(n);
    const char* before[] = {"", "{},", "{},{},"};  // the destinations before c's
    return c == 3 ? client.post(cam.url("/api/v1/set_lpr_advanced"),
                                R"({"osdPositionName":")" + text + "\"}")
                  : client.post(cam.url("/api/v1/set_vehicle_count"),
                                R"({"httpList":[)" + std::string(before[c]) + R"({"url":")" + text +
                                    "\"}]}");
}
/* The n of client c's member in the database; 0 before its first write is stored. */
int stored_n(const std::string& db, int c) {
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    if (!read_record(db, &adv) || !read_record(db, &vcs)) {
        return -1;
    }
    int owner = -1, n = 0;
    const char* text = c == 3 ? adv.osd_position : vcs.postSetting.url[c];
    return std::sscanf(text, "%d-%d", &owner, &n) == 2 && owner == c ? n : 0;
}

TEST(AckedWrites, A200ComesOnceStoredAndBurstsAndOverlappingWritersEndAsServed) {
    // A commit waits for the disk (about 20 ms on this machine's virtual disk), and each
    // client waits for its commit: on memory the burst measures the programs, not the disk.
    Camera cam(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    ASSERT_NO_FATAL_FAILURE(
        start_camera(cam, {"--ack-timeout", kPatientAck, "--max-per-ip", "16"}));
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    AdminClient client;
    const struct {
        const char *action, *body, *key, *value;
    } writes[] = {
        {"set_lpr_advanced", R"({"osdFontSize":4})", "lpr_advanced.osd_font_size", "4"},
        {"set_lpr_advanced", R"({"osdPositionName":"Gate 7"})", "lpr_advanced.osd_position",
         "Gate 7"},
        {"set_vehicle_count", R"({"cameraPort":8081})", "vehicle_post.cameraPort", "8081"},
        {"set_vehicle_count", R"({"httpList":[{},{"url":"http://b.example/"}]})",
         "vehicle_post_http[1].url", "http://b.example/"},
    };
    for (const auto& w : writes) {
        EXPECT_EQ(status_body(client.post(cam.url(std::string("/api/v1/") + w.action), w.body)),
                  kOk);
        EXPECT_EQ(settings_db_get(cam.db_path(), w.key), w.value) << "read right after the 200";
    }

    // Eight overlapping advanced writers: after each round the database holds what is served.
    std::vector<AdminClient> clients(8);
    for (int round = 0; round < 100 / kScale; ++round) {
        parallel(8, [&](int w) {
            char body[160];
            std::snprintf(body, sizeof body,
                          R"({"osdDeviceId":"w%d-r%d","snapDeviceId":"w%d-r%d",)"
                          R"("osdFontSize":%d,"osdPosition":%d})",
                          w, round, w, round, w % 6, w % 5);
            EXPECT_EQ(clients[w].post(cam.url("/api/v1/set_lpr_advanced"), body).status, 200);
        });
        const std::string doc = client.get(cam.url("/api/v1/get_lpr_advanced")).body;
        lpr_advanced_t adv;
        ASSERT_TRUE(read_record(cam.db_path(), &adv));
        std::string served;
        for (const char* key : {"osdDeviceId", "snapDeviceId", "osdFontSize", "osdPosition"}) {
            served += member(doc, key) + " ";
        }
        EXPECT_EQ(served, std::string(adv.osd_device_id) + " " + adv.snap_device_id + " " +
                              std::to_string(adv.osd_font_size) + " " +
                              std::to_string(adv.osd_show_pos) + " ")
            << "round " << round;
    }

    // A burst of 10,000 writes from four clients, every one answered 200 and stored.
    const int kEach = 2500 / kScale;
    std::vector<int> lastOk(4, 0);
    const auto begin = steady_clock::now();
    parallel(4, [&](int c) {
        for (int n = 1; n <= kEach; ++n) {
            HttpReply reply = burst_post(clients[c], cam, c, n);
            EXPECT_EQ(reply.status, 200) << reply.body << reply.error;
            lastOk[c] = reply.status == 200 ? n : lastOk[c];
        }
    });
    std::cout << "[ measured ] " << 4 * kEach << " writes from 4 clients in "
              << std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin).count()
              << " ms\n";
    for (int c = 0; c < 4; ++c) {
        EXPECT_GE(stored_n(cam.db_path(), c), lastOk[c]) << "client " << c;
    }
    // A restarted web server loads its cache from the database: the same documents mean the
    // database held what was served.
    const auto served = [&cam] {
        AdminClient reader;
        return reader.get(cam.url("/api/v1/get_lpr_advanced")).body +
               reader.get(cam.url("/api/v1/get_vehicle_count")).body;
    };
    const std::string before = served();
    EXPECT_EQ(cam.stop_webd(), 0);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    EXPECT_EQ(served(), before);
}

TEST(AckedWrites, OutagesGet503WithinTheBoundAndAKilledDaemonLosesNothingThatGot200) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(start_camera(cam, {"--ack-timeout", "500"}));
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    AdminClient client;
    int size = 2;  // the default osdFontSize
    for (bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly ? "database read-only" : "daemon stopped");
        if (readOnly && !read_only_folders_work()) {
            std::cout << "[ skipped  ] read-only database: no read-only folders here\n";
            continue;
        }
        EXPECT_EQ(cam.stop_settingsd(), 0);
        if (readOnly) {  // a daemon on a read-only database refuses to start
            Process refused(cam.settingsd_argv(), cam.file("refused.log"), {{}, cam.dir()});
            EXPECT_EQ(refused.wait(milliseconds(10000)), 1);
            EXPECT_NE(
                refused.log().find("settingsd: cannot write settings database " + cam.db_path() +
                                   ": the file or its file system is read-only\n"),
                std::string::npos)
                << refused.log();
            EXPECT_EQ(refused.log().find("settingsd: ready"), std::string::npos);
        }
        const std::string stored = std::to_string(size++);
        const auto begin = steady_clock::now();
        HttpReply reply = client.post(cam.url("/api/v1/set_lpr_advanced"),
                                      R"({"osdFontSize":)" + std::to_string(size) + "}");
        EXPECT_LT(steady_clock::now() - begin, milliseconds(500 + 2500)) << "--ack-timeout";
        EXPECT_EQ(status_body(reply),
                  R"(503 {"code":503,"msg":"Change is live in the web server but not stored: )"
                  R"(the settings daemon did not answer within 500 ms"})");
        EXPECT_EQ(member(client.get(cam.url("/api/v1/get_lpr_advanced")).body, "osdFontSize"),
                  std::to_string(size));
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"), stored);
        // Said once per outage, when the record first goes unstored.
        EXPECT_TRUE(cam.webd()->wait_for_log(
            "lpr-webd: the settings database is behind the web server's " LPR_BUS_TOPIC_ADVANCED
            " record (",
            milliseconds(5000), static_cast<size_t>(size - 2)))
            << cam.webd()->log();
        // The daemon back: the web server sends its record again and writes get 200 again.
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        EXPECT_TRUE(cam.webd()->wait_for_log(
            "lpr-webd: the settings database holds the web server's " LPR_BUS_TOPIC_ADVANCED
            " record again",
            milliseconds(10000), static_cast<size_t>(size - 2)))
            << cam.webd()->log();
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"),
                  std::to_string(size));
        EXPECT_EQ(client.post(cam.url("/api/v1/set_vehicle_count"), R"({"resetHour":5})").status,
                  200);
    }

    // SIGKILL at a random moment of a write storm, once every client has had a 200: every 200
    // came after a commit the kill cannot undo (the read rolls back a killed commit's
    // journal), and the restarted daemon receives what the web server holds.
    std::mt19937 random(std::random_device{}());
    std::vector<AdminClient> clients(3);
    std::vector<int> lastSent(3, 0);  // a client's n only grows
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::atomic<bool> storming{true};
        std::atomic<int> lastOk[3]{};
        parallel(4, [&](int c) {
            if (c == 3) {  // the killer
                eventually(milliseconds(10000),
                           [&] { return lastOk[0] && lastOk[1] && lastOk[2]; });
                std::this_thread::sleep_for(
                    milliseconds(std::uniform_int_distribution<>(0, 500)(random)));
                cam.settingsd()->kill_now();
                std::this_thread::sleep_for(milliseconds(300));
                storming = false;
                return;
            }
            for (int n = lastSent[c] + 1; storming; ++n) {
                lastSent[c] = n;
                lastOk[c] = burst_post(clients[c], cam, c, n).status == 200 ? n : lastOk[c].load();
            }
        });
        for (int c = 0; c < 3; ++c) {
            EXPECT_GT(lastOk[c], 0) << "client " << c << ": no write got 200 before the kill";
            EXPECT_GE(stored_n(cam.db_path(), c), lastOk[c]) << "client " << c;
        }
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        for (int c = 0; c < 3; ++c) {
            EXPECT_TRUE(eventually(milliseconds(10000),
                                   [&] { return stored_n(cam.db_path(), c) == lastSent[c]; }))
                << "client " << c << " sent " << lastSent[c] << ", stored "
                << stored_n(cam.db_path(), c);
        }
    }
}

/* Runs sql on db. dying: as a writer that dies in the middle of its commit (a child process
 * writes the changed pages into the file, its journal synced first, and ends without
 * committing); the hot journal it leaves keeps readers out until a writer rolls it back. */
void run_sql(const std::string& db, const std::string& sql, bool dying) {
    if (dying && fork() != 0) {
        wait(nullptr);
        ASSERT_GT(read_file(db + "-journal").size(), 0u);
        return;
    }
    sqlite3* conn = nullptr;
    EXPECT_EQ(sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    if (dying) {
        sqlite3_db_cacheflush(conn);
        _exit(0);
    }
    sqlite3_close(conn);
}

/* A web server that could only serve zeros or lose writes does not start; one that waits
 * (--db-wait) for a readable database serves its records, never zeros. */
TEST(AckedWrites, WebServerRefusesWhatItCannotServeAndWaitsForAReadableDatabase) {
    const struct {
        const char *what, *spoil;        // SQL run on the database, by a dying writer when dying
        bool dying, taken, noIpcFolder;  // taken: a camera runs on the bus already
        const char *repair, *message;    // no repair: the start-up is not waited for
    } cases[] = {
        {"unreadable database", "PRAGMA user_version = 2", false, false, false,
         "PRAGMA user_version = 1",
         "cannot read the settings database {db} within 1 s: qzdb: {db} has schema version 2, "
         "not 1"},
        {"hot journal",
         "PRAGMA journal_mode = DELETE; BEGIN IMMEDIATE; UPDATE lpr_advanced SET osd_font_size = 5",
         true, false, false, "",
         "cannot read the settings database {db} within 1 s: it holds a hot journal (a write was "
         "interrupted) that only the settings daemon may roll back; start lpr-settingsd"},
        {"endpoint taken", "", false, true, false, nullptr,
         "the settings library's bus client did not start: another process publishes on the "
         "endpoint ({endpoint}: another process publishes here); is another lpr-webd running on "
         "the same LPR_ZMQ_IPC_DIR?"},
        {"missing ipc folder", "", false, false, true, nullptr,
         "the settings library's bus client did not start: endpoint not usable (no folder for "
         "the socket {none})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Camera cam;
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_EQ(Database::create_default(cam.db_path().c_str()), 0);
        ASSERT_NO_FATAL_FAILURE(run_sql(cam.db_path(), c.spoil, c.dying));
        if (c.taken) {
            ASSERT_NO_FATAL_FAILURE(start_camera(cam));
        }
        ChildSetup setup;
        if (c.noIpcFolder) {
            setup.env = {"LPR_ZMQ_IPC_DIR=" + cam.file("none")};
        }
        Process refused(cam.webd_argv({"--db-wait", "1"}), cam.file("refused.log"), setup);
        EXPECT_EQ(refused.wait(milliseconds(15000)), 1);
        std::string message = "lpr-webd: cannot serve: " + std::string(c.message) + "\n";
        for (const auto& [name, value] : std::map<std::string, std::string>{
                 {"{db}", cam.db_path()},
                 {"{endpoint}", lpr_test::resolve_endpoint(LPR_BUS_ENDPOINT_WEBSERVER)},
                 {"{none}", cam.file("none") + std::strrchr(LPR_BUS_ENDPOINT_WEBSERVER, '/')}}) {
            for (size_t at; (at = message.find(name)) != std::string::npos;) {
                message.replace(at, name.size(), value);
            }
        }
        EXPECT_NE(refused.log().find(message), std::string::npos) << refused.log();
        EXPECT_EQ(refused.log().find("listening on"), std::string::npos) << refused.log();
        if (!c.repair) {
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(cam.launch_webd({"--db-wait", "30", "--ack-timeout", kPatientAck}));
        ASSERT_TRUE(cam.webd()->wait_for_log("lpr-webd: cannot read the settings database",
                                             milliseconds(10000)))
            << cam.webd()->log();
        if (*c.repair) {
            ASSERT_NO_FATAL_FAILURE(run_sql(cam.db_path(), c.repair, false));
        }
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());  // rolls a hot journal back
        ASSERT_NO_FATAL_FAILURE(cam.wait_webd_listening());
        // The database's records, not zeros; and a write stores a whole, valid record.
        AdminClient client;
        const std::string doc = client.get(cam.url("/api/v1/get_lpr_advanced")).body;
        EXPECT_EQ(member(doc, "snapSort") + " " + member(doc, "osdFontSize"), "018 2") << doc;
        EXPECT_EQ(
            status_body(client.post(cam.url("/api/v1/set_lpr_advanced"), R"({"osdFontSize":3})")),
            kOk);
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.snap_sort"), "018");
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.snapshotQuality"), "80");
        EXPECT_EQ(settings_db_get(cam.db_path(), "lpr_advanced.osd_font_size"), "3");
    }
}

}  // namespace
}  // namespace e2e
