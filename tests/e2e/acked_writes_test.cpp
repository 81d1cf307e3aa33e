/*
 * A 200 means stored: the real lpr-webd and lpr-settingsd on a temporary database, a free
 * port and the test's private ipc folder. A write is answered 200 only once the database
 * holds it, an outage gets the documented 503 within the bound and the database catches up
 * afterwards, bursts and overlapping writers end with the database equal to what the web
 * server serves, a killed daemon loses nothing that got 200, and a start-up that could only
 * serve zeros or lose writes is refused.
 */
#include <cjson/cJSON.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LPR_E2E_SLOW 1
#endif
/* Instrumented or emulated programs answer a request 10 to 50 times slower; the bursts
 * shrink there, the properties checked stay the same. */
const bool kSlowPrograms = std::string(LPR_TOOL_EMULATOR).size() > 0
#ifdef LPR_E2E_SLOW
                           || true
#endif
    ;
const int kScale = kSlowPrograms ? 10 : 1;
/* --ack-timeout where a test expects 200s: it checks what is stored, not how fast, and two
 * busy cores (or an emulator) may hold a commit up for seconds. */
const char* const kPatientAck = kSlowPrograms ? "30000" : "10000";

const std::string kOk = R"({"code":200,"msg":"OK"})";
const std::string kNotStored = "Change is live in the web server but not stored: ";

using tools::CJsonPtr;

/* A camera with users, its daemon and its web server (extra: lpr-webd options). */
void start_camera(Camera& cam, const std::vector<std::string>& extra = {}) {
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd(extra));
}

HttpClient& admin(HttpClient& client) {
    client.set_credentials(kAdmin.user, kAdmin.password);
    return client;
}

/* count admin clients. */
std::vector<std::unique_ptr<HttpClient>> admins(int count) {
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<HttpClient>());
        admin(*clients.back());
    }
    return clients;
}

std::string member(const std::string& doc, const char* key) {
    CJsonPtr root(cJSON_Parse(doc.c_str()));
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root.get(), key);
    if (cJSON_IsString(item)) {
        return item->valuestring;
    }
    return cJSON_IsNumber(item) ? std::to_string(item->valueint) : "(none)";
}

void set_user_version(const std::string& db, int version) {
    sqlite3* conn = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    const std::string sql = "PRAGMA user_version = " + std::to_string(version);
    EXPECT_EQ(sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(conn);
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
    ASSERT_NO_FATAL_FAILURE(start_camera(cam, {"--ack-timeout", kPatientAck}));
    HttpClient client;
    const struct {
        const char* action;
        const char* body;
        const char* key;
        const char* value;
    } cases[] = {
        {"set_lpr_advanced", R"({"osdFontSize":4})", "lpr_advanced.osd_font_size", "4"},
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
}

TEST(AckedWrites, OutagesGet503WithinTheBoundAndTheDatabaseCatchesUp) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(start_camera(cam, {"--ack-timeout", "500"}));
    HttpClient client;
    const struct {
        const char* what;
        bool readOnly;  // the daemon is started on a read-only database, and refuses it
    } outages[] = {{"daemon stopped", false}, {"database read-only", true}};
    int size = 2;  // the default osdFontSize
    for (const auto& outage : outages) {
        SCOPED_TRACE(outage.what);
        if (outage.readOnly && !read_only_folders_work()) {
            std::cout << "[ skipped  ] " << outage.what << ": no read-only folders here\n";
            continue;
        }
        EXPECT_EQ(cam.stop_settingsd(), 0);
        if (outage.readOnly) {
            Process refused(cam.settingsd_argv(), cam.file("refused.log"), {{}, cam.dir()});
            EXPECT_EQ(refused.wait(milliseconds(10000)), 1);
            EXPECT_NE(
                refused.log().find("settingsd: cannot write settings database " + cam.db_path() +
                                   ": the file or its file system is read-only"),
                std::string::npos)
                << refused.log();
        }
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

/* Write n of client c: each client owns one member, and a later write of a client carries
 * a higher n. Clients 0 to 2 own the URL of one HTTP destination, client 3 the overlay's
 * position name. */
const char* burst_path(int c) {
    return c == 3 ? "/api/v1/set_lpr_advanced" : "/api/v1/set_vehicle_count";
}
std::string burst_body(int c, int n) {
    if (c == 3) {
        return R"({"osdPositionName":"3-)" + std::to_string(n) + "\"}";
    }
    std::string list;
    for (int slot = 0; slot < c; ++slot) {
        list += "{},";
    }
    return R"({"httpList":[)" + list + R"({"url":")" + std::to_string(c) + "-" + std::to_string(n) +
           "\"}]}";
}
/* The n of client c's member in the database. */
int stored_n(const std::string& db, int c) {
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    if (!read_record(db, &adv) || !read_record(db, &vcs)) {
        return -1;
    }
    const char* text = c == 3 ? adv.osd_position : vcs.postSetting.url[c];
    int owner = -1;
    int n = 0;  // no write of this client stored yet
    return std::sscanf(text, "%d-%d", &owner, &n) == 2 && owner == c ? n : 0;
}

/* What the web server serves, read twice: before and after a restart, which loads the
 * cache from the database. Equal documents mean the database held what was served. */
void expect_database_as_served(Camera& cam) {
    HttpClient client;
    const char* reads[] = {"/api/v1/get_lpr_advanced", "/api/v1/get_vehicle_count"};
    std::vector<std::string> served;
    for (const char* path : reads) {
        served.push_back(admin(client).get(cam.url(path)).body);
    }
    EXPECT_EQ(cam.stop_webd(), 0);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    HttpClient again;
    for (size_t i = 0; i < served.size(); ++i) {
        EXPECT_EQ(admin(again).get(cam.url(reads[i])).body, served[i]) << reads[i];
    }
}

TEST(AckedWrites, BurstFromFourClientsIsStoredAsServed) {
    // A commit waits for the disk (about 20 ms on this machine's virtual disk), and each
    // client waits for its commit: on memory the burst measures the programs, not the disk.
    Camera cam(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "");
    ASSERT_NO_FATAL_FAILURE(start_camera(cam, {"--ack-timeout", kPatientAck}));
    constexpr int kClients = 4;
    const int kEach = 2500 / kScale;
    std::vector<int> lastOk(kClients, 0);
    std::vector<int> refused(kClients, 0);
    const auto clients = admins(kClients);
    const auto begin = steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            for (int n = 1; n <= kEach; ++n) {
                HttpReply reply = clients[c]->post(cam.url(burst_path(c)), burst_body(c, n));
                EXPECT_EQ(reply.status, 200) << reply.body << reply.error;
                if (reply.status == 200) {
                    lastOk[c] = n;
                } else {
                    ++refused[c];
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
    std::cout << "[ measured ] " << kClients * kEach << " writes from " << kClients
              << " clients in " << took.count() << " ms\n";
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    for (int c = 0; c < kClients; ++c) {
        SCOPED_TRACE("client " + std::to_string(c));
        EXPECT_EQ(refused[c], 0) << "a burst the daemon keeps up with gets 200 throughout";
        EXPECT_GE(stored_n(cam.db_path(), c), lastOk[c]);
    }
    ASSERT_NO_FATAL_FAILURE(expect_database_as_served(cam));
}

TEST(AckedWrites, OverlappingAdvancedWritersLeaveTheDatabaseAsServed) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(start_camera(
        cam, {"--ack-timeout", kPatientAck, "--max-per-ip", "16"}));  // eight writers and a reader
    constexpr int kWriters = 8;
    const int kRounds = 100 / kScale;
    const auto clients = admins(kWriters);
    HttpClient reader;
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    int disagreements = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::promise<void> release;
        std::shared_future<void> go = release.get_future().share();
        std::vector<std::thread> writers;
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                char body[160];
                std::snprintf(body, sizeof body,
                              R"({"osdDeviceId":"w%d-r%d","snapDeviceId":"w%d-r%d",)"
                              R"("osdFontSize":%d,"osdPosition":%d})",
                              w, round, w, round, w % 6, w % 5);
                go.wait();
                HttpReply reply = clients[w]->post(cam.url("/api/v1/set_lpr_advanced"), body);
                EXPECT_EQ(reply.status, 200) << reply.body;
            });
        }
        release.set_value();
        for (std::thread& t : writers) {
            t.join();
        }
        const std::string doc = admin(reader).get(cam.url("/api/v1/get_lpr_advanced")).body;
        lpr_advanced_t adv;
        ASSERT_TRUE(read_record(cam.db_path(), &adv));
        const std::string served = member(doc, "osdDeviceId") + " " + member(doc, "snapDeviceId") +
                                   " " + member(doc, "osdFontSize") + " " +
                                   member(doc, "osdPosition");
        const std::string stored = std::string(adv.osd_device_id) + " " + adv.snap_device_id + " " +
                                   std::to_string(adv.osd_font_size) + " " +
                                   std::to_string(adv.osd_show_pos);
        if (served != stored) {
            ++disagreements;
            ADD_FAILURE() << "round " << round << ": serves " << served << ", stored " << stored;
        }
    }
    EXPECT_EQ(disagreements, 0);
}

TEST(AckedWrites, KillingTheDaemonDuringAWriteStormLosesNothingThatGot200) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(start_camera(cam, {"--ack-timeout", "500"}));
    std::mt19937 random(std::random_device{}());
    constexpr int kClients = 3;
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::atomic<bool> storming{true};
        std::atomic<int> lastOk[kClients]{};
        std::vector<int> lastSent(kClients, 0);
        const auto clients = admins(kClients);
        std::vector<std::thread> threads;
        for (int c = 0; c < kClients; ++c) {
            threads.emplace_back([&, c] {
                for (int n = 1000 * (round + 1); storming; ++n) {
                    lastSent[c] = n;
                    if (clients[c]->post(cam.url(burst_path(c)), burst_body(c, n)).status == 200) {
                        lastOk[c] = n;
                    }
                }
            });
        }
        // Kill at a random moment once every client has had a 200.
        const auto firstOk = steady_clock::now() + milliseconds(10000);
        while (std::any_of(lastOk, lastOk + kClients, [](const auto& n) { return n == 0; }) &&
               steady_clock::now() < firstOk) {
            std::this_thread::sleep_for(milliseconds(10));
        }
        std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<>(0, 500)(random)));
        cam.settingsd()->kill_now();
        std::this_thread::sleep_for(milliseconds(300));
        storming = false;
        for (std::thread& t : threads) {
            t.join();
        }
        // Every 200 came after a commit that the kill cannot undo; the journal a killed commit
        // leaves is rolled back by the read.
        for (int c = 0; c < kClients; ++c) {
            EXPECT_GT(lastOk[c], 0) << "client " << c << ": no write got 200 before the kill";
            EXPECT_GE(stored_n(cam.db_path(), c), lastOk[c]) << "client " << c;
        }
        // Back again, the daemon receives what the web server holds.
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        for (int c = 0; c < kClients; ++c) {
            const auto deadline = steady_clock::now() + milliseconds(10000);
            while (stored_n(cam.db_path(), c) != lastSent[c] && steady_clock::now() < deadline) {
                std::this_thread::sleep_for(milliseconds(50));
            }
            EXPECT_EQ(stored_n(cam.db_path(), c), lastSent[c]) << "client " << c;
        }
    }
}

TEST(AckedWrites, StartUpRefusesWhatItCannotServe) {
    const struct {
        const char* what;
        std::function<void(Camera&)> prepare;
        bool daemon;  // the case starts lpr-settingsd, else a second lpr-webd
        std::function<ChildSetup(Camera&)> setup;
        std::function<std::string(Camera&)> message;
    } cases[] = {
        {"unreadable database", [](Camera& cam) { set_user_version(cam.db_path(), 2); }, false,
         [](Camera&) { return ChildSetup{}; },
         [](Camera& cam) {
             return "lpr-webd: cannot serve: cannot read the settings database " + cam.db_path() +
                    " within 1 s: qzdb: " + cam.db_path() + " has schema version 2, not 1";
         }},
        {"hot journal", [](Camera& cam) { make_hot_journal(cam.db_path()); }, false,
         [](Camera&) { return ChildSetup{}; },
         [](Camera& cam) {
             return "lpr-webd: cannot serve: cannot read the settings database " + cam.db_path() +
                    " within 1 s: it holds a hot journal (a write was interrupted) that only the "
                    "settings daemon may roll back; start lpr-settingsd";
         }},
        {"endpoint taken", [](Camera& cam) { start_camera(cam); }, false,
         [](Camera&) { return ChildSetup{}; },
         [](Camera&) {
             return std::string(
                        "lpr-webd: cannot serve: the settings library's bus client did "
                        "not start: another process publishes on the endpoint (") +
                    lpr_test::resolve_endpoint(LPR_BUS_ENDPOINT_WEBSERVER) +
                    ": another process publishes here); is another lpr-webd running on the same "
                    "LPR_ZMQ_IPC_DIR?";
         }},
        {"missing ipc folder", [](Camera&) {}, false,
         [](Camera& cam) {
             return ChildSetup{{"LPR_ZMQ_IPC_DIR=" + cam.file("none")}, ""};
         },
         [](Camera& cam) {
             return "lpr-webd: cannot serve: the settings library's bus client did not start: "
                    "endpoint not usable (no folder for the socket " +
                    cam.file("none") + std::strrchr(LPR_BUS_ENDPOINT_WEBSERVER, '/') + ")";
         }},
        {"read-only database", [](Camera&) {}, true,
         [](Camera& cam) {
             return ChildSetup{{}, cam.dir()};
         },
         [](Camera& cam) {
             return "settingsd: cannot write settings database " + cam.db_path() +
                    ": the file or its file system is read-only";
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Camera cam;
        const ChildSetup setup = c.setup(cam);
        if (!setup.readOnlyDir.empty() && !read_only_folders_work()) {
            std::cout << "[ skipped  ] " << c.what << ": no read-only folders here\n";
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_EQ(Database::create_default(cam.db_path().c_str()), 0);
        ASSERT_NO_FATAL_FAILURE(c.prepare(cam));
        Process program(c.daemon ? cam.settingsd_argv() : cam.webd_argv({"--db-wait", "1"}),
                        cam.file("refused.log"), setup);
        EXPECT_EQ(program.wait(milliseconds(15000)), 1);
        const std::string log = program.log();
        EXPECT_NE(log.find(c.message(cam) + "\n"), std::string::npos) << log;
        EXPECT_EQ(log.find("listening on"), std::string::npos) << log;
        EXPECT_EQ(log.find("settingsd: ready"), std::string::npos) << log;
    }
}

TEST(AckedWrites, WebServerWaitsForAReadableDatabaseAndNeverServesZeros) {
    const struct {
        const char* what;
        std::function<void(Camera&)> spoil;
        std::function<void(Camera&)> repair;  // the daemon runs after it
    } cases[] = {
        {"schema version 2, then 1", [](Camera& cam) { set_user_version(cam.db_path(), 2); },
         [](Camera& cam) {
             set_user_version(cam.db_path(), 1);
             cam.start_settingsd();
         }},
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
