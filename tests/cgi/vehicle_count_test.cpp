// The vehicle-count read and write actions through the real start-up (a settings
// database on disk, the real bus client) and lpr_cgi_handle: exact reply bytes, the
// record bytes at their offsets in the cache and on the bus, and what an error leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Database.h"
#include "library_call.h"
#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_zmq.h"
#include "test_support.h"

namespace {

using lpr_test::bytes_of;
using Record = VEHICLE_COUNT_SETTING;

const std::string kOk = "{\"code\":200,\"msg\":\"OK\"}";

std::string invalid(const std::string& key) {
    return "{\"code\":400,\"msg\":\"Invalid parameter: " + key + "\"}";
}
std::string refused(const std::string& msg) {
    return "{\"code\":400,\"msg\":\"" + msg + "\"}";
}

using lpr_test::Reply;

Reply call(const char* action, int32_t method, const char* body, int32_t len) {
    std::string copy = body != nullptr ? body : "";
    return lpr_test::call_library(action, method, body != nullptr ? &copy[0] : nullptr, len, 1);
}
Reply write(const std::string& body) {
    return call("vc.set", QZ_HTTP_POST, body.c_str(), static_cast<int32_t>(body.size()));
}
Reply read(const char* body = nullptr) {
    return call("vc.get", body != nullptr ? QZ_HTTP_POST : QZ_HTTP_GET, body,
                body != nullptr ? static_cast<int32_t>(std::strlen(body)) : 0);
}

Record cached() {
    Record r;
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(r);
    return r;
}
void cache(const Record& r) {
    lpr::LprCgiCache::get_instance().set_vehicle_count_setting(r);
}

// Offset of the first byte where a and b differ, -1 when equal.
long first_difference(const std::string& a, const std::string& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        if (a[i] != b[i]) {
            return static_cast<long>(i);
        }
    }
    return a.size() == b.size() ? -1 : static_cast<long>(std::min(a.size(), b.size()));
}

// Every byte that no field covers, text tails included, is 0xA5: a write must keep them.
Record seed() {
    Record r;
    std::memset(&r, 0xA5, sizeof r);
    // Field by field: assigning a whole member could overwrite its gap bytes.
    r.countInfo.enable = 1;
    r.countInfo.showInfo = 0;
    r.countInfo.infoTableLeft = 10;
    r.countInfo.infoTableTop = 20;
    r.countInfo.countType = VEHICLE_COUNT_WITH_SIZE;
    r.countInfo.autoReset = 1;
    r.countInfo.resetDayType = 3;
    r.countInfo.resetHour = 4;
    r.countInfo.resetMin = 5;
    r.countInfo.resetSec = 6;
    r.countInfo.crossRegion = 1;
    r.postSetting.enable = 1;
    r.postSetting.postMode = MSG_POST_CUSTOMIZE;
    r.postSetting.postInterval = VEHICLE_COUNT_POST_EVERY_HOUR;
    r.postSetting.attachSnapshot = 1;
    r.postSetting.postType = 0;
    r.postSetting.timeHour = 7;
    r.postSetting.timeMin = 8;
    r.postSetting.timeSec = 9;
    r.postSetting.cameraPort = 8080;
    for (int i = 0; i < 3; ++i) {
        r.postSetting.httpEnable[i] = i == 1;
        std::snprintf(r.postSetting.url[i], 1024, "http://host%d/count", i);
        std::snprintf(r.postSetting.user[i], 94, "user%d", i);
        std::snprintf(r.postSetting.password[i], 64, "pass%d", i);
    }
    return r;
}

// The read document as this test expects it, written out member by member.
template <size_t N>
std::string text(const char (&field)[N]) {
    return "\"" + std::string(field, strnlen(field, N)) + "\"";
}
template <typename T>
std::string u32(const T& field) {
    uint32_t v;
    std::memcpy(&v, &field, 4);
    return std::to_string(v);
}
std::string doc_of(const Record& r) {
    const auto& c = r.countInfo;
    const auto& p = r.postSetting;
    std::string d =
        "{\"enable\":" + std::to_string(c.enable) +
        ",\"showInformation\":" + std::to_string(c.showInfo) +
        ",\"crossRegionRepeatCounting\":" + std::to_string(c.crossRegion) +
        ",\"countType\":" + u32(c.countType) + ",\"autoReset\":" + std::to_string(c.autoReset) +
        ",\"resetDayType\":" + std::to_string(c.resetDayType) +
        ",\"resetHour\":" + std::to_string(c.resetHour) +
        ",\"resetMin\":" + std::to_string(c.resetMin) +
        ",\"resetSec\":" + std::to_string(c.resetSec) +
        ",\"infoTableLeft\":" + std::to_string(c.infoTableLeft) +
        ",\"infoTableTop\":" + std::to_string(c.infoTableTop) +
        ",\"enablePost\":" + std::to_string(p.enable) + ",\"postMode\":" + u32(p.postMode) +
        ",\"attachSnapshot\":" + std::to_string(p.attachSnapshot) +
        ",\"postType\":" + std::to_string(p.postType) +
        ",\"timeHour\":" + std::to_string(p.timeHour) +
        ",\"timeMin\":" + std::to_string(p.timeMin) + ",\"timeSec\":" + std::to_string(p.timeSec) +
        ",\"cameraPort\":" + std::to_string(p.cameraPort) + ",\"interval\":" + u32(p.postInterval) +
        ",\"httpUrl\":" + text(p.url[0]) + ",\"userName\":" + text(p.user[0]) +
        ",\"password\":" + text(p.password[0]) + ",\"httpList\":[";
    for (int i = 0; i < 3; ++i) {
        d += std::string(i > 0 ? "," : "") + "{\"index\":" + std::to_string(i) +
             ",\"enable\":" + std::to_string(p.httpEnable[i]) + ",\"url\":" + text(p.url[i]) +
             ",\"user\":" + text(p.user[i]) + ",\"password\":" + text(p.password[i]) + "}";
    }
    return d + "]}";
}

class VehicleCount : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Database::create_default(m_db.c_str()), 0);
        {
            lpr_test::StdoutCapture quiet;
            ASSERT_EQ(lpr_cgi_init(m_db.c_str()), 0);
        }
        ASSERT_EQ(lpr_cgi_register_action("vc.get", get_vehicle_count_handler, 1, 3), 0);
        ASSERT_EQ(lpr_cgi_register_action("vc.set", set_vehicle_count_handler, 1, 2), 0);
        m_bus = std::make_unique<lpr_test::BusListener>(LPR_BUS_ENDPOINT_WEBSERVER);
        ASSERT_TRUE(
            m_bus->wait_connected([] { lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "p", 1); }));
    }
    void TearDown() override {
        lpr_test::StdoutCapture quiet;
        lpr_cgi_uninit();
    }

    // Messages published since the last call: a marker sent after them closes the list.
    std::vector<lpr_test::BusMessage> published() {
        lpr_zmq_publish_to("marker", LPR_ZMQ_TARGET_BUS, "m", 1);
        std::vector<lpr_test::BusMessage> got;
        lpr_test::BusMessage msg;
        while (m_bus->receive(&msg) && msg.topic() != "marker") {
            got.push_back(msg);
        }
        EXPECT_EQ(msg.topic(), "marker");
        return got;
    }
    // The cache holds want, and exactly one bus message carried the same bytes.
    void expect_stored(const Record& want) {
        EXPECT_EQ(first_difference(bytes_of(cached()), bytes_of(want)), -1);
        auto msgs = published();
        ASSERT_EQ(msgs.size(), 1u);
        EXPECT_EQ(msgs[0].topic(), LPR_BUS_TOPIC_COUNT);
        EXPECT_EQ(first_difference(msgs[0].payload(), bytes_of(want)), -1);
    }
    void expect_untouched(const Record& before) {
        EXPECT_EQ(first_difference(bytes_of(cached()), bytes_of(before)), -1);
        EXPECT_TRUE(published().empty());
    }

    lpr_test::TempDir m_dir;
    std::string m_db = m_dir.file("settings.db");
    std::unique_ptr<lpr_test::BusListener> m_bus;
};

}  // namespace

TEST_F(VehicleCount, read_reports_the_cached_record_in_document_order) {
    Record fromDb;
    Database::default_vehicle_count(&fromDb);
    EXPECT_EQ(read().body, doc_of(fromDb));  // what start-up loaded

    cache(Record{});
    const std::string zero =
        "{\"enable\":0,\"showInformation\":0,\"crossRegionRepeatCounting\":0,\"countType\":0,"
        "\"autoReset\":0,\"resetDayType\":0,\"resetHour\":0,\"resetMin\":0,\"resetSec\":0,"
        "\"infoTableLeft\":0,\"infoTableTop\":0,\"enablePost\":0,\"postMode\":0,"
        "\"attachSnapshot\":0,\"postType\":0,\"timeHour\":0,\"timeMin\":0,\"timeSec\":0,"
        "\"cameraPort\":0,\"interval\":0,\"httpUrl\":\"\",\"userName\":\"\",\"password\":\"\","
        "\"httpList\":[{\"index\":0,\"enable\":0,\"url\":\"\",\"user\":\"\",\"password\":\"\"},"
        "{\"index\":1,\"enable\":0,\"url\":\"\",\"user\":\"\",\"password\":\"\"},"
        "{\"index\":2,\"enable\":0,\"url\":\"\",\"user\":\"\",\"password\":\"\"}]}";
    ASSERT_EQ(doc_of(Record{}), zero);

    // Values the write refuses but the database may hold are reported as stored:
    // enumerations unsigned, autoReset and cameraPort signed, texts without a NUL up
    // to the end of their array (url[1] is followed by url[2]'s different text).
    Record odd = seed();
    std::memset(&odd.countInfo.countType, 0xFF, 4);
    odd.countInfo.autoReset = -7;
    odd.countInfo.infoTableLeft = 255;
    odd.postSetting.postInterval = VEHICLE_COUNT_POST_EVERY_MIN_30;
    odd.postSetting.cameraPort = -1;
    std::memset(odd.postSetting.url[1], 'u', 1024);
    std::memset(odd.postSetting.user[2], 'v', 94);
    std::memset(odd.postSetting.password[0], 'w', 64);
    std::string longUrl(1023, 'L');
    Record full = seed();
    std::memcpy(full.postSetting.url[0], longUrl.c_str(), 1024);

    for (const Record& r : {Record{}, seed(), odd, full}) {
        cache(r);
        for (const char* body : {static_cast<const char*>(nullptr), "garbage", "{\"enable\":1}"}) {
            Reply reply = read(body);
            EXPECT_EQ(reply.rc, 0);
            EXPECT_EQ(reply.code, 200);
            EXPECT_EQ(reply.body, doc_of(r));
        }
    }
    EXPECT_NE(doc_of(odd).find("\"countType\":4294967295,\"autoReset\":-7,"), std::string::npos);
    EXPECT_NE(doc_of(odd).find("\"url\":\"" + std::string(1024, 'u') + "\",\"user\":\"user1\""),
              std::string::npos);
    EXPECT_NE(doc_of(full).find("\"httpUrl\":\"" + longUrl + "\""), std::string::npos);
    EXPECT_TRUE(published().empty());  // reads publish nothing
}

TEST_F(VehicleCount, every_number_accepts_both_bounds_and_refuses_what_lies_outside) {
    struct Row {
        const char* key;
        size_t offset;
        size_t width;
        uint32_t min;
        uint32_t max;
    } rows[] = {
        {"enable", 0, 1, 0, 1},
        {"showInformation", 1, 1, 0, 1},
        {"crossRegionRepeatCounting", 16, 1, 0, 1},
        {"countType", 4, 4, 0, 1},
        {"autoReset", 8, 4, 0, 1},
        {"resetDayType", 12, 1, 0, 7},
        {"resetHour", 13, 1, 0, 23},
        {"resetMin", 14, 1, 0, 59},
        {"resetSec", 15, 1, 0, 59},
        {"infoTableLeft", 2, 1, 0, 100},
        {"infoTableTop", 3, 1, 0, 100},
        {"enablePost", 20, 1, 0, 1},
        {"postMode", 24, 4, 0, 1},
        {"attachSnapshot", 32, 1, 0, 1},
        {"postType", 33, 1, 0, 1},
        {"timeHour", 34, 1, 0, 23},
        {"timeMin", 35, 1, 0, 59},
        {"timeSec", 36, 1, 0, 59},
        {"cameraPort", 40, 4, 1, 65535},
        {"interval", 28, 4, 0, 1},
    };
    cache(seed());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        const std::string key = std::string("\"") + row.key + "\":";
        for (uint32_t value : {row.min, row.max}) {
            Record want = cached();
            uint32_t le = value;  // the record is little-endian
            std::memcpy(reinterpret_cast<char*>(&want) + row.offset, &le, row.width);
            EXPECT_EQ(write("{" + key + std::to_string(value) + "}").body, kOk);
            expect_stored(want);
        }
        std::vector<std::string> bad = {std::to_string(row.max + 1), "-1", "1e10"};
        if (row.min > 0) {
            bad.push_back(std::to_string(row.min - 1));
        }
        for (const std::string& value : bad) {
            Record before = cached();
            Reply reply = write("{" + key + value + "}");
            EXPECT_EQ(reply.rc, 0);
            EXPECT_EQ(reply.code, 400);
            EXPECT_EQ(reply.body, invalid(row.key)) << value;
            expect_untouched(before);
        }
    }
}

TEST_F(VehicleCount, refusals_name_the_first_failing_member_in_table_order_and_change_nothing) {
    struct Row {
        const char* body;
        int32_t len;  // -2: the body's own length
        std::string reply;
    } rows[] = {
        {nullptr, 0, refused("Empty body")},
        {"{\"enable\":1}", 0, refused("Empty body")},
        {"{\"enable\":1}", -1, refused("Empty body")},
        {"{\"enable\":", -2, refused("Invalid JSON")},
        {"enable=1", -2, refused("Invalid JSON")},
        {"{\"timeSec\":99,\"enable\":5}", -2, invalid("enable")},
        {"{\"enable\":5,\"timeSec\":99}", -2, invalid("enable")},
        {"{\"httpList\":[{\"enable\":2}],\"cameraPort\":0}", -2, invalid("cameraPort")},
        {"{\"interval\":1,\"httpUrl\":\"http://x\",\"httpList\":[{\"enable\":0},{\"enable\":2}]}",
         -2, invalid("httpList.enable")},
        {"{\"httpList\":[{\"enable\":-1}]}", -2, invalid("httpList.enable")},
    };
    cache(seed());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body != nullptr ? row.body : "<null>");
        int32_t len = row.len == -2 ? static_cast<int32_t>(std::strlen(row.body)) : row.len;
        Reply reply = call("vc.set", QZ_HTTP_POST, row.body, len);
        EXPECT_EQ(reply.rc, 0);
        EXPECT_EQ(reply.code, 400);
        EXPECT_EQ(reply.body, row.reply);
        expect_untouched(seed());
    }
    // Without a request record at all.
    LprCgiRespInternal resp;
    EXPECT_EQ(set_vehicle_count_handler(nullptr, &resp), 0);
    EXPECT_EQ(resp.m_code, 400);
    EXPECT_EQ(*resp.m_bodyHolder, refused("Empty body"));
    expect_untouched(seed());
}

TEST_F(VehicleCount, accepted_writes_store_and_publish_exactly_the_changed_record) {
    auto put = [](char* field, size_t size, const std::string& s) {
        std::memcpy(field, s.c_str(), std::min(s.size(), size - 1));
        field[std::min(s.size(), size - 1)] = '\0';  // the old tail stays behind the NUL
    };
    using Change = std::function<void(Record&)>;
    const std::string a2000(2000, 'a'), b100(100, 'b'), c70(70, 'c'), e1200 = [] {
        std::string s;
        while (s.size() < 1200) {
            s += "\xc3\xa9";  // two-byte characters: the cut falls inside one
        }
        return s;
    }();
    struct Row {
        std::string body;
        Change change;
    } rows[] = {
        {"{}", [](Record&) {}},
        {"[1,2]", [](Record&) {}},
        {"\"enable\"", [](Record&) {}},
        {"7", [](Record&) {}},
        {"null", [](Record&) {}},
        {"{\"enable\":true,\"showInformation\":\"1\",\"resetHour\":null,\"httpUrl\":5,"
         "\"userName\":[],\"httpList\":{\"url\":\"x\"}}",
         [](Record&) {}},
        {"{\"enable\":0.9,\"resetHour\":-0.5,\"cameraPort\":80.7}",
         [](Record& r) {
             r.countInfo.enable = 0;
             r.countInfo.resetHour = 0;
             r.postSetting.cameraPort = 80;
         }},
        {"{\"ENABLE\":0,\"Enable\":1,\"CameraPort\":99}",
         [](Record& r) {
             r.countInfo.enable = 0;
             r.postSetting.cameraPort = 99;
         }},
        {"{\"enable\":0} trailing text", [](Record& r) { r.countInfo.enable = 0; }},
        {"{\"httpUrl\":\"http://new\"}",
         [&](Record& r) {
             put(r.postSetting.url[0], 1024, "http://new");
             r.postSetting.httpEnable[0] = 1;
         }},
        {"{\"httpUrl\":\"http://new\",\"httpList\":[{\"enable\":0}]}",
         [&](Record& r) { put(r.postSetting.url[0], 1024, "http://new"); }},
        {"{\"httpUrl\":\"a\",\"userName\":\"u\",\"password\":\"p\","
         "\"httpList\":[{\"url\":\"b\",\"user\":\"v\",\"password\":\"q\"}]}",
         [&](Record& r) {
             put(r.postSetting.url[0], 1024, "b");
             put(r.postSetting.user[0], 94, "v");
             put(r.postSetting.password[0], 64, "q");
             r.postSetting.httpEnable[0] = 1;
         }},
        {"{\"httpList\":[{\"index\":2,\"enable\":1,\"url\":\"s0\"},\"x\",{\"enable\":0,"
         "\"user\":\"s2\"},{\"enable\":9,\"url\":\"s3\"},{\"url\":\"s4\"}]}",
         [&](Record& r) {
             r.postSetting.httpEnable[0] = 1;
             put(r.postSetting.url[0], 1024, "s0");
             r.postSetting.httpEnable[2] = 0;
             put(r.postSetting.user[2], 94, "s2");
         }},
        {"{\"httpList\":[{\"enable\":\"0\",\"url\":1,\"user\":null,\"password\":{}}]}",
         [](Record&) {}},
        {"{\"httpUrl\":\"" + a2000 + "\",\"userName\":\"" + b100 + "\",\"password\":\"" + c70 +
             "\",\"httpList\":[{},{},{\"url\":\"" + e1200 + "\",\"user\":\"" + b100 +
             "\",\"password\":\"" + c70 + "\"}]}",
         [&](Record& r) {
             put(r.postSetting.url[0], 1024, a2000);
             put(r.postSetting.user[0], 94, b100);
             put(r.postSetting.password[0], 64, c70);
             r.postSetting.httpEnable[0] = 1;
             put(r.postSetting.url[2], 1024, e1200);
             put(r.postSetting.user[2], 94, b100);
             put(r.postSetting.password[2], 64, c70);
         }},
        {"{\"httpUrl\":\"\",\"userName\":\"\",\"httpList\":[{},{\"password\":\"\"}]}",
         [&](Record& r) {
             put(r.postSetting.url[0], 1024, "");
             put(r.postSetting.user[0], 94, "");
             r.postSetting.httpEnable[0] = 1;
             put(r.postSetting.password[1], 64, "");
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.body.substr(0, 120));
        cache(seed());
        Record want = seed();
        row.change(want);
        Reply reply = write(row.body);
        EXPECT_EQ(reply.rc, 0);
        EXPECT_EQ(reply.code, 200);
        EXPECT_EQ(reply.body, kOk);
        expect_stored(want);
    }
}

TEST_F(VehicleCount, the_record_travels_with_fields_at_their_offsets_and_gaps_unchanged) {
    cache(seed());
    ASSERT_EQ(write("{\"cameraPort\":65535,\"countType\":1,\"httpUrl\":\"U\",\"userName\":\"N\","
                    "\"password\":\"P\",\"httpList\":[{},{\"enable\":0},{\"url\":\"Z\"}]}")
                  .body,
              kOk);
    auto msgs = published();
    ASSERT_EQ(msgs.size(), 1u);
    const std::string& p = msgs[0].payload();
    ASSERT_EQ(p.size(), 3596u);
    EXPECT_EQ(p, bytes_of(cached()));
    EXPECT_EQ(p.substr(40, 4), std::string("\xff\xff\x00\x00", 4));
    EXPECT_EQ(p.substr(4, 4), std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(p.substr(44, 3), std::string("\x01\x00\x00", 3));
    EXPECT_EQ(p.substr(47, 2), std::string("U\0", 2));
    EXPECT_EQ(p.substr(2095, 2), std::string("Z\0", 2));
    EXPECT_EQ(p.substr(3119, 2), std::string("N\0", 2));
    EXPECT_EQ(p.substr(3401, 2), std::string("P\0", 2));
    for (size_t gap : {17, 18, 19, 21, 22, 23, 37, 38, 39, 3593, 3594, 3595}) {
        EXPECT_EQ(p[gap], '\xA5') << gap;
    }
}

TEST_F(VehicleCount, the_read_document_written_back_stores_the_same_record) {
    cache(seed());
    Reply doc = read();
    EXPECT_EQ(write(doc.body).body, kOk);
    expect_stored(seed());

    // An all-zero record has port 0, which a write refuses.
    cache(Record{});
    EXPECT_EQ(write(read().body).body, invalid("cameraPort"));
    expect_untouched(Record{});
}
