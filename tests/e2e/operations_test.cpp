/*
 * Operating a camera: the real programs on temporary databases. The status page tells a
 * stopped daemon from a running one; the change log names the user and each member a
 * write changed, passwords masked, and rotates at its size; lpr-settings-db exports the
 * documents exactly as the web server serves them, imports them into a fresh database
 * that then serves the same, lists what differs from the defaults, refuses what breaks
 * the API's rules or would go behind a live web server's back, with documented exit
 * statuses; and run.sh keeps a second instance out of its folder.
 */
#include <cjson/cJSON.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "Database.h"
#include "e2e_support.h"
#include "program_version.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

const std::string kSettingsDb = LPR_SETTINGS_DB_BIN;

HttpReply as(const Credentials& who, const std::string& method, const std::string& url,
             const std::string* body = nullptr) {
    HttpClient client;
    client.set_credentials(who.user, who.password);
    return client.request(method, url, body);
}

HttpReply post(Camera& cam, const std::string& action, const std::string& body) {
    return as(kAdmin, "POST", cam.url("/api/v1/" + action), &body);
}

std::string print(const cJSON* item) {
    if (item == nullptr) {
        return "";
    }
    std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(item), cJSON_free);
    return text.get();
}

/* The member at a path of names in a JSON text, printed compactly ("" when absent). */
std::string at(const std::string& json, std::initializer_list<const char*> path) {
    CJsonPtr root(cJSON_Parse(json.c_str()));
    const cJSON* item = root.get();
    for (const char* name : path) {
        item = cJSON_GetObjectItemCaseSensitive(item, name);
    }
    return print(item);
}

bool eventually(const std::function<bool()>& condition, milliseconds limit) {
    const auto end = steady_clock::now() + limit;
    while (!condition()) {
        if (steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(50));
    }
    return true;
}

/* lpr-settings-db with args: its exit status, standard output and error in *output. */
int settings_db(const std::vector<std::string>& args, std::string* output,
                const std::string& input = "") {
    std::vector<std::string> argv = {kSettingsDb};
    argv.insert(argv.end(), args.begin(), args.end());
    output->clear();
    return run_program(argv, input, output);
}

TEST(Operations, StatusTellsAStoppedDaemonFromARunningOne) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd({"--ack-timeout", "200"}));
    const std::string url = cam.url("/api/v1/status");
    EXPECT_EQ(as(kNobody, "GET", url).status, 403);

    HttpClient viewer;  // one connection: each request is counted before the next is read
    viewer.set_credentials(kViewer.user, kViewer.password);
    ASSERT_EQ(viewer.get(url).status, 200);
    HttpReply status = viewer.get(url);
    ASSERT_EQ(status.status, 200);
    const struct {
        std::initializer_list<const char*> path;
        std::string value;
    } fields[] = {
        {{"program"}, "\"lpr-webd\""},
        {{"version"}, "\"" LPR_PROGRAM_VERSION "\""},
        {{"pid"}, std::to_string(cam.webd()->pid())},
        {{"library", "started"}, "true"},
        {{"library", "busClient"}, "\"running\""},
        {{"daemon", "state"}, "\"not heard\""},
        {{"daemon", "lastHeard"}, "null"},
        {{"daemon", "heartbeat"}, "null"},
        {{"database", "path"}, "\"" + cam.db_path() + "\""},
        {{"database", "schemaVersion"}, "1"},
        {{"writes", "mode"}, "\"strict\""},
        {{"changeLog", "path"}, "\"" + cam.change_log_path() + "\""},
        {{"requests", "byStatus", "200"}, "1"},
    };
    for (const auto& f : fields) {
        SCOPED_TRACE(*f.path.begin());
        EXPECT_EQ(at(status.body, f.path), f.value) << status.body;
    }
    // No secrets: neither a password nor a hash of the users file.
    for (const char* secret : {kAdmin.password, kViewer.password, "webd-users"}) {
        EXPECT_EQ(status.body.find(secret), std::string::npos);
    }

    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    const std::string daemonPid = std::to_string(cam.settingsd()->pid());
    EXPECT_TRUE(eventually(
        [&] {
            status = as(kViewer, "GET", url);
            return at(status.body, {"daemon", "state"}) == "\"running\"" &&
                   at(status.body, {"daemon", "heartbeat", "pid"}) == daemonPid;
        },
        milliseconds(5000)))
        << status.body;
    EXPECT_EQ(at(status.body, {"daemon", "lastHeard"}), "\"heartbeat\"");
    EXPECT_EQ(at(status.body, {"daemon", "heartbeat", "databaseWritable"}), "true");

    EXPECT_EQ(cam.stop_settingsd(), 0);
    EXPECT_TRUE(eventually(
        [&] {
            status = as(kViewer, "GET", url);
            return at(status.body, {"daemon", "state"}) == "\"silent\"";
        },
        milliseconds(6000)))
        << status.body;
    EXPECT_GE(std::stol(at(status.body, {"daemon", "ageMs"})), 3000) << status.body;
}

TEST(Operations, ChangeLogNamesUserAndMembersMasksPasswordsAndRotates) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd({"--change-log-size", "4096"}));
    const std::string changes = cam.url("/api/v1/changes");

    ASSERT_EQ(post(cam, "set_vehicle_count",
                   R"({"resetHour":3,"httpList":[{"url":"http://a/","password":"s3cret"}]})")
                  .status,
              200);
    ASSERT_EQ(post(cam, "set_lpr_advanced", R"({"osdFontSize":2})").status, 200);  // no change
    EXPECT_EQ(cam.stop_settingsd(), 0);
    ASSERT_EQ(post(cam, "set_lpr_advanced", R"({"osdFontSize":4})").status, 503);

    const std::string head = R"({"time":"T","user":"admin","client":"127.0.0.1","action":)";
    const std::string expected =
        head + R"("set_vehicle_count","stored":true,"changes":[)" +
        R"({"member":"resetHour","old":0,"new":3},)" +
        R"({"member":"httpUrl","old":"","new":"http://a/"},)" +
        R"({"member":"password","old":"","new":"********"},)" +
        R"({"member":"httpList[0].url","old":"","new":"http://a/"},)" +
        R"({"member":"httpList[0].password","old":"","new":"********"}]})" + "\n" + head +
        R"("set_lpr_advanced","stored":true,"changes":[]})" + "\n" + head +
        R"("set_lpr_advanced","stored":false,"reason":"the settings daemon did not answer )" +
        R"(within 1000 ms","changes":[{"member":"osdFontSize","old":2,"new":4}]})" + "\n";
    const std::regex time("\"time\":\"\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z\"");
    EXPECT_EQ(std::regex_replace(read_file(cam.change_log_path()), time, "\"time\":\"T\""),
              expected);

    HttpReply newest = as(kAdmin, "GET", changes + "?limit=1");
    ASSERT_EQ(newest.status, 200);
    const std::string last = expected.substr(expected.rfind(head));
    EXPECT_EQ(std::regex_replace(newest.body, time, "\"time\":\"T\""),
              "[" + last.substr(0, last.size() - 1) + "]");
    EXPECT_EQ(as(kViewer, "GET", changes).status, 403);
    HttpReply bad = as(kAdmin, "GET", changes + "?limit=0");
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.body,
              R"({"code":400,"msg":"Invalid parameter: limit","hint":"limit is a whole number )"
              R"(from 1 to 1000; without it the newest 100 entries are answered"})");

    // Entries of about 1.3 kB: the log moves to changes.log.1 every three of them.
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_TRUE(cam.webd()->wait_for_log("holds the web server's lpr.config.advanced record again",
                                         milliseconds(10000)))
        << cam.webd()->log();
    const std::string longUrl = "http://b/" + std::string(300, 'u');
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(post(cam, "set_vehicle_count",
                       R"({"httpUrl":")" + longUrl + std::to_string(i) + R"("})")
                      .status,
                  200);
    }
    const std::string current = read_file(cam.change_log_path());
    const std::string older = read_file(cam.change_log_path() + ".1");
    EXPECT_LE(current.size(), 4096u);
    EXPECT_LE(older.size(), 4096u);
    EXPECT_FALSE(older.empty());
    HttpReply all = as(kAdmin, "GET", changes + "?limit=1000");
    CJsonPtr entries(cJSON_Parse(all.body.c_str()));
    ASSERT_TRUE(cJSON_IsArray(entries.get())) << all.body;
    EXPECT_EQ(static_cast<size_t>(cJSON_GetArraySize(entries.get())),
              count_of(current + older, "\n"));
    int expectedIndex = 9;  // newest first, across both files
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, entries.get()) {
        const cJSON* list = cJSON_GetObjectItemCaseSensitive(entry, "changes");
        const cJSON* first = cJSON_GetArrayItem(list, 0);
        EXPECT_EQ(at(print(first), {"new"}),
                  "\"" + longUrl + std::to_string(expectedIndex--) + "\"");
    }
}

TEST(Operations, ExportImportDiffSpeakTheApisDocumentsExactly) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    std::string output;
    EXPECT_EQ(settings_db({"diff", cam.db_path()}, &output), 0);
    EXPECT_EQ(output, "");
    ASSERT_EQ(post(cam, "set_vehicle_count", R"({"resetHour":3})").status, 200);
    EXPECT_EQ(settings_db({"diff", cam.db_path()}, &output), 0);
    EXPECT_EQ(output, "vehicle_count.resetHour 3 (default 0)\n");

    ASSERT_EQ(post(cam, "set_vehicle_count",
                   R"({"enablePost":1,"httpList":[{},{"url":"http://b/","password":"pw"}]})")
                  .status,
              200);
    ASSERT_EQ(
        post(cam, "set_lpr_advanced", R"({"osdSort":"0123","osdPositionName":"Gate"})").status,
        200);
    const std::string advanced = as(kAdmin, "GET", cam.url("/api/v1/get_lpr_advanced")).body;
    const std::string count = as(kAdmin, "GET", cam.url("/api/v1/get_vehicle_count")).body;
    ASSERT_EQ(settings_db({"export", cam.db_path()}, &output), 0);
    EXPECT_EQ(output, "{\"advanced\":" + advanced + ",\n\"vehicle_count\":" + count + "}\n");
    const std::string backup = cam.file("backup.json");
    std::ofstream(backup) << output;
    EXPECT_EQ(cam.stop_webd(), 0);  // the test's bus is the fresh camera's now
    EXPECT_EQ(cam.stop_settingsd(), 0);

    Camera fresh;
    ASSERT_EQ(settings_db({"create", fresh.db_path()}, &output), 0) << output;
    ASSERT_EQ(settings_db({"import", fresh.db_path(), backup}, &output), 0) << output;
    ASSERT_NO_FATAL_FAILURE(fresh.write_users());
    ASSERT_NO_FATAL_FAILURE(fresh.start_webd({"--ack-timeout", "200"}));
    EXPECT_EQ(as(kAdmin, "GET", fresh.url("/api/v1/get_lpr_advanced")).body, advanced);
    EXPECT_EQ(as(kAdmin, "GET", fresh.url("/api/v1/get_vehicle_count")).body, count);
}

TEST(Operations, CommandLinesRefuseWithDocumentedStatuses) {
    Camera cam;  // its daemon holds cam.db_path(); db is offline
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    const std::string live = cam.db_path();
    const std::string db = cam.file("offline.db");
    const std::string outOfRange = cam.file("out-of-range.json");
    std::ofstream(outOfRange) << R"({"vehicle_count":{"resetMin":5},"advanced":{"osdFontSize":9}})";
    const std::string webd = LPR_WEBD_BIN;
    const std::string settingsd = LPR_SETTINGSD_BIN;
    const std::string liveRefusal =
        "lpr-settings-db: a running lpr-settingsd holds " + live + " (it locks " + live +
        ".lock): the web server works on its own copy of the settings; it would neither show "
        "this change nor keep it (its next write stores its copy). Change a live camera "
        "through its API instead";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string output;  // exact, or a part of it when partial
        bool partial;
    } cases[] = {
        {{kSettingsDb, "--version"}, 0, "lpr-settings-db " LPR_PROGRAM_VERSION "\n", false},
        {{kSettingsDb, "-h"}, 0, "Usage: lpr-settings-db [--force] COMMAND", true},
        {{kSettingsDb}, 2, "Usage: lpr-settings-db [--force] COMMAND", true},
        {{kSettingsDb, "bogus", db},
         2,
         "lpr-settings-db: unknown command \"bogus\"; try lpr-settings-db --help\n",
         false},
        {{kSettingsDb, "--bogus"}, 2, "Try lpr-settings-db --help\n", true},
        {{kSettingsDb, "get", db},
         2,
         "lpr-settings-db: usage: lpr-settings-db get DATABASE KEY...; try lpr-settings-db "
         "--help\n",
         false},
        {{kSettingsDb, "show", cam.file("absent.db")}, 1, "cannot open", true},
        {{kSettingsDb, "create", db}, 0, "", false},
        {{kSettingsDb, "create", db}, 1, "File exists", true},
        {{kSettingsDb, "set", db, "vehicle_post_http[2].password=s3cret",
          "lpr_advanced.osd_height=-5", "vehicle_count.countType=1"},
         0,
         "",
         false},
        {{kSettingsDb, "get", db, "vehicle_post_http[2].password", "lpr_advanced.osd_height",
          "vehicle_count.countType", "vehicle_count.httpList[2]", "vehicle_post.cameraPort"},
         0,
         "s3cret\n-5\n1\n{\"index\":2,\"enable\":0,\"url\":\"\",\"user\":\"\",\"password\":"
         "\"s3cret\"}\n80\n",
         false},
        // The API's ranges, by either name; nothing is stored when one change fails.
        {{kSettingsDb, "set", db, "lpr_advanced.osd_font_size=200"},
         3,
         "lpr-settings-db: advanced: Invalid parameter: osdFontSize\n  osdFontSize: out of "
         "range; received 200; allowed: integer 0 to 5",
         true},
        {{kSettingsDb, "set", db, "vehicle_count.resetMin=7", "vehicle_count.resetHour=24"},
         3,
         "resetHour: out of range; received 24; allowed: integer 0 to 23 (hour)",
         true},
        {{kSettingsDb, "set", db, "advanced.osdFontSize=3", "lpr_advanced.osd_fontcolor_r=256"},
         3,
         "lpr-settings-db: lpr_advanced.osd_fontcolor_r takes a whole number 0..255, not "
         "\"256\"\n",
         false},
        {{kSettingsDb, "set", db, "lpr_advanced.snap_sort=" + std::string(60, '1')},
         3,
         "takes at most 59 bytes, not 60",
         true},
        {{kSettingsDb, "set", db, "vehicle_post_http[3].url=x"}, 2, "no key", true},
        {{kSettingsDb, "set", db, "vehicle_count.resetHour"}, 2, "is not KEY=VALUE", true},
        {{kSettingsDb, "import", db, outOfRange},
         3,
         "lpr-settings-db: " + outOfRange +
             ": advanced: Invalid parameter: osdFontSize\n  osdFontSize: out of range; "
             "received 9",
         true},
        {{kSettingsDb, "get", db, "lpr_advanced.osd_font_size", "vehicle_count.resetMin"},
         0,
         "2\n0\n",
         false},
        {{kSettingsDb, "check", db}, 0, "ok\n", false},
        {{kSettingsDb, "show", db}, 0, "\"password\":\t\"s3cret\"\n\t\t}]\n}\n", true},
        {{kSettingsDb, "keys"}, 0, "\nvehicle_count.resetHour integer 0 to 23 (hour)\n", true},
        {{kSettingsDb, "keys"}, 0, "\nvehicle_post_http[1].url text of at most 1023 bytes\n", true},
        // A live database: the API, not the file.
        {{kSettingsDb, "set", live, "vehicle_count.resetHour=3"}, 4, liveRefusal, true},
        {{kSettingsDb, "import", live, outOfRange}, 4, liveRefusal, true},
        {{kSettingsDb, "set", live, "vehicle_count.resetHour=3", "--force"}, 0, "", false},
        {{kSettingsDb, "get", live, "vehicle_count.resetHour"}, 0, "3\n", false},
        {{settingsd, "--db", live},
         1,
         "settingsd: cannot own the settings database " + live +
             ": another lpr-settingsd runs on this database (it holds " + live + ".lock)\n",
         true},
        {{settingsd, "-h"}, 0, "Usage: lpr-settingsd [--db PATH]", true},
        {{settingsd, "--version"}, 0, "lpr-settingsd " LPR_PROGRAM_VERSION "\n", false},
        {{settingsd, "extra"}, 2, "unexpected argument \"extra\"", true},
        {{webd, "-h"}, 0, "Usage: lpr-webd [options]", true},
        {{webd, "--version"}, 0, "lpr-webd " LPR_PROGRAM_VERSION "\n", false},
        {{webd, "--change-log-size", "10"},
         2,
         "--change-log-size wants a number from 4096 to 1073741824",
         true},
        {{webd, "--db", db, "--users", cam.users_path(), "--port", "0", "--change-log",
          cam.file("none/changes.log")},
         1,
         "lpr-webd: cannot serve: cannot open the change log " + cam.file("none/changes.log") +
             ": No such file or directory\n",
         true},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const std::string& arg : c.argv) {
            line += arg + " ";
        }
        SCOPED_TRACE(line);
        std::string output;
        EXPECT_EQ(run_program(c.argv, "", &output), c.status) << output;
        if (c.partial) {
            EXPECT_NE(output.find(c.output), std::string::npos) << output;
        } else {
            EXPECT_EQ(output, c.output);
        }
    }

    // The offline database holds the defaults and exactly the changes that passed.
    const Database::User user;
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    ASSERT_TRUE(read_record(db, &adv));
    ASSERT_TRUE(read_record(db, &vcs));
    lpr_advanced_t expAdv;
    VEHICLE_COUNT_SETTING expVcs;
    Database::default_lpr_advanced(&expAdv);
    Database::default_vehicle_count(&expVcs);
    expAdv.osd_height = -5;
    expVcs.countInfo.countType = static_cast<LPR_VEHICLE_COUNT_TYPE_ENUM>(1);
    std::strcpy(expVcs.postSetting.password[2], "s3cret");
    EXPECT_EQ(lpr_test::bytes_of(adv), lpr_test::bytes_of(expAdv));
    EXPECT_EQ(lpr_test::bytes_of(vcs), lpr_test::bytes_of(expVcs));
}

/* run.sh's process group, killed on every way out of the test. */
struct ProcessGroup {
    pid_t leader;
    ~ProcessGroup() { ::kill(-leader, SIGKILL); }
};

TEST(Operations, ASecondRunShOnAFolderIsRefusedAndLeavesTheFirstAlone) {
    if (std::string(LPR_TOOL_EMULATOR).size() > 0) {
        GTEST_SKIP() << "run.sh starts the programs without the emulator";
    }
    lpr_test::TempDir dir;
    ChildSetup setup = in_session(Session::kNoTerminal);
    setup.env = {"RUN_DIR=" + dir.file("run"), "PORT=0", "BIN_DIR=" LPR_TOOLS_DIR};
    Process first({"/bin/bash", LPR_RUN_SH}, dir.file("first.out"), setup);
    ProcessGroup group{first.pid()};
    ASSERT_TRUE(first.wait_for_log("Ctrl-C stops both.", milliseconds(20000))) << first.log();
    EXPECT_EQ(first.log().rfind("Settings page: http://127.0.0.1:", 0), 0u) << first.log();
    const std::string settingsdLog = read_file(dir.file("run/settingsd.log"));
    const std::string webdLog = read_file(dir.file("run/webd.log"));
    ASSERT_NE(webdLog.find("listening on"), std::string::npos);

    std::string second;
    EXPECT_EQ(run_program({"/bin/bash", LPR_RUN_SH}, "", &second, setup), 1);
    EXPECT_EQ(second,
              "run.sh: another run.sh uses this folder; set RUN_DIR=... to run a second camera "
              "beside it (this folder: " +
                  dir.file("run") + ")\n");
    EXPECT_EQ(read_file(dir.file("run/settingsd.log")), settingsdLog);
    EXPECT_EQ(read_file(dir.file("run/webd.log")), webdLog);

    EXPECT_EQ(first.stop(SIGINT), 0);
    EXPECT_NE(first.log().find("\nStopping...\nStopped.\n"), std::string::npos) << first.log();
    EXPECT_NE(read_file(dir.file("run/webd.log")).find("lpr-webd: stopped\n"), std::string::npos);
}

}  // namespace
}  // namespace e2e
