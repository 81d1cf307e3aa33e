// The settings cache against real settings databases: what load reads, logs and leaves
// behind on each path.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "library_call.h"

namespace {

using lpr_test::bytes_of;

template <typename T>
std::string filled(unsigned char byte) {
    T record;
    std::memset(&record, byte, sizeof record);
    lpr_test::put_cached(record);
    return bytes_of(record);
}

}  // namespace

TEST(Cache, each_load_reports_and_leaves_the_records_the_documented_way) {
    const struct {
        const char* name;
        const char* damage;  // SQL applied, "null" or "absent" for the path
        int line;            // 0: no log line
        const char* message;
        bool advancedKept, countKept;
    } rows[] = {
        {"sound database", "", 59, "loaded from ", false, false},
        {"null path", "null", 0, "", true, true},
        {"missing file", "absent", 41, "failed to open ", true, true},
        {"advanced unreadable", "DROP TABLE lpr_advanced", 47, "failed to read lpr_advanced from ",
         false, true},
        // The advanced record was loaded before the count read failed.
        {"count unreadable", "DROP TABLE vehicle_count", 53,
         "failed to read lpr_vehicle_count from ", false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        lpr_test::SettingsFile db;
        db.exec(
            "UPDATE lpr_advanced SET snap_device_id = 'cam-7'; UPDATE vehicle_post_http SET "
            "url = 'http://10.0.0.7/' WHERE slot = 1");
        const std::string damage = row.damage,
                          path = damage == "absent" ? db.dir.file("x.db") : db.path;
        if (damage.find(' ') != std::string::npos) {
            db.exec(damage);
        }
        const std::string advBefore = filled<lpr_advanced_t>(0x11);
        const std::string countBefore = filled<VEHICLE_COUNT_SETTING>(0x22);
        int rc = 1;
        const std::vector<std::string> lines = lpr_test::logged([&] {
            rc = lpr::LprCgiCache::get_instance().load(damage == "null" ? nullptr : path.c_str());
        });
        EXPECT_EQ(rc, damage.empty() ? 0 : -1);
        EXPECT_EQ(lines, row.line == 0
                             ? std::vector<std::string>{}
                             : std::vector<std::string>{
                                   "lpr_cgi_cache: " + std::string(row.message) + path +
                                   "==func:load file:lib/src/cgi/lpr_cgi_cache.cpp line:" +
                                   std::to_string(row.line)});
        const lpr_advanced_t adv = lpr_test::cached<lpr_advanced_t>();
        const VEHICLE_COUNT_SETTING vcs = lpr_test::cached<VEHICLE_COUNT_SETTING>();
        EXPECT_EQ(bytes_of(adv) == advBefore, row.advancedKept);
        EXPECT_EQ(bytes_of(vcs) == countBefore, row.countKept);
        if (row.line == 59 || row.line == 53) {
            EXPECT_STREQ(adv.snap_device_id, "cam-7");
        }
        if (damage.empty()) {
            // The cache holds exactly what the database component reads.
            Database::Connection conn;
            ASSERT_EQ(conn.open(path.c_str(), "qzdb"), 0);
            lpr_advanced_t dbAdv;
            VEHICLE_COUNT_SETTING dbVcs;
            ASSERT_EQ(Database::get_instance().get_lpr_advanced(&dbAdv, conn.get()), 0);
            ASSERT_EQ(Database::get_instance().get_lpr_vehicle_count(&dbVcs, conn.get()), 0);
            EXPECT_EQ(bytes_of(adv), bytes_of(dbAdv));
            EXPECT_EQ(bytes_of(vcs), bytes_of(dbVcs));
            EXPECT_STREQ(vcs.postSetting.url[1], "http://10.0.0.7/");
        }
        EXPECT_EQ(std::ifstream(path).good(), damage != "absent") << "reading created the file";
    }
}
