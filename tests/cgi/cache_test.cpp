// The settings cache against real settings databases: what load reads, logs and
// leaves behind on each path, whole-record copies, and the single instance.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Database.h"
#include "library_call.h"

namespace {

using lpr::LprCgiCache;
using lpr_test::bytes_of;

const char kFile[] = "file:lib/src/cgi/lpr_cgi_cache.cpp";

// A settings database with the defaults and a few distinctive values, and plain SQLite
// access to it to damage it the way another tool could.
struct SettingsDb {
    lpr_test::TempDir dir;
    std::string path = dir.file("settings.db");

    SettingsDb() {
        EXPECT_EQ(Database::create_default(path.c_str()), 0);
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        Database::default_lpr_advanced(&adv);
        Database::default_vehicle_count(&vcs);
        std::snprintf(adv.snap_device_id, sizeof adv.snap_device_id, "cam-7");
        std::snprintf(vcs.postSetting.url[1], sizeof vcs.postSetting.url[1], "http://10.0.0.7/");
        Database::Connection conn;
        EXPECT_EQ(conn.open_rw(path.c_str()), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_advanced(&adv, conn.get()), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_vehicle_count(&vcs, conn.get()), 0);
    }

    void exec(const std::string& sql) {
        sqlite3* conn = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(conn);
    }
};

template <typename T>
T filled(unsigned char byte) {
    T record;
    std::memset(&record, byte, sizeof record);
    return record;
}

std::string cached_advanced() {
    return bytes_of(lpr_test::cached<lpr_advanced_t>());
}

std::string cached_count() {
    return bytes_of(lpr_test::cached<VEHICLE_COUNT_SETTING>());
}

// Loads under a log capture; returns the result and the log lines.
int load_logged(const char* path, std::vector<std::string>* lines) {
    lpr_test::StdoutCapture capture;
    int rc = LprCgiCache::get_instance().load(path);
    *lines = lpr_test::log_lines(capture.text());
    return rc;
}

}  // namespace

TEST(Cache, each_load_reports_and_leaves_the_records_the_documented_way) {
    enum Damage { kNone, kNullPath, kMissingFile, kNoAdvanced, kNoCount };
    struct Row {
        const char* name;
        Damage damage;
        int line;  // 0: no log line
        const char* message;
        bool advancedKept;
        bool countKept;
    } rows[] = {
        {"sound database", kNone, 59, "loaded from ", false, false},
        {"null path", kNullPath, 0, "", true, true},
        {"missing file", kMissingFile, 41, "failed to open ", true, true},
        {"advanced unreadable", kNoAdvanced, 47, "failed to read lpr_advanced from ", false, true},
        {"count unreadable", kNoCount, 53, "failed to read lpr_vehicle_count from ", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SettingsDb db;
        std::string path = db.path;
        if (row.damage == kMissingFile) {
            path = db.dir.file("absent.db");
        } else if (row.damage == kNoAdvanced) {
            db.exec("DROP TABLE lpr_advanced");
        } else if (row.damage == kNoCount) {
            db.exec("DROP TABLE vehicle_count");
        }
        auto advBefore = filled<lpr_advanced_t>(0x11);
        auto vcsBefore = filled<VEHICLE_COUNT_SETTING>(0x22);
        LprCgiCache::get_instance().set_lpr_advanced(advBefore);
        LprCgiCache::get_instance().set_vehicle_count_setting(vcsBefore);

        std::vector<std::string> lines;
        EXPECT_EQ(load_logged(row.damage == kNullPath ? nullptr : path.c_str(), &lines),
                  row.damage == kNone ? 0 : -1);
        if (row.line == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1U);
            EXPECT_EQ(lines[0], std::string("lpr_cgi_cache: ") + row.message + path +
                                    "==func:load " + kFile + " line:" + std::to_string(row.line));
        }
        EXPECT_EQ(cached_advanced() == bytes_of(advBefore), row.advancedKept);
        EXPECT_EQ(cached_count() == bytes_of(vcsBefore), row.countKept);
        if (row.damage == kNone) {
            // The cache holds exactly what the database component reads.
            Database::Connection conn;
            ASSERT_EQ(conn.open(path.c_str(), "qzdb"), 0);
            lpr_advanced_t adv = filled<lpr_advanced_t>(0xEE);
            VEHICLE_COUNT_SETTING vcs = filled<VEHICLE_COUNT_SETTING>(0xEE);
            ASSERT_EQ(Database::get_instance().get_lpr_advanced(&adv, conn.get()), 0);
            ASSERT_EQ(Database::get_instance().get_lpr_vehicle_count(&vcs, conn.get()), 0);
            EXPECT_EQ(cached_advanced(), bytes_of(adv));
            EXPECT_EQ(cached_count(), bytes_of(vcs));
            EXPECT_STREQ(adv.snap_device_id, "cam-7");
            EXPECT_STREQ(vcs.postSetting.url[1], "http://10.0.0.7/");
        }
        if (row.damage == kNoCount) {
            // The advanced record was loaded before the count read failed.
            lpr_advanced_t adv;
            LprCgiCache::get_instance().get_lpr_advanced(adv);
            EXPECT_STREQ(adv.snap_device_id, "cam-7");
        }
        if (row.damage == kMissingFile) {
            EXPECT_FALSE(std::ifstream(path).good()) << "reading created the file";
        }
    }
}
