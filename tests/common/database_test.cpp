// The settings database component against real SQLite files: defaults, damaged files and
// values out of their columns' bounds, read-only opens that leave no trace, and
// interrupted writes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Database.h"
#include "test_support.h"

namespace {

using lpr_test::bytes_of;

std::string file_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    return std::filesystem::exists(path);
}

// A settings database made with the defaults, read through the database component.
struct Db : lpr_test::SettingsFile {
    // 0 when both records read; the records are filled either way.
    int read(lpr_advanced_t* adv, VEHICLE_COUNT_SETTING* vcs, int* advRc = nullptr) {
        Database::Connection conn;
        if (conn.open(path.c_str(), "qzdb") != 0) {
            EXPECT_FALSE(conn);
            return -1;
        }
        const int a = Database::get_instance().get_lpr_advanced(adv, conn.get());
        const int c = Database::get_instance().get_lpr_vehicle_count(vcs, conn.get());
        *(advRc != nullptr ? advRc : &m_rc) = a;
        return a == 0 && c == 0 ? 0 : -1;
    }
    int m_rc = 0;
};

}  // namespace

TEST(Database, a_new_database_reads_back_the_defaults_byte_for_byte) {
    lpr_advanced_t adv{}, defAdv, gotAdv;
    adv.osd_font_size = 2;
    adv.osd_fontcolor_r = adv.osd_fontcolor_g = adv.osd_fontcolor_b = 255;
    adv.osd_bkgcolor_enable = 1;
    std::strcpy(adv.snap_sort, "018");
    std::strcpy(adv.snap_position, "Entrance");
    std::strcpy(adv.snap_device_id, "LPR-CAM-01");
    std::strcpy(adv.osd_sort, "01a9348");
    std::memset(adv.osd_space, '1', 21);
    std::strcpy(adv.osd_position, "Entrance");
    std::strcpy(adv.osd_device_id, "LPR-CAM-01");
    adv.snapshotResInfo = {2464, 2056};
    adv.snapshotQuality = 80;
    VEHICLE_COUNT_SETTING vcs{}, defVcs, gotVcs;
    vcs.postSetting.cameraPort = 80;
    Database::default_lpr_advanced(&defAdv);
    Database::default_vehicle_count(&defVcs);
    Db db;
    std::memset(&gotAdv, 0xEE, sizeof gotAdv);
    std::memset(&gotVcs, 0xEE, sizeof gotVcs);
    ASSERT_EQ(db.read(&gotAdv, &gotVcs), 0) << Database::last_error();
    for (const std::string& got : {bytes_of(defAdv), bytes_of(gotAdv)}) {
        EXPECT_EQ(got, bytes_of(adv));
    }
    for (const std::string& got : {bytes_of(defVcs), bytes_of(gotVcs)}) {
        EXPECT_EQ(got, bytes_of(vcs));
    }
    struct stat st;
    ASSERT_EQ(stat(db.path.c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0640 & ~mask);
    EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});
}

TEST(Database, damaged_or_missing_databases_fail_cleanly) {
    enum Fails { kOpen, kAdvanced, kCount };
    struct Row {
        const char* name;
        const char* sql;   // applied to a fresh database; null: see file
        const char* file;  // replaces the file's bytes when not null
        Fails fails;
        const char* error;  // a part of Database::last_error()
    } rows[] = {
        // clang-format off
        {"no table lpr_advanced", "DROP TABLE lpr_advanced", nullptr, kAdvanced,
         "cannot prepare a statement: no such table: lpr_advanced"},
        {"no table vehicle_count", "DROP TABLE vehicle_count", nullptr, kCount,
         "no such table: vehicle_count"},
        {"no table vehicle_post_http", "DROP TABLE vehicle_post_http", nullptr, kCount,
         "no such table: vehicle_post_http"},
        {"no advanced row", "DELETE FROM lpr_advanced", nullptr, kAdvanced,
         "table lpr_advanced has no row id = 1"},
        {"no slot 2", "DELETE FROM vehicle_post_http WHERE slot = 2", nullptr, kCount,
         "table vehicle_post_http has no row slot = 2"},
        // Values that no record can hold, put there by another tool.
        {"a byte out of range", "UPDATE lpr_advanced SET osd_font_size = 256", nullptr, kAdvanced,
         "lpr_advanced.osd_font_size = 256 does not fit 0..255"},
        {"a negative unsigned", "UPDATE vehicle_post SET postMode = -1", nullptr, kCount,
         "vehicle_post.postMode = -1 does not fit 0..4294967295"},
        {"a text too long", "UPDATE lpr_advanced SET snap_sort = substr(hex(zeroblob(30)), 1, 60)",
         nullptr, kAdvanced, "lpr_advanced.snap_sort holds 60 bytes, at most 59 fit"},
        {"a blob for a text", "UPDATE vehicle_post_http SET url = X'41'", nullptr, kCount,
         "vehicle_post_http.url is not a text"},
        {"newer schema", "PRAGMA user_version = 2", nullptr, kOpen, "has schema version 2, not 1"},
        // A row whose reading fails in SQLite itself.
        {"a row that cannot be read", "ALTER TABLE lpr_advanced RENAME TO t; CREATE VIEW "
         "lpr_advanced AS SELECT * FROM t WHERE abs(-9223372036854775807 - 1) > 0", nullptr,
         kAdvanced, "cannot read a row: integer overflow"},
        {"empty file", nullptr, "", kOpen, "has schema version 0, not 1"},
        {"not a database", nullptr, "this is not an SQLite file, only text that is long enough "
                                    "to fill a database header of one hundred bytes ........",
         kOpen, "is not a readable settings database: file is not a database"},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Db db;
        if (row.sql != nullptr) {
            db.exec(row.sql);
        } else {
            std::ofstream(db.path, std::ios::binary | std::ios::trunc) << row.file;
        }
        std::string before = file_bytes(db.path);
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        int advRc = -1;
        EXPECT_EQ(db.read(&adv, &vcs, &advRc), -1);
        EXPECT_NE(std::string(Database::last_error()).find(row.error), std::string::npos)
            << Database::last_error();
        EXPECT_EQ(advRc == 0, row.fails == kCount);
        EXPECT_EQ(file_bytes(db.path), before);
        EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});
    }
}

TEST(Database, opening_a_missing_file_creates_nothing_and_reading_changes_nothing) {
    lpr_test::TempDir dir;
    const std::string absent = dir.file("absent.db"), uri = "file:" + absent + "?mode=rwc";
    for (const char* path : {absent.c_str(), uri.c_str(), "", static_cast<const char*>(nullptr)}) {
        SCOPED_TRACE(path != nullptr ? path : "(null)");
        sqlite3* conn = reinterpret_cast<sqlite3*>(&dir);
        EXPECT_EQ(Database::sqlite_conn(path, "qzdb", &conn), -1);
        EXPECT_EQ(conn, nullptr);
        EXPECT_EQ(Database::sqlite_conn_rw(path, &conn), -1);
    }
    EXPECT_EQ(Database::create_default(dir.file("no/such/folder.db").c_str()), -1);
    EXPECT_TRUE(listing(dir.path()).empty());
    std::string report;
    EXPECT_EQ(Database::check_integrity(nullptr, &report), -1);
    EXPECT_EQ(report, "no connection");

    // Reading and checking a database leave its file untouched and create no journal.
    Db db;
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(utime(db.path.c_str(), &old), 0);
    const std::string before = file_bytes(db.path);
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    ASSERT_EQ(db.read(&adv, &vcs), 0);
    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn(db.path.c_str(), "qzdb", &conn), 0);
    EXPECT_EQ(Database::check_integrity(conn, &report), 0);
    EXPECT_EQ(report, "ok");
    EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    struct stat st;
    ASSERT_EQ(stat(db.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
    EXPECT_EQ(file_bytes(db.path), before);
    EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});

    // A path is a file name, never URI options, absolute or relative.
    std::string odd = dir.file("a?mode=memory#1%41.db");
    ASSERT_EQ(Database::create_default(odd.c_str()), 0) << Database::last_error();
    ASSERT_EQ(Database::sqlite_conn(odd.c_str(), "qzdb", &conn), 0) << Database::last_error();
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);  // this test's process only
    ASSERT_EQ(Database::create_default("./relative.db"), 0) << Database::last_error();
    ASSERT_EQ(Database::sqlite_conn("./relative.db", "qzdb", &conn), 0) << Database::last_error();
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    EXPECT_EQ(listing(dir.path()),
              (std::vector<std::string>{"a?mode=memory#1%41.db", "relative.db"}));
}

TEST(Database, a_store_that_does_not_finish_leaves_the_old_records) {
    Db db;
    lpr_advanced_t oldAdv, adv;
    VEHICLE_COUNT_SETTING oldVcs, vcs;
    ASSERT_EQ(db.read(&oldAdv, &oldVcs), 0);
    adv = oldAdv;
    vcs = oldVcs;
    adv.osd_font_size = 5;
    vcs.countInfo.resetHour = 23;
    std::strcpy(vcs.postSetting.url[2], "http://10.1.1.1/");

    // Refused before any write: a text without its NUL.
    lpr_advanced_t unterminated = adv;
    std::memset(unterminated.osd_device_id, 'x', sizeof unterminated.osd_device_id);
    std::string before = file_bytes(db.path);
    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn_rw(db.path.c_str(), &conn), 0);
    EXPECT_EQ(Database::get_instance().set_lpr_advanced(&unterminated, conn), -1);
    EXPECT_EQ(file_bytes(db.path), before);

    // Fails on the last row, after the other tables were written.
    db.exec(
        "CREATE TRIGGER stop BEFORE INSERT ON vehicle_post_http WHEN NEW.slot = 2 "
        "BEGIN SELECT RAISE(ABORT, 'stopped'); END");
    EXPECT_EQ(Database::get_instance().set_lpr_vehicle_count(&vcs, conn), -1);
    EXPECT_NE(std::string(Database::last_error()).find("stopped"), std::string::npos);
    db.exec("DROP TRIGGER stop");

    // Inside the caller's transaction a store is a savepoint: readers see nothing
    // until the commit, and a transaction that goes without its commit leaves nothing.
    lpr_advanced_t gotAdv;
    VEHICLE_COUNT_SETTING gotVcs;
    {
        Database::Transaction txn(conn, Database::Transaction::WRITE);
        ASSERT_TRUE(txn.begun()) << Database::last_error();
        EXPECT_EQ(Database::get_instance().set_lpr_advanced(&adv, conn), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_vehicle_count(&vcs, conn), 0);
        ASSERT_EQ(db.read(&gotAdv, &gotVcs), 0);
        EXPECT_EQ(bytes_of(gotAdv), bytes_of(oldAdv));
        EXPECT_EQ(bytes_of(gotVcs), bytes_of(oldVcs));
    }
    EXPECT_NE(sqlite3_get_autocommit(conn), 0) << "the transaction is still open";
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    ASSERT_EQ(db.read(&gotAdv, &gotVcs), 0);
    EXPECT_EQ(bytes_of(gotAdv), bytes_of(oldAdv));
    EXPECT_EQ(bytes_of(gotVcs), bytes_of(oldVcs));

    // A writer killed in the middle: its changes already reached the file, the
    // journal holds the old pages. Readers cannot roll back and fail; the next writer
    // rolls back.
    before = file_bytes(db.path);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sqlite3* w = nullptr;
        bool ok = Database::sqlite_conn_rw(db.path.c_str(), &w) == 0 &&
                  sqlite3_exec(w, "PRAGMA cache_size = 2; BEGIN IMMEDIATE", nullptr, nullptr,
                               nullptr) == SQLITE_OK &&
                  Database::get_instance().set_lpr_vehicle_count(&vcs, w) == 0 &&
                  sqlite3_exec(w,
                               "CREATE TABLE spill(b); INSERT INTO spill VALUES "
                               "(zeroblob(300000)), (zeroblob(300000))",
                               nullptr, nullptr, nullptr) == SQLITE_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(exists(db.path + "-journal"));
    EXPECT_NE(file_bytes(db.path), before);
    EXPECT_EQ(db.read(&gotAdv, &gotVcs), -1);
    ASSERT_EQ(Database::sqlite_conn_rw(db.path.c_str(), &conn), 0);
    EXPECT_EQ(Database::get_instance().get_lpr_vehicle_count(&gotVcs, conn), 0);
    EXPECT_EQ(bytes_of(gotVcs), bytes_of(oldVcs));
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    EXPECT_FALSE(exists(db.path + "-journal"));
    EXPECT_EQ(file_bytes(db.path), before);
}
