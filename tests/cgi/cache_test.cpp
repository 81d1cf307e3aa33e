// The settings cache against real settings databases: what load reads, logs and
// leaves behind on each path, whole-record copies, and the single instance.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "lpr_cgi_cache.h"
#include "test_support.h"

namespace {

using lpr::LprCgiCache;
using lpr_test::bytes_of;

const char kFile[] = "file:lib/src/cgi/lpr_cgi_cache.cpp";

// A settings database with the defaults and a few distinctive values.
struct SettingsDb {
    lpr_test::TempDir dir;
    std::string path = dir.file("settings.db");
    lpr_advanced_t adv{};
    VEHICLE_COUNT_SETTING vcs{};

    explicit SettingsDb(int mark = 1) {
        EXPECT_EQ(Database::create_default(path.c_str()), 0);
        Database::default_lpr_advanced(&adv);
        Database::default_vehicle_count(&vcs);
        adv.osd_font_size = static_cast<uint8_t>(mark);
        std::snprintf(adv.snap_device_id, sizeof adv.snap_device_id, "cam-%d", mark);
        vcs.countInfo.resetHour = static_cast<uint8_t>(mark);
        std::snprintf(vcs.postSetting.url[1], sizeof vcs.postSetting.url[1],
                      "http://10.0.0.%d/count", mark);
        store();
    }

    void store() {
        sqlite3* conn = nullptr;
        ASSERT_EQ(Database::sqlite_conn_rw(path.c_str(), &conn), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_advanced(&adv, conn), 0);
        EXPECT_EQ(Database::get_instance().set_lpr_vehicle_count(&vcs, conn), 0);
        Database::sqlite_disconn(conn);
    }

    void exec(const std::string& sql) {
        sqlite3* conn = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, &err), SQLITE_OK)
            << (err != nullptr ? err : "");
        sqlite3_free(err);
        sqlite3_close(conn);
    }

    // The names of the database's tables that hold the given record's fields.
    std::vector<std::string> tables_with_column(const char* column) {
        std::vector<std::string> names;
        sqlite3* conn = nullptr;
        sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(conn,
                           "SELECT m.name FROM sqlite_schema m, pragma_table_info(m.name) p "
                           "WHERE m.type = 'table' AND lower(p.name) = lower(?1)",
                           -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, column, -1, SQLITE_TRANSIENT);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(conn);
        return names;
    }

    void drop_table_with(const char* column) {
        auto names = tables_with_column(column);
        ASSERT_FALSE(names.empty()) << "no table has a column " << column;
        exec("DROP TABLE \"" + names.front() + "\"");
    }
};

template <typename T>
T filled(unsigned char byte) {
    T record;
    std::memset(&record, byte, sizeof record);
    return record;
}

std::string cached_advanced() {
    lpr_advanced_t adv;
    LprCgiCache::get_instance().get_lpr_advanced(adv);
    return bytes_of(adv);
}

std::string cached_count() {
    VEHICLE_COUNT_SETTING vcs;
    LprCgiCache::get_instance().get_vehicle_count_setting(vcs);
    return bytes_of(vcs);
}

// Loads under a log capture; returns the result and the log lines.
int load_logged(const char* path, std::vector<std::string>* lines) {
    lpr_test::StdoutCapture capture;
    int rc = LprCgiCache::get_instance().load(path);
    *lines = lpr_test::log_lines(capture.text());
    return rc;
}

}  // namespace

TEST(Cache, starts_zero_filled_and_copies_whole_records) {
    EXPECT_EQ(cached_advanced(), std::string(sizeof(lpr_advanced_t), '\0'));
    EXPECT_EQ(cached_count(), std::string(sizeof(VEHICLE_COUNT_SETTING), '\0'));

    // Every byte travels, gaps included.
    auto adv = filled<lpr_advanced_t>(0xA5);
    auto vcs = filled<VEHICLE_COUNT_SETTING>(0x5A);
    LprCgiCache::get_instance().set_lpr_advanced(adv);
    LprCgiCache::get_instance().set_vehicle_count_setting(vcs);
    EXPECT_EQ(cached_advanced(), bytes_of(adv));
    EXPECT_EQ(cached_count(), bytes_of(vcs));
}

TEST(Cache, load_fills_both_records_from_the_database_and_logs_once) {
    SettingsDb db(3);
    std::vector<std::string> lines;
    ASSERT_EQ(load_logged(db.path.c_str(), &lines), 0);
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0],
              "lpr_cgi_cache: loaded from " + db.path + "==func:load " + kFile + " line:59");

    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    LprCgiCache::get_instance().get_lpr_advanced(adv);
    LprCgiCache::get_instance().get_vehicle_count_setting(vcs);
    EXPECT_EQ(adv.osd_font_size, 3);
    EXPECT_STREQ(adv.snap_device_id, "cam-3");
    EXPECT_EQ(vcs.countInfo.resetHour, 3);
    EXPECT_STREQ(vcs.postSetting.url[1], "http://10.0.0.3/count");

    // The cache holds exactly what the database component reads.
    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn(db.path.c_str(), "qzdb", &conn), 0);
    lpr_advanced_t dbAdv = filled<lpr_advanced_t>(0xEE);
    VEHICLE_COUNT_SETTING dbVcs = filled<VEHICLE_COUNT_SETTING>(0xEE);
    ASSERT_EQ(Database::get_instance().get_lpr_advanced(&dbAdv, conn), 0);
    ASSERT_EQ(Database::get_instance().get_lpr_vehicle_count(&dbVcs, conn), 0);
    Database::sqlite_disconn(conn);
    EXPECT_EQ(bytes_of(adv), bytes_of(dbAdv));
    EXPECT_EQ(bytes_of(vcs), bytes_of(dbVcs));
}

TEST(Cache, failed_loads_report_and_leave_the_records_the_documented_way) {
    enum Damage { kNullPath, kMissingFile, kNoAdvanced, kNoCount };
    struct Row {
        const char* name;
        Damage damage;
        int line;  // 0: no log line
        const char* message;
        bool advancedKept;
        bool countKept;
    } rows[] = {
        {"null path", kNullPath, 0, "", true, true},
        {"missing file", kMissingFile, 41, "failed to open ", true, true},
        {"advanced unreadable", kNoAdvanced, 47, "failed to read lpr_advanced from ", false, true},
        {"count unreadable", kNoCount, 53, "failed to read lpr_vehicle_count from ", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SettingsDb db(7);
        std::string path = db.path;
        if (row.damage == kMissingFile) {
            path = db.dir.file("absent.db");
        } else if (row.damage == kNoAdvanced) {
            db.drop_table_with("osd_font_size");
        } else if (row.damage == kNoCount) {
            db.drop_table_with("resetHour");
        }
        auto advBefore = filled<lpr_advanced_t>(0x11);
        auto vcsBefore = filled<VEHICLE_COUNT_SETTING>(0x22);
        LprCgiCache::get_instance().set_lpr_advanced(advBefore);
        LprCgiCache::get_instance().set_vehicle_count_setting(vcsBefore);

        std::vector<std::string> lines;
        EXPECT_EQ(load_logged(row.damage == kNullPath ? nullptr : path.c_str(), &lines), -1);
        if (row.line == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1U);
            EXPECT_EQ(lines[0], std::string("lpr_cgi_cache: ") + row.message + path +
                                    "==func:load " + kFile + " line:" + std::to_string(row.line));
        }
        EXPECT_EQ(cached_advanced() == bytes_of(advBefore), row.advancedKept);
        EXPECT_EQ(cached_count() == bytes_of(vcsBefore), row.countKept);
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

TEST(Cache, a_second_load_replaces_changed_records) {
    SettingsDb first(1);
    SettingsDb second(2);
    ASSERT_EQ(LprCgiCache::get_instance().load(first.path.c_str()), 0);
    std::string advFirst = cached_advanced();
    LprCgiCache::get_instance().set_lpr_advanced(filled<lpr_advanced_t>(0x33));
    ASSERT_EQ(LprCgiCache::get_instance().load(first.path.c_str()), 0);
    EXPECT_EQ(cached_advanced(), advFirst);
    ASSERT_EQ(LprCgiCache::get_instance().load(second.path.c_str()), 0);
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    LprCgiCache::get_instance().get_lpr_advanced(adv);
    LprCgiCache::get_instance().get_vehicle_count_setting(vcs);
    EXPECT_STREQ(adv.snap_device_id, "cam-2");
    EXPECT_EQ(vcs.countInfo.resetHour, 2);
}

TEST(Cache, lock_holds_off_every_copy_until_released) {
    auto adv = filled<lpr_advanced_t>(0x44);
    std::atomic<bool> stored{false};
    std::thread writer;
    {
        auto held = LprCgiCache::get_instance().lock();
        ASSERT_TRUE(held.owns_lock());
        writer = std::thread([&] {
            LprCgiCache::get_instance().set_lpr_advanced(adv);
            stored = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(stored) << "a copy went in while the lock was held";
    }
    writer.join();
    EXPECT_TRUE(stored);
    EXPECT_EQ(cached_advanced(), bytes_of(adv));
}

TEST(Cache, concurrent_first_calls_get_one_instance) {
    constexpr int kThreads = 8;
    std::vector<LprCgiCache*> seen(kThreads, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&seen, i] { seen[i] = &LprCgiCache::get_instance(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (LprCgiCache* p : seen) {
        EXPECT_EQ(p, seen.front());
    }
}
