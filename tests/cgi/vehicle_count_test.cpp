// The vehicle-count read and write actions through the real start-up (a settings
// database on disk, the real bus client) and lpr_cgi_handle: exact reply bytes, the
// record bytes in the cache and on the bus, and what an error leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "library_call.h"
#include "lpr_cgi_internal.h"

namespace {

using lpr_test::bytes_of;
using lpr_test::invalid_reply;
using lpr_test::kOk;
using lpr_test::refused;
using Record = VEHICLE_COUNT_SETTING;

// Every byte that no field covers, text tails included, is 0xA5: a write must keep them.
// Field by field: assigning a whole member could overwrite its gap bytes.
Record seed() {
    Record r;
    std::memset(&r, 0xA5, sizeof r);
    LPR_VEHICLE_COUNTING& c = r.countInfo;
    c.enable = 1, c.showInfo = 0, c.infoTableLeft = 10, c.infoTableTop = 20;
    c.countType = VEHICLE_COUNT_WITH_SIZE, c.autoReset = 1, c.resetDayType = 3;
    c.resetHour = 4, c.resetMin = 5, c.resetSec = 6, c.crossRegion = 1;
    VEHICLE_POST_SETTING& p = r.postSetting;
    p.enable = 1, p.postMode = MSG_POST_CUSTOMIZE, p.postInterval = VEHICLE_COUNT_POST_EVERY_HOUR;
    p.attachSnapshot = 1, p.postType = 0, p.timeHour = 7, p.timeMin = 8, p.timeSec = 9;
    p.cameraPort = 8080;
    for (int i = 0; i < 3; ++i) {
        p.httpEnable[i] = i == 1;
        std::snprintf(p.url[i], 1024, "http://host%d/count", i);
        std::snprintf(p.user[i], 94, "user%d", i);
        std::snprintf(p.password[i], 64, "pass%d", i);
    }
    return r;
}

// The read document of seed(), as a client receives it.
const std::string kSeedDocument =
    R"({"enable":1,"showInformation":0,"crossRegionRepeatCounting":1,"countType":1,)"
    R"("autoReset":1,"resetDayType":3,"resetHour":4,"resetMin":5,"resetSec":6,)"
    R"("infoTableLeft":10,"infoTableTop":20,"enablePost":1,"postMode":1,"attachSnapshot":1,)"
    R"("postType":0,"timeHour":7,"timeMin":8,"timeSec":9,"cameraPort":8080,"interval":1,)"
    R"("httpUrl":"http://host0/count","userName":"user0","password":"pass0","httpList":[)"
    R"({"index":0,"enable":0,"url":"http://host0/count","user":"user0","password":"pass0"},)"
    R"({"index":1,"enable":1,"url":"http://host1/count","user":"user1","password":"pass1"},)"
    R"({"index":2,"enable":0,"url":"http://host2/count","user":"user2","password":"pass2"}]})";

class VehicleCount : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(lib.listen());
        lpr_test::put_cached(seed());
    }
    // A write of body over the seed record answers reply and leaves want.
    void expect_write(const std::string& body, const std::string& reply, const Record& want) {
        lpr_test::put_cached(seed());
        lib.expect_write("count.set", body.c_str(), static_cast<int32_t>(body.size()), reply, want,
                         LPR_BUS_TOPIC_COUNT);
    }
    lpr_test::SettingsLibrary lib;
};

}  // namespace

TEST_F(VehicleCount, read_reports_the_cached_record_and_written_back_stores_it_again) {
    // Values the write refuses but the database may hold are reported as stored:
    // enumerations unsigned, autoReset and cameraPort signed, texts without a NUL up
    // to the end of their array (url[1] is followed by url[2]'s different text).
    Record odd = seed();
    std::memset(&odd.countInfo.countType, 0xFF, 4);
    odd.countInfo.autoReset = -7;
    odd.postSetting.postInterval = VEHICLE_COUNT_POST_EVERY_MIN_30;
    odd.postSetting.cameraPort = -1;
    std::memset(odd.postSetting.url[1], 'u', 1024);
    std::string oddDocument = kSeedDocument;
    for (const auto& change : std::vector<std::pair<std::string, std::string>>{
             {R"("countType":1,"autoReset":1,)", R"("countType":4294967295,"autoReset":-7,)"},
             {R"("cameraPort":8080,"interval":1,)", R"("cameraPort":-1,"interval":6,)"},
             {"http://host1/count", std::string(1024, 'u')}}) {
        oddDocument.replace(oddDocument.find(change.first), change.first.size(), change.second);
    }
    for (const auto& row :
         {std::make_pair(seed(), kSeedDocument), std::make_pair(odd, oddDocument)}) {
        lpr_test::put_cached(row.first);
        for (const char* body : {static_cast<const char*>(nullptr), "garbage", R"({"enable":1})"}) {
            lpr_test::Reply reply = lpr_test::call("count.get", QZ_HTTP_GET, body, body ? 5 : 0);
            EXPECT_EQ(reply.rc, 0);
            EXPECT_EQ(reply.code, 200);
            EXPECT_EQ(reply.body, row.second);
        }
    }
    EXPECT_TRUE(lib.published().empty());  // reads publish nothing
    // The read document written back stores the same record; an all-zero record has port
    // 0, which a write refuses.
    lpr_test::put_cached(seed());
    expect_write(lpr_test::get("count.get").body, kOk, seed());
    lpr_test::put_cached(Record{});
    const std::string zero = lpr_test::get("count.get").body;
    lib.expect_write("count.set", zero.c_str(), static_cast<int32_t>(zero.size()),
                     invalid_reply("cameraPort"), Record{}, LPR_BUS_TOPIC_COUNT);
}

TEST_F(VehicleCount, every_number_accepts_both_bounds_and_refuses_what_lies_outside) {
    struct Row {
        const char* key;
        size_t offset;
        size_t width;
        uint32_t min;
        uint32_t max;
    } rows[] = {
        // clang-format off
        {"enable", 0, 1, 0, 1}, {"showInformation", 1, 1, 0, 1},
        {"crossRegionRepeatCounting", 16, 1, 0, 1}, {"countType", 4, 4, 0, 1},
        {"autoReset", 8, 4, 0, 1}, {"resetDayType", 12, 1, 0, 7}, {"resetHour", 13, 1, 0, 23},
        {"resetMin", 14, 1, 0, 59}, {"resetSec", 15, 1, 0, 59}, {"infoTableLeft", 2, 1, 0, 100},
        {"infoTableTop", 3, 1, 0, 100}, {"enablePost", 20, 1, 0, 1}, {"postMode", 24, 4, 0, 1},
        {"attachSnapshot", 32, 1, 0, 1}, {"postType", 33, 1, 0, 1}, {"timeHour", 34, 1, 0, 23},
        {"timeMin", 35, 1, 0, 59}, {"timeSec", 36, 1, 0, 59}, {"cameraPort", 40, 4, 1, 65535},
        {"interval", 28, 4, 0, 1},
        // clang-format on
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        const std::string key = std::string("{\"") + row.key + "\":";
        for (uint32_t value : {row.min, row.max}) {
            Record want = seed();
            std::memcpy(reinterpret_cast<char*>(&want) + row.offset, &value, row.width);
            expect_write(key + std::to_string(value) + "}", kOk, want);
        }
        std::vector<std::string> bad = {std::to_string(row.max + 1), "-1", "1e10"};
        if (row.min > 0) {
            bad.push_back(std::to_string(row.min - 1));
        }
        for (const std::string& value : bad) {
            expect_write(key + value + "}", invalid_reply(row.key), seed());
        }
    }
}

TEST_F(VehicleCount, refusals_name_the_first_failing_member_in_table_order_and_change_nothing) {
    // clang-format off
    const struct {
        const char* body;
        int32_t len;  // -2: the body's own length
        std::string reply;
    } rows[] = {
        {nullptr, 0, refused("Empty body")}, {R"({"enable":1})", 0, refused("Empty body")},
        {R"({"enable":1})", -1, refused("Empty body")}, {R"({"enable":)", -2, refused("Invalid JSON")},
        {"enable=1", -2, refused("Invalid JSON")},
        {R"({"timeSec":99,"enable":5})", -2, invalid_reply("enable")},
        {R"({"httpList":[{"enable":2}],"cameraPort":0})", -2, invalid_reply("cameraPort")},
        {R"({"interval":1,"httpUrl":"http://x","httpList":[{"enable":0},{"enable":2}]})", -2,
         invalid_reply("httpList.enable")},
        {R"({"httpList":[{"enable":-1}]})", -2, invalid_reply("httpList.enable")},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body != nullptr ? row.body : "<null>");
        lib.expect_write("count.set", row.body,
                         row.len == -2 ? static_cast<int32_t>(std::strlen(row.body)) : row.len,
                         row.reply, seed(), LPR_BUS_TOPIC_COUNT);
    }
    // Without a request record at all.
    LprCgiRespInternal resp;
    EXPECT_EQ(set_vehicle_count_handler(nullptr, &resp), 0);
    EXPECT_EQ(*resp.m_bodyHolder, refused("Empty body"));
}

TEST_F(VehicleCount, accepted_writes_store_and_publish_exactly_the_changed_record) {
    auto put = [](char* field, size_t size, const std::string& s) {
        std::memcpy(field, s.c_str(), std::min(s.size(), size - 1));
        field[std::min(s.size(), size - 1)] = '\0';  // the old tail stays behind the NUL
    };
    std::string e1200;
    while (e1200.size() < 1200) {
        e1200 += "\xc3\xa9";  // two-byte characters: the cut falls inside one
    }
    const std::string b100(100, 'b'), c70(70, 'c');
    const struct {
        std::string body;
        std::function<void(Record&)> change;
    } rows[] = {
        // clang-format off
        {"{}", [](Record&) {}}, {"[1,2]", [](Record&) {}},
        {R"({"enable":true,"showInformation":"1","resetHour":null,"httpUrl":5,"userName":[],)"
         R"("httpList":{"url":"x"},"httpList":[{"enable":"0","url":1,"password":{}}]})",
         [](Record&) {}},
        {R"({"enable":0.9,"resetHour":-0.5,"cameraPort":80.7})", [](Record& r) {
             r.countInfo.enable = 0, r.countInfo.resetHour = 0, r.postSetting.cameraPort = 80; }},
        {R"({"ENABLE":0,"Enable":1,"CameraPort":99})",
         [](Record& r) { r.countInfo.enable = 0, r.postSetting.cameraPort = 99; }},
        {R"({"enable":0} trailing text)", [](Record& r) { r.countInfo.enable = 0; }},
        {R"({"httpUrl":"http://new"})", [&](Record& r) {
             put(r.postSetting.url[0], 1024, "http://new"), r.postSetting.httpEnable[0] = 1; }},
        {R"({"httpUrl":"a","userName":"u","password":"p","httpList":[{"enable":0,"url":"b","user":"v"}]})",
         [&](Record& r) { put(r.postSetting.url[0], 1024, "b"), put(r.postSetting.user[0], 94, "v");
             put(r.postSetting.password[0], 64, "p"); }},
        {R"({"httpList":[{"index":2,"enable":1,"url":"s0"},"x",{"enable":0,"user":"s2"},{"url":"s3"}]})",
         [&](Record& r) { r.postSetting.httpEnable[0] = 1, put(r.postSetting.url[0], 1024, "s0");
             r.postSetting.httpEnable[2] = 0, put(r.postSetting.user[2], 94, "s2"); }},
        // Texts are cut to their arrays by bytes, inside a character if need be.
        {R"({"httpList":[{},{},{"url":")" + e1200 + R"(","user":")" + b100 + R"(","password":")" +
             c70 + R"("}]})", [&](Record& r) { put(r.postSetting.url[2], 1024, e1200),
             put(r.postSetting.user[2], 94, b100), put(r.postSetting.password[2], 64, c70); }},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 120));
        Record want = seed();
        row.change(want);
        expect_write(row.body, kOk, want);
    }
}
