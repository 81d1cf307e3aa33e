/*
 * Operating a camera, with the real programs on temporary databases: the status page, the
 * change log, lpr-settings-db and the programs' command lines, and run.sh's folder lock.
 */
#include <signal.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "Database.h"
#include "e2e_support.h"
#include "json_tree.h"
#include "program_version.h"

namespace e2e {
namespace {

HttpReply as(const Credentials& who, const std::string& url, const std::string* body = nullptr) {
    HttpClient client;
    client.set_credentials(who.user, who.password);
    return client.request(body != nullptr ? "POST" : "GET", url, body);
}

HttpReply post(Camera& cam, const std::string& action, const std::string& body) {
    return as(kAdmin, cam.url("/api/v1/" + action), &body);
}

/* The member at a path ("daemon.state") in a JSON text, printed compactly ("" when absent). */
std::string at(const std::string& json, const std::string& path) {
    tools::CJsonPtr root(cJSON_Parse(json.c_str()));
    const cJSON* item = root.get();
    std::istringstream names(path);
    for (std::string name; std::getline(names, name, '.');) {
        item = cJSON_GetObjectItemCaseSensitive(item, name.c_str());
    }
    return item != nullptr ? tools::print_compact(item) : "";
}

/* A program's exit status, with its standard output and error in *output. */
int run(const std::vector<std::string>& argv, std::string* output) {
    output->clear();
    return run_program(argv, "", output);
}

/* One lpr-webd that sees the daemon not heard, running and silent, and logs every write. */
TEST(Operations, StatusAndTheChangeLogWithItsRotation) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd({"--change-log-size", "4096"}));
    const std::string url = cam.url("/api/v1/status"), changes = cam.url("/api/v1/changes");
    EXPECT_EQ(as(kNobody, url).status, 403);
    HttpClient viewer;  // one connection: each request is counted before the next is read
    viewer.set_credentials(kViewer.user, kViewer.password);
    ASSERT_EQ(viewer.get(url).status, 200);
    HttpReply status = viewer.get(url);
    std::istringstream fields(
        "program=\"lpr-webd\";version=\"" LPR_PROGRAM_VERSION "\";pid=" +
        std::to_string(cam.webd()->pid()) +
        ";library.started=true;library.busClient=\"running\";daemon.state=\"not heard\";"
        "daemon.lastHeard=null;daemon.heartbeat=null;database.path=\"" +
        cam.db_path() + "\";database.schemaVersion=1;writes.mode=\"strict\";changeLog.path=\"" +
        cam.change_log_path() + "\";requests.byStatus.200=1;requests.total=4");
    for (std::string f; std::getline(fields, f, ';');) {
        EXPECT_EQ(at(status.body, f.substr(0, f.find('='))), f.substr(f.find('=') + 1))
            << status.body;
    }
    for (const char* secret : {kAdmin.password, kViewer.password, "webd-users"}) {
        EXPECT_EQ(status.body.find(secret), std::string::npos);  // nor a hash of the users file
    }
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    const std::string daemonPid = std::to_string(cam.settingsd()->pid());
    const milliseconds kPoll(50);  // each poll is two HTTP requests
    auto state_is = [&](const std::string& state) {
        status = as(kViewer, url);
        return at(status.body, "daemon.state") == state &&
               (state != "\"running\"" || at(status.body, "daemon.heartbeat.pid") == daemonPid);
    };
    EXPECT_TRUE(eventually(
        milliseconds(5000), [&] { return state_is("\"running\""); }, kPoll))
        << status.body;
    EXPECT_EQ(at(status.body, "daemon.lastHeard"), "\"heartbeat\"");
    EXPECT_EQ(at(status.body, "daemon.heartbeat.databaseWritable"), "true");

    ASSERT_EQ(post(cam, "set_vehicle_count",
                   R"({"resetHour":3,"httpList":[{"url":"http://a/","password":"s3cret"}]})")
                  .status,
              200);
    ASSERT_EQ(post(cam, "set_lpr_advanced", R"({"osdFontSize":2})").status, 200);  // no change
    EXPECT_EQ(cam.stop_settingsd(), 0);
    ASSERT_EQ(post(cam, "set_lpr_advanced", R"({"osdFontSize":4})").status, 503);
    EXPECT_TRUE(eventually(
        milliseconds(6000), [&] { return state_is("\"silent\""); }, kPoll))
        << status.body;
    EXPECT_GE(std::stol(at(status.body, "daemon.ageMs")), 3000) << status.body;

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
    EXPECT_EQ(at(as(kViewer, url).body, "changeLog.bytes"),
              std::to_string(read_file(cam.change_log_path()).size()));
    const std::string last = expected.substr(expected.rfind(head));
    EXPECT_EQ(std::regex_replace(as(kAdmin, changes + "?limit=1").body, time, "\"time\":\"T\""),
              "[" + last.substr(0, last.size() - 1) + "]");
    EXPECT_EQ(as(kViewer, changes).status, 403);
    HttpReply bad = as(kAdmin, changes + "?limit=0");
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
        const std::string body = R"({"httpUrl":")" + longUrl + std::to_string(i) + R"("})";
        ASSERT_EQ(post(cam, "set_vehicle_count", body).status, 200);
    }
    const std::string current = read_file(cam.change_log_path());
    const std::string older = read_file(cam.change_log_path() + ".1");
    EXPECT_LE(current.size(), 4096u);
    EXPECT_LE(older.size(), 4096u);
    EXPECT_FALSE(older.empty());
    HttpReply all = as(kAdmin, changes + "?limit=1000");
    tools::CJsonPtr entries(cJSON_Parse(all.body.c_str()));
    ASSERT_TRUE(cJSON_IsArray(entries.get())) << all.body;
    EXPECT_EQ(static_cast<size_t>(cJSON_GetArraySize(entries.get())),
              count_of(current + older, "\n"));
    int index = 9;  // newest first, across both files
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, entries.get()) {
        const cJSON* first = cJSON_GetArrayItem(cJSON_GetObjectItem(entry, "changes"), 0);
        EXPECT_EQ(at(tools::print_compact(first), "new"),
                  "\"" + longUrl + std::to_string(index--) + "\"");
    }
}

/* export/import/diff speak the API's documents exactly; then the command lines of the three
 * programs, on an offline database and on the live one that the camera's daemon holds. */
TEST(Operations, SettingsDbAndCommandLinesWithDocumentedStatuses) {
    const std::string settingsDb = LPR_SETTINGS_DB_BIN;
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    const std::string live = cam.db_path();
    std::string output;
    EXPECT_EQ(run({settingsDb, "diff", live}, &output), 0);
    EXPECT_EQ(output, "");
    ASSERT_EQ(post(cam, "set_vehicle_count", R"({"resetHour":3})").status, 200);
    EXPECT_EQ(run({settingsDb, "diff", live}, &output), 0);
    EXPECT_EQ(output, "vehicle_count.resetHour 3 (default 0)\n");
    ASSERT_EQ(post(cam, "set_vehicle_count",
                   R"({"enablePost":1,"httpList":[{},{"url":"http://b/","password":"pw"}]})")
                  .status,
              200);
    ASSERT_EQ(
        post(cam, "set_lpr_advanced", R"({"osdSort":"0123","osdPositionName":"Gate"})").status,
        200);
    const std::string advanced = as(kAdmin, cam.url("/api/v1/get_lpr_advanced")).body;
    const std::string count = as(kAdmin, cam.url("/api/v1/get_vehicle_count")).body;
    ASSERT_EQ(run({settingsDb, "export", live}, &output), 0);
    EXPECT_EQ(output, "{\"advanced\":" + advanced + ",\n\"vehicle_count\":" + count + "}\n");
    const std::string backup = cam.file("backup.json");
    std::ofstream(backup) << output;
    EXPECT_EQ(cam.stop_webd(), 0);

    const std::string db = cam.file("offline.db"), outOfRange = cam.file("out-of-range.json");
    std::ofstream(outOfRange) << R"({"vehicle_count":{"resetMin":5},"advanced":{"osdFontSize":9}})";
    const std::map<std::string, std::string> words = {
        {"db", settingsDb},
        {"settingsd", LPR_SETTINGSD_BIN},
        {"webd", LPR_WEBD_BIN},
        {"DB", db},
        {"LIVE", live},
        {"ABSENT", cam.file("absent.db")},
        {"OOR", outOfRange},
        {"USERS", cam.users_path()},
        {"NOLOG", cam.file("none/changes.log")},
    };
    const std::string liveRefusal =
        "lpr-settings-db: a running lpr-settingsd holds " + live + " (it locks " + live +
        ".lock): the web server works on its own copy of the settings; it would neither show "
        "this change nor keep it (its next write stores its copy). Change a live camera "
        "through its API instead";
    const std::string usage = "Usage: lpr-settings-db [--force] COMMAND";
    const struct {
        std::string command;  // words of `words` stand for their values
        int status;
        bool partial;  // output holds the text, or is exactly it
        std::string output;
    } cases[] = {
        {"db --version", 0, false, "lpr-settings-db " LPR_PROGRAM_VERSION "\n"},
        {"db -h", 0, true, usage},
        {"db", 2, true, usage},
        {"db bogus DB", 2, false,
         "lpr-settings-db: unknown command \"bogus\"; try lpr-settings-db --help\n"},
        {"db --bogus", 2, true, "Try lpr-settings-db --help\n"},
        {"db get DB", 2, false,
         "lpr-settings-db: usage: lpr-settings-db get DATABASE KEY...; try lpr-settings-db "
         "--help\n"},
        {"db show ABSENT", 1, true, "cannot open"},
        {"db create DB", 0, false, ""},
        {"db create DB", 1, true, "File exists"},
        {"db set DB vehicle_post_http[2].password=s3cret lpr_advanced.osd_height=-5 "
         "vehicle_count.countType=1",
         0, false, ""},
        {"db get DB vehicle_post_http[2].password lpr_advanced.osd_height "
         "vehicle_count.countType vehicle_count.httpList[2] vehicle_post.cameraPort",
         0, false,
         "s3cret\n-5\n1\n{\"index\":2,\"enable\":0,\"url\":\"\",\"user\":\"\",\"password\":"
         "\"s3cret\"}\n80\n"},
        // The API's ranges, by either name; nothing is stored when one change fails.
        {"db set DB lpr_advanced.osd_font_size=200", 3, true,
         "lpr-settings-db: advanced: Invalid parameter: osdFontSize\n  osdFontSize: out of "
         "range; received 200; allowed: integer 0 to 5"},
        {"db set DB vehicle_count.resetMin=7 vehicle_count.resetHour=24", 3, true,
         "resetHour: out of range; received 24; allowed: integer 0 to 23 (hour)"},
        {"db set DB advanced.osdFontSize=3 lpr_advanced.osd_fontcolor_r=256", 3, false,
         "lpr-settings-db: lpr_advanced.osd_fontcolor_r takes a whole number 0..255, not "
         "\"256\"\n"},
        {"db set DB lpr_advanced.snap_sort=" + std::string(60, '1'), 3, true,
         "takes at most 59 bytes, not 60"},
        {"db set DB vehicle_post_http[3].url=x", 2, true, "no key"},
        {"db set DB vehicle_count.resetHour", 2, true, "is not KEY=VALUE"},
        {"db import DB OOR", 3, true,
         "lpr-settings-db: " + outOfRange +
             ": advanced: Invalid parameter: osdFontSize\n  osdFontSize: out of range; "
             "received 9"},
        {"db get DB lpr_advanced.osd_font_size vehicle_count.resetMin", 0, false, "2\n0\n"},
        {"db check DB", 0, false, "ok\n"},
        {"db show DB", 0, true, "\"password\":\t\"s3cret\"\n\t\t}]\n}\n"},
        {"db keys", 0, true, "\nvehicle_count.resetHour integer 0 to 23 (hour)\n"},
        {"db keys", 0, true, "\nvehicle_post_http[1].url text of at most 1023 bytes\n"},
        // A live database: the API, not the file.
        {"db set LIVE vehicle_count.resetHour=7", 4, true, liveRefusal},
        {"db import LIVE OOR", 4, true, liveRefusal},
        {"db set LIVE vehicle_count.resetHour=5 --force", 0, false, ""},
        {"db get LIVE vehicle_count.resetHour", 0, false, "5\n"},
        {"settingsd --db LIVE", 1, true,
         "settingsd: cannot own the settings database " + live +
             ": another lpr-settingsd runs on this database (it holds " + live + ".lock)\n"},
        {"settingsd -h", 0, true, "Usage: lpr-settingsd [--db PATH]"},
        {"settingsd --version", 0, false, "lpr-settingsd " LPR_PROGRAM_VERSION "\n"},
        {"settingsd extra", 2, true, "unexpected argument \"extra\""},
        {"webd -h", 0, true, "Usage: lpr-webd [options]"},
        {"webd --version", 0, false, "lpr-webd " LPR_PROGRAM_VERSION "\n"},
        {"webd --change-log-size 10", 2, true,
         "--change-log-size wants a number from 4096 to 1073741824"},
        {"webd --db DB --users USERS --port 0 --change-log NOLOG", 1, true,
         "lpr-webd: cannot serve: cannot open the change log " + words.at("NOLOG") +
             ": No such file or directory\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv;
        std::istringstream in(c.command);
        for (std::string word; in >> word;) {
            argv.push_back(words.count(word) > 0 ? words.at(word) : word);
        }
        SCOPED_TRACE(c.command);
        EXPECT_EQ(run(argv, &output), c.status) << output;
        if (c.partial) {
            EXPECT_NE(output.find(c.output), std::string::npos) << output;
        } else {
            EXPECT_EQ(output, c.output);
        }
    }

    // The offline database holds the defaults and exactly the changes that passed.
    const Database::User user;
    lpr_advanced_t adv, expAdv;
    VEHICLE_COUNT_SETTING vcs, expVcs;
    ASSERT_TRUE(read_record(db, &adv) && read_record(db, &vcs));
    Database::default_lpr_advanced(&expAdv);
    Database::default_vehicle_count(&expVcs);
    expAdv.osd_height = -5;
    expVcs.countInfo.countType = static_cast<LPR_VEHICLE_COUNT_TYPE_ENUM>(1);
    std::strcpy(expVcs.postSetting.password[2], "s3cret");
    EXPECT_EQ(lpr_test::bytes_of(adv), lpr_test::bytes_of(expAdv));
    EXPECT_EQ(lpr_test::bytes_of(vcs), lpr_test::bytes_of(expVcs));

    // The backup imported into a fresh database serves the same documents.
    EXPECT_EQ(cam.stop_settingsd(), 0);  // the test's bus is the fresh camera's now
    Camera fresh;
    ASSERT_EQ(run({settingsDb, "create", fresh.db_path()}, &output), 0) << output;
    ASSERT_EQ(run({settingsDb, "import", fresh.db_path(), backup}, &output), 0) << output;
    ASSERT_NO_FATAL_FAILURE(fresh.write_users());
    ASSERT_NO_FATAL_FAILURE(fresh.start_webd({"--ack-timeout", "200"}));
    EXPECT_EQ(as(kAdmin, fresh.url("/api/v1/get_lpr_advanced")).body, advanced);
    EXPECT_EQ(as(kAdmin, fresh.url("/api/v1/get_vehicle_count")).body, count);
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
