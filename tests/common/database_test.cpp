// The settings database component against real SQLite files: defaults, every column
// at and beyond its bounds, damaged files, read-only opens that leave no trace,
// interrupted writes, and start-up checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "test_support.h"

// Allocation failures on demand, in this test program: while armed, the n-th allocation
// through operator new on the arming thread throws std::bad_alloc, wherever it happens
// (in the component, in libstdc++). The replacements allocate with malloc and release
// with free, in every build: a sanitizer's own operator delete would take a block from
// malloc for a mismatch.
namespace {
thread_local long s_allocationsBeforeFailure = -1;  // -1: not armed
thread_local bool s_allocationFailed = false;
}  // namespace

void* operator new(std::size_t size) {
    if (s_allocationsBeforeFailure == 0) {
        s_allocationsBeforeFailure = -1;
        s_allocationFailed = true;
        throw std::bad_alloc();
    }
    if (s_allocationsBeforeFailure > 0) {
        --s_allocationsBeforeFailure;
    }
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// The compiler sees free() take what operator new returned; here that is the pair's
// design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept {
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept {
    std::free(memory);
}
#pragma GCC diagnostic pop

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
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A settings database made with the defaults, and plain SQLite access to it that
// bypasses the schema's checks, to damage it the way another tool could.
struct Db {
    lpr_test::TempDir dir;
    std::string path = dir.file("settings.db");

    Db() { EXPECT_EQ(Database::create_default(path.c_str()), 0) << Database::last_error(); }

    void exec(const std::string& sql) {
        sqlite3* conn = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        std::string all = "PRAGMA ignore_check_constraints = ON; " + sql;
        char* err = nullptr;
        EXPECT_EQ(sqlite3_exec(conn, all.c_str(), nullptr, nullptr, &err), SQLITE_OK)
            << sql << ": " << (err != nullptr ? err : "");
        sqlite3_free(err);
        sqlite3_close(conn);
    }

    // 0 when both records read; the records are filled either way.
    int read(lpr_advanced_t* adv, VEHICLE_COUNT_SETTING* vcs, int* advRc = nullptr) {
        Database::Connection conn;
        if (conn.open(path.c_str(), "qzdb") != 0) {
            EXPECT_FALSE(conn);
            return -1;
        }
        int a = Database::get_instance().get_lpr_advanced(adv, conn.get());
        int c = Database::get_instance().get_lpr_vehicle_count(vcs, conn.get());
        if (advRc != nullptr) {
            *advRc = a;
        }
        return a == 0 && c == 0 ? 0 : -1;
    }

    int store(const lpr_advanced_t& adv, const VEHICLE_COUNT_SETTING& vcs) {
        Database::Connection conn;
        return conn.open_rw(path.c_str()) == 0 &&
                       Database::get_instance().set_lpr_advanced(&adv, conn.get()) == 0 &&
                       Database::get_instance().set_lpr_vehicle_count(&vcs, conn.get()) == 0
                   ? 0
                   : -1;
    }
};

// The columns, with the offsets and sizes the records give them (not the component's
// own table).
enum Kind { U8, I32, U32, TEXT, DIGITS };
struct Col {
    const char* table;
    const char* column;
    bool advanced;
    size_t offset;
    Kind kind;
    size_t size;
    bool slotted;
};
#define ADV(col, field, kind)                                             \
    {                                                                     \
        "lpr_advanced", col, true, offsetof(lpr_advanced_t, field), kind, \
            sizeof(lpr_advanced_t::field), false                          \
    }
#define CNT(table, field, member, kind)                                            \
    {                                                                              \
        table, #field, false, offsetof(VEHICLE_COUNT_SETTING, member.field), kind, \
            sizeof(VEHICLE_COUNT_SETTING::member.field), false                     \
    }
#define HTTP(field, kind)                                                                       \
    {                                                                                           \
        "vehicle_post_http", #field, false, offsetof(VEHICLE_COUNT_SETTING, postSetting.field), \
            kind, sizeof(VEHICLE_COUNT_SETTING::postSetting.field[0]), true                     \
    }

const Col kCols[] = {
    ADV("snap_separator", snap_separator, U8),
    ADV("snap_sort", snap_sort, TEXT),
    ADV("snap_position", snap_position, TEXT),
    ADV("snap_device_id", snap_device_id, TEXT),
    ADV("osd_font_size", osd_font_size, U8),
    ADV("osd_fontcolor_r", osd_fontcolor_r, U8),
    ADV("osd_fontcolor_g", osd_fontcolor_g, U8),
    ADV("osd_fontcolor_b", osd_fontcolor_b, U8),
    ADV("osd_bkgcolor_enable", osd_bkgcolor_enable, U8),
    ADV("osd_bkgcolor_r", osd_bkgcolor_r, U8),
    ADV("osd_bkgcolor_g", osd_bkgcolor_g, U8),
    ADV("osd_bkgcolor_b", osd_bkgcolor_b, U8),
    ADV("osd_show_pos", osd_show_pos, U8),
    ADV("osd_height", osd_height, I32),
    ADV("osd_sort", osd_sort, TEXT),
    ADV("osd_space", osd_space, DIGITS),
    ADV("osd_position", osd_position, TEXT),
    ADV("osd_device_id", osd_device_id, TEXT),
    ADV("snapRes", snapRes, U32),
    ADV("snapshotResInfo_width", snapshotResInfo.width, I32),
    ADV("snapshotResInfo_height", snapshotResInfo.height, I32),
    ADV("osd_space_num", osd_space_num, U8),
    ADV("fileTimeFormat", fileTimeFormat, I32),
    ADV("osdTimeFormat", osdTimeFormat, U8),
    ADV("snapshotQuality", snapshotQuality, I32),
    CNT("vehicle_count", enable, countInfo, U8),
    CNT("vehicle_count", showInfo, countInfo, U8),
    CNT("vehicle_count", infoTableLeft, countInfo, U8),
    CNT("vehicle_count", infoTableTop, countInfo, U8),
    CNT("vehicle_count", countType, countInfo, U32),
    CNT("vehicle_count", autoReset, countInfo, I32),
    CNT("vehicle_count", resetDayType, countInfo, U8),
    CNT("vehicle_count", resetHour, countInfo, U8),
    CNT("vehicle_count", resetMin, countInfo, U8),
    CNT("vehicle_count", resetSec, countInfo, U8),
    CNT("vehicle_count", crossRegion, countInfo, U8),
    CNT("vehicle_post", enable, postSetting, U8),
    CNT("vehicle_post", postMode, postSetting, U32),
    CNT("vehicle_post", postInterval, postSetting, U32),
    CNT("vehicle_post", attachSnapshot, postSetting, U8),
    CNT("vehicle_post", postType, postSetting, U8),
    CNT("vehicle_post", timeHour, postSetting, U8),
    CNT("vehicle_post", timeMin, postSetting, U8),
    CNT("vehicle_post", timeSec, postSetting, U8),
    CNT("vehicle_post", cameraPort, postSetting, I32),
    HTTP(httpEnable, U8),
    HTTP(url, TEXT),
    HTTP(user, TEXT),
    HTTP(password, TEXT),
};

// One stored value and what the record must then hold at the field's offset.
struct Case {
    std::string sql;
    bool readable;
    std::string bytes;
};

std::string le(uint64_t v, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return out;
}

std::vector<Case> cases_for(const Col& c) {
    std::string fill(c.size, 'x');
    switch (c.kind) {
        case U8:
            return {{"0", true, le(0, 1)}, {"255", true, le(255, 1)}, {"256", false, ""},
                    {"-1", false, ""},     {"1.5", false, ""},        {"'7'", true, le(7, 1)},
                    {"X'07'", false, ""}};
        case I32:
            return {{"-2147483648", true, le(0x80000000u, 4)},
                    {"2147483647", true, le(0x7FFFFFFFu, 4)},
                    {"2147483648", false, ""},
                    {"-2147483649", false, ""},
                    {"'abc'", false, ""}};
        case U32:
            return {{"0", true, le(0, 4)},
                    {"4294967295", true, le(0xFFFFFFFFu, 4)},
                    {"4294967296", false, ""},
                    {"-1", false, ""}};
        case TEXT:
            return {{"''", true, std::string(c.size, '\0')},
                    {"'" + fill.substr(1) + "'", true, fill.substr(1) + '\0'},
                    {"'" + fill + "'", false, ""},
                    {"X'41'", false, ""}};
        case DIGITS:
            return {{"'" + std::string(c.size, '9') + "'", true, std::string(c.size, '9')},
                    {"'12'", true, "12" + std::string(c.size - 2, '\0')},
                    {"'" + std::string(c.size + 1, '9') + "'", false, ""}};
    }
    return {};
}

}  // namespace

TEST(Database, a_new_database_reads_back_the_defaults_byte_for_byte) {
    lpr_advanced_t adv;
    std::memset(&adv, 0, sizeof adv);
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
    adv.snapshotResInfo.width = 2464;
    adv.snapshotResInfo.height = 2056;
    adv.snapshotQuality = 80;
    VEHICLE_COUNT_SETTING vcs;
    std::memset(&vcs, 0, sizeof vcs);
    vcs.postSetting.cameraPort = 80;

    lpr_advanced_t defAdv;
    VEHICLE_COUNT_SETTING defVcs;
    Database::default_lpr_advanced(&defAdv);
    Database::default_vehicle_count(&defVcs);
    EXPECT_EQ(bytes_of(defAdv), bytes_of(adv));
    EXPECT_EQ(bytes_of(defVcs), bytes_of(vcs));

    Db db;
    std::memset(&defAdv, 0xEE, sizeof defAdv);
    std::memset(&defVcs, 0xEE, sizeof defVcs);
    ASSERT_EQ(db.read(&defAdv, &defVcs), 0) << Database::last_error();
    EXPECT_EQ(bytes_of(defAdv), bytes_of(adv));
    EXPECT_EQ(bytes_of(defVcs), bytes_of(vcs));
    std::string raw = bytes_of(defAdv);
    EXPECT_EQ(raw.substr(157, 11), std::string("LPR-CAM-01\0", 11));
    EXPECT_EQ(raw.substr(580, 12), le(0, 4) + le(2464, 4) + le(2056, 4));
    EXPECT_EQ(bytes_of(defVcs).substr(40, 4), le(80, 4));

    struct stat st;
    ASSERT_EQ(stat(db.path.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0640 & ~mask);
    EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});
}

TEST(Database, every_column_reads_at_its_bounds_and_fails_beyond_them) {
    Db db;
    for (const Col& c : kCols) {
        for (int slot = 0; slot < (c.slotted ? LPR_VEHICLE_POST_SLOTS : 1); ++slot) {
            std::string where = c.slotted ? "slot = " + std::to_string(slot) : "id = 1";
            size_t offset = c.offset + static_cast<size_t>(slot) * c.size;
            for (const Case& k : cases_for(c)) {
                SCOPED_TRACE(std::string(c.table) + "." + c.column + " slot " +
                             std::to_string(slot) + " = " + k.sql.substr(0, 20));
                db.exec(std::string("UPDATE ") + c.table + " SET \"" + c.column + "\" = " + k.sql +
                        " WHERE " + where);
                lpr_advanced_t adv;
                VEHICLE_COUNT_SETTING vcs;
                int advRc = -1;
                int rc = db.read(&adv, &vcs, &advRc);
                EXPECT_EQ(rc == 0, k.readable) << Database::last_error();
                EXPECT_EQ(advRc == 0, !c.advanced || k.readable);
                if (k.readable) {
                    std::string raw = c.advanced ? bytes_of(adv) : bytes_of(vcs);
                    EXPECT_EQ(raw.substr(offset, k.bytes.size()), k.bytes);
                } else {
                    EXPECT_NE(std::string(Database::last_error()).find(c.column), std::string::npos)
                        << Database::last_error();
                }
            }
            db.exec(std::string("UPDATE ") + c.table + " SET \"" + c.column +
                    (c.kind == TEXT || c.kind == DIGITS ? "\" = ''" : "\" = 0"));
        }
    }
}

TEST(Database, records_at_both_bounds_round_trip_through_the_writer) {
    for (bool high : {false, true}) {
        SCOPED_TRACE(high ? "upper bounds" : "lower bounds");
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        std::memset(&adv, 0, sizeof adv);
        std::memset(&vcs, 0, sizeof vcs);
        for (const Col& c : kCols) {
            for (int slot = 0; slot < (c.slotted ? LPR_VEHICLE_POST_SLOTS : 1); ++slot) {
                auto* base =
                    c.advanced ? reinterpret_cast<char*>(&adv) : reinterpret_cast<char*>(&vcs);
                char* f = base + c.offset + static_cast<size_t>(slot) * c.size;
                std::string v;
                switch (c.kind) {
                    case U8:
                        v = le(high ? 0xFF : 0, 1);
                        break;
                    case I32:
                        v = le(high ? 0x7FFFFFFFu : 0x80000000u, 4);
                        break;
                    case U32:
                        v = le(high ? 0xFFFFFFFFu : 0, 4);
                        break;
                    case TEXT:  // high: size - 1 bytes of UTF-8 and ASCII, then the NUL
                        v = high ? std::string(c.size - 1, 'z').replace(0, 2, "\xC3\xA9") : "";
                        break;
                    case DIGITS:  // low: a NUL between the digits is kept
                        v = high ? std::string(c.size, '9') : std::string("\0\0003\0009", 5);
                        break;
                }
                std::memcpy(f, v.data(), v.size());
            }
        }
        Db db;
        ASSERT_EQ(db.store(adv, vcs), 0) << Database::last_error();
        lpr_advanced_t gotAdv;
        VEHICLE_COUNT_SETTING gotVcs;
        ASSERT_EQ(db.read(&gotAdv, &gotVcs), 0) << Database::last_error();
        EXPECT_EQ(bytes_of(gotAdv), bytes_of(adv));
        EXPECT_EQ(bytes_of(gotVcs), bytes_of(vcs));
    }
}

TEST(Database, damaged_or_missing_databases_fail_cleanly) {
    enum Fails { kOpen, kAdvanced, kCount };
    struct Row {
        const char* name;
        const char* sql;   // applied to a fresh database; null: see file
        const char* file;  // replaces the file's bytes when not null
        Fails fails;
    } rows[] = {
        {"no table lpr_advanced", "DROP TABLE lpr_advanced", nullptr, kAdvanced},
        {"no table vehicle_count", "DROP TABLE vehicle_count", nullptr, kCount},
        {"no table vehicle_post", "DROP TABLE vehicle_post", nullptr, kCount},
        {"no table vehicle_post_http", "DROP TABLE vehicle_post_http", nullptr, kCount},
        {"no advanced row", "DELETE FROM lpr_advanced", nullptr, kAdvanced},
        {"no vehicle_count row", "DELETE FROM vehicle_count", nullptr, kCount},
        {"no slot 2", "DELETE FROM vehicle_post_http WHERE slot = 2", nullptr, kCount},
        {"newer schema", "PRAGMA user_version = 2", nullptr, kOpen},
        {"not a database", nullptr,
         "this is not an SQLite file, only text that is long enough "
         "to fill a database header of one hundred bytes ........",
         kOpen},
        {"empty file", nullptr, "", kOpen},
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
        EXPECT_EQ(advRc == 0, row.fails == kCount);
        EXPECT_EQ(file_bytes(db.path), before);
        EXPECT_EQ(listing(db.dir.path()), std::vector<std::string>{"settings.db"});
    }
}

TEST(Database, opening_a_missing_file_fails_and_creates_nothing) {
    lpr_test::TempDir dir;
    Database& db = Database::get_instance();
    for (std::string path : {dir.file("absent.db"), dir.file("absent.db?mode=rwc"),
                             "file:" + dir.file("absent.db?mode=rwc"), std::string()}) {
        SCOPED_TRACE(path);
        sqlite3* conn = reinterpret_cast<sqlite3*>(&dir);
        EXPECT_EQ(Database::sqlite_conn(path.c_str(), "qzdb", &conn), -1);
        EXPECT_EQ(conn, nullptr);
        EXPECT_EQ(Database::sqlite_conn_rw(path.c_str(), &conn), -1);
        EXPECT_TRUE(listing(dir.path()).empty());
    }
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    EXPECT_EQ(Database::sqlite_conn(nullptr, "qzdb", nullptr), -1);
    EXPECT_EQ(db.get_lpr_advanced(&adv, nullptr), -1);
    EXPECT_EQ(db.get_lpr_vehicle_count(&vcs, nullptr), -1);
    EXPECT_EQ(db.get_lpr_advanced(nullptr, nullptr), -1);
    EXPECT_EQ(Database::sqlite_disconn(nullptr), -1);
    EXPECT_EQ(Database::create_default(dir.file("no/such/folder.db").c_str()), -1);
    EXPECT_TRUE(listing(dir.path()).empty());

    // A path is a file name, never URI options.
    std::string odd = dir.file("a?mode=memory#1%41.db");
    ASSERT_EQ(Database::create_default(odd.c_str()), 0) << Database::last_error();
    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn(odd.c_str(), "qzdb", &conn), 0) << Database::last_error();
    EXPECT_EQ(db.get_lpr_advanced(&adv, conn), 0);
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"a?mode=memory#1%41.db"});
}

TEST(Database, reading_leaves_the_file_untouched_and_creates_no_journal) {
    Db db;
    struct utimbuf old = {1000000000, 1000000000};
    ASSERT_EQ(utime(db.path.c_str(), &old), 0);
    std::string before = file_bytes(db.path);

    sqlite3* conn = nullptr;
    ASSERT_EQ(Database::sqlite_conn(db.path.c_str(), "qzdb", &conn), 0);
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    EXPECT_EQ(Database::get_instance().get_lpr_advanced(&adv, conn), 0);
    EXPECT_EQ(Database::get_instance().get_lpr_vehicle_count(&vcs, conn), 0);
    std::string report;
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

TEST(Database, writer_entry_points_refuse_what_is_not_theirs) {
    Db db;
    // create_default never touches an existing file.
    std::string before = file_bytes(db.path);
    EXPECT_EQ(Database::create_default(db.path.c_str()), -1);
    EXPECT_EQ(file_bytes(db.path), before);

    struct Row {
        const char* name;
        const char* sql;
        const char* finding;
    } rows[] = {
        {"sound", "", "ok"},
        {"older schema", "PRAGMA user_version = 0", "schema version 0, not 1"},
        {"value out of range", "UPDATE vehicle_post SET cameraPort = 2147483648",
         "vehicle_post.cameraPort = 2147483648 does not fit"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Db fresh;
        fresh.exec(row.sql);
        sqlite3* conn = nullptr;
        ASSERT_EQ(sqlite3_open_v2(fresh.path.c_str(), &conn, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        std::string report;
        EXPECT_EQ(Database::check_integrity(conn, &report),
                  std::strcmp(row.finding, "ok") == 0 ? 0 : -1);
        EXPECT_NE(report.find(row.finding), std::string::npos) << report;
        sqlite3_close(conn);
        // Writers do not open a database of another schema version either.
        EXPECT_EQ(Database::sqlite_conn_rw(fresh.path.c_str(), &conn) == 0,
                  std::strstr(row.finding, "schema") == nullptr);
        Database::sqlite_disconn(conn);
    }
    EXPECT_EQ(Database::check_integrity(nullptr, nullptr), -1);
}

TEST(Database, init_fails_when_the_temporary_folder_is_not_usable) {
    lpr_test::TempDir dir;
    std::ofstream(dir.file("plain")) << "x";
    struct Row {
        const char* sqliteTmp;  // null: unset
        const char* tmp;
        int rc;
    } rows[] = {
        {"missing", nullptr, -1}, {"plain", nullptr, -1}, {nullptr, "missing", -1},
        {"", "missing", -1},      {".", "missing", 0},    {nullptr, ".", 0},
        {nullptr, nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.sqliteTmp ? row.sqliteTmp : "(unset)") + " / " +
                     (row.tmp ? row.tmp : "(unset)"));
        auto set = [&dir](const char* var, const char* name) {
            if (name == nullptr) {
                unsetenv(var);
            } else {
                std::string value = *name == '\0' ? "" : *name == '.' ? dir.path() : dir.file(name);
                setenv(var, value.c_str(), 1);
            }
        };
        set("SQLITE_TMPDIR", row.sqliteTmp);
        set("TMPDIR", row.tmp);
        EXPECT_EQ(Database::get_instance().init(), row.rc) << Database::last_error();
        // A failed init is not counted.
        EXPECT_EQ(Database::get_instance().uninit(1), row.rc);
    }
}

TEST(Database, the_last_uninit_shuts_sqlite_down_only_when_no_connection_is_open) {
    // sqlite3_config succeeds only while SQLite is shut down.
    auto shut_down = [] { return sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1) == SQLITE_OK; };
    Database& db = Database::get_instance();
    Db file;
    ASSERT_EQ(db.init(), 0);
    ASSERT_EQ(db.init(), 0);
    EXPECT_EQ(db.uninit(1), 0);
    EXPECT_FALSE(shut_down());
    EXPECT_EQ(db.uninit(1), 0);
    EXPECT_TRUE(shut_down());
    EXPECT_EQ(db.uninit(1), -1);

    sqlite3* conn = nullptr;
    ASSERT_EQ(db.init(), 0);
    ASSERT_EQ(Database::sqlite_conn(file.path.c_str(), "qzdb", &conn), 0);
    EXPECT_EQ(db.uninit(1), 0);
    EXPECT_FALSE(shut_down());
    lpr_advanced_t adv;
    EXPECT_EQ(db.get_lpr_advanced(&adv, conn), 0);
    EXPECT_EQ(Database::sqlite_disconn(conn), 0);

    ASSERT_EQ(db.init(), 0);
    EXPECT_EQ(db.uninit(0), 0);
    EXPECT_FALSE(shut_down());
}

TEST(Database, readers_on_several_threads_meet_init_and_uninit_safely) {
    Db file;
    lpr_advanced_t expected;
    Database::default_lpr_advanced(&expected);
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                sqlite3* conn = nullptr;
                lpr_advanced_t adv;
                if (Database::sqlite_conn(file.path.c_str(), "qzdb", &conn) != 0 ||
                    Database::get_instance().get_lpr_advanced(&adv, conn) != 0 ||
                    bytes_of(adv) != bytes_of(expected)) {
                    ++failures;
                }
                Database::sqlite_disconn(conn);
            }
        });
    }
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(Database::get_instance().init(), 0);
        ASSERT_EQ(Database::get_instance().uninit(1), 0);
    }
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures, 0);
}

TEST(Database, an_allocation_failure_anywhere_in_a_call_is_a_minus_one_that_leaves_nothing) {
    Db db;
    const std::string fresh = db.dir.file("fresh.db");
    lpr_advanced_t oldAdv, adv, gotAdv;
    VEHICLE_COUNT_SETTING oldVcs, vcs, gotVcs;
    ASSERT_EQ(db.read(&oldAdv, &oldVcs), 0);
    adv = oldAdv;
    vcs = oldVcs;
    adv.osd_font_size = 4;
    vcs.postSetting.cameraPort = 8080;
    Database& d = Database::get_instance();
    // Each call must not allocate outside the component: the test's own lambdas hold
    // no strings.
    struct Row {
        const char* name;
        std::function<int()> call;
        std::function<bool()> intactAfterFailure;
    } rows[] = {
        {"create_default", [&] { return Database::create_default(fresh.c_str()); },
         [&] { return !exists(fresh) && !exists(fresh + "-journal"); }},
        {"read both records",
         [&] {
             Database::Connection conn;
             return conn.open(db.path.c_str(), "qzdb") == 0 &&
                            d.get_lpr_advanced(&gotAdv, conn.get()) == 0 &&
                            d.get_lpr_vehicle_count(&gotVcs, conn.get()) == 0
                        ? 0
                        : -1;
         },
         [] { return true; }},
        {"store both records in one transaction",
         [&] {
             Database::Connection conn;
             if (conn.open_rw(db.path.c_str()) != 0) {
                 return -1;
             }
             Database::Transaction txn(conn.get(), Database::Transaction::WRITE);
             return d.set_lpr_advanced(&adv, conn.get()) == 0 &&
                            d.set_lpr_vehicle_count(&vcs, conn.get()) == 0
                        ? txn.commit()
                        : -1;
         },
         [&] {
             return db.read(&gotAdv, &gotVcs) == 0 && bytes_of(gotAdv) == bytes_of(oldAdv) &&
                    bytes_of(gotVcs) == bytes_of(oldVcs);
         }},
        {"check_integrity",
         [&] {
             Database::Connection conn;
             std::string report;
             return conn.open(db.path.c_str(), "qzdb") == 0
                        ? Database::check_integrity(conn.get(), &report)
                        : -1;
         },
         [] { return true; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (long n = 0;; ++n) {
            s_allocationFailed = false;
            s_allocationsBeforeFailure = n;
            int rc = row.call();
            s_allocationsBeforeFailure = -1;
            if (!s_allocationFailed) {
                EXPECT_EQ(rc, 0) << Database::last_error();
                break;
            }
            ASSERT_EQ(rc, -1) << "allocation " << n;
            EXPECT_NE(std::strstr(Database::last_error(), "out of memory"), nullptr)
                << "allocation " << n << ": " << Database::last_error();
            EXPECT_TRUE(row.intactAfterFailure()) << "allocation " << n;
        }
    }
    ASSERT_EQ(db.read(&gotAdv, &gotVcs), 0);
    EXPECT_EQ(bytes_of(gotAdv), bytes_of(adv));
    EXPECT_EQ(bytes_of(gotVcs), bytes_of(vcs));
    // No connection was left open on the way: the last uninit shuts SQLite down.
    ASSERT_EQ(d.init(), 0);
    EXPECT_EQ(d.uninit(1), 0);
    EXPECT_EQ(sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 1), SQLITE_OK);
}
