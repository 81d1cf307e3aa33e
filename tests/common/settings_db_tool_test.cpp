// lpr-settings-db run as a program on real settings databases: its exit status and
// output for each command, and what it leaves in the database, read back through the
// settings database component.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Database.h"
#include "test_support.h"

namespace {

// The build passes the tool's path; otherwise it is found beside this test program,
// where the build tree puts it.
std::string tool_path() {
#ifdef LPR_SETTINGS_DB_TOOL
    return LPR_SETTINGS_DB_TOOL;
#else
    char self[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../tools/lpr-settings-db/lpr-settings-db";
#endif
}

struct Result {
    int status;
    std::string out;
};

Result run_tool(const std::vector<std::string>& args) {
    std::string cmd = std::string(LPR_TOOL_EMULATOR) + " '" + tool_path() + "'";
    for (const std::string& arg : args) {
        cmd += " '" + arg + "'";
    }
    cmd += " 2>/dev/null";
    Result result{-1, ""};
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        result.out.append(buf, got);
    }
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

TEST(SettingsDbTool, commands_answer_and_change_the_database_as_documented) {
    ASSERT_EQ(access(tool_path().c_str(), X_OK), 0) << tool_path();
    lpr_test::TempDir dir;
    std::string db = dir.file("settings.db");
    std::string longText(60, 's');
    struct Row {
        std::vector<std::string> args;
        int status;
        std::string out;  // exact output, or a part of it when partial
        bool partial;
    } rows[] = {
        {{"create", db}, 0, "", false},
        {{"create", db}, 1, "", false},
        {{"set", db, "vehicle_post_http[2].password=s3cret", "lpr_advanced.osd_height=-5",
          "vehicle_count.countType=4294967295"},
         0,
         "",
         false},
        {{"get", db, "vehicle_post_http[2].password", "lpr_advanced.osd_height",
          "vehicle_count.countType", "vehicle_post.cameraPort"},
         0,
         "s3cret\n-5\n4294967295\n80\n",
         false},
        // Nothing is stored when one change does not fit.
        {{"set", db, "lpr_advanced.osd_font_size=3", "lpr_advanced.osd_fontcolor_r=256"},
         2,
         "",
         false},
        {{"set", db, "lpr_advanced.snap_sort=" + longText}, 2, "", false},
        {{"set", db, "vehicle_post_http[3].url=x"}, 2, "", false},
        {{"set", db, "vehicle_count.resetHour"}, 2, "", false},
        {{"get", db, "lpr_advanced.osd_font_size", "lpr_advanced.snap_sort"}, 0, "2\n018\n", false},
        {{"check", db}, 0, "ok\n", false},
        {{"show", db}, 0, "\"vehicle_post_http\":\t[{\n\t\t\t\"slot\":\t0,", true},
        {{"show", db}, 0, "\"password\":\t\"s3cret\"\n\t\t}]\n}\n", true},
        {{"show", dir.file("absent.db")}, 1, "", false},
        {{"keys"}, 0, "vehicle_post_http[1].url text of at most 1023 bytes\n", true},
        {{"frobnicate", db}, 2, "", false},
    };
    for (const Row& row : rows) {
        std::string line;
        for (const std::string& arg : row.args) {
            line += arg + " ";
        }
        SCOPED_TRACE(line);
        Result r = run_tool(row.args);
        EXPECT_EQ(r.status, row.status);
        if (row.partial) {
            EXPECT_NE(r.out.find(row.out), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, row.out);
        }
    }
    EXPECT_EQ(access(dir.file("absent.db").c_str(), F_OK), -1);

    // The records hold the defaults and exactly the three changes.
    lpr_advanced_t adv, expAdv;
    VEHICLE_COUNT_SETTING vcs, expVcs;
    Database::default_lpr_advanced(&expAdv);
    Database::default_vehicle_count(&expVcs);
    expAdv.osd_height = -5;
    expVcs.countInfo.countType = static_cast<LPR_VEHICLE_COUNT_TYPE_ENUM>(4294967295u);
    std::strcpy(expVcs.postSetting.password[2], "s3cret");
    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn(db.c_str(), "qzdb", &conn), 0);
    EXPECT_EQ(Database::get_instance().get_lpr_advanced(&adv, conn), 0);
    EXPECT_EQ(Database::get_instance().get_lpr_vehicle_count(&vcs, conn), 0);
    Database::sqlite_disconn(conn);
    EXPECT_EQ(lpr_test::bytes_of(adv), lpr_test::bytes_of(expAdv));
    EXPECT_EQ(lpr_test::bytes_of(vcs), lpr_test::bytes_of(expVcs));

    // check reports a database that the cameras would not read.
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(conn,
                           "PRAGMA ignore_check_constraints = ON; "
                           "UPDATE vehicle_count SET resetMin = 300",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(conn);
    Result r = run_tool({"check", db});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("vehicle_count.resetMin = 300 does not fit 0..255"), std::string::npos)
        << r.out;
}
