// Writers and readers of both settings records at once, through the real start-up and
// dispatch: every read is one whole record that some write stored, and every write publishes
// one whole record that it stored. No lock spans a write's store and publish, so the order of
// the bus is not the order of the cache; keeping them together is the host's business (tested
// end to end in tests/e2e/acked_writes_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"
#include "lpr_zmq.h"
#include "test_support.h"

namespace {

using lpr_test::bytes_of;

constexpr int kWriters = 4;
constexpr int kWritesEach = 100;
constexpr int kWrites = kWriters * kWritesEach;
constexpr int kAdvancedWritesEach = 40;
const std::string kOk = "200 {\"code\":200,\"msg\":\"OK\"}";

std::string call(const char* action, const std::string& body) {
    std::string copy = body;
    LprCgiCtx ctx{};
    ctx.action = action;
    ctx.method = QZ_HTTP_POST;
    ctx.lprPermission = 1;
    ctx.body = &copy[0];
    ctx.bodyLen = static_cast<int32_t>(copy.size());
    LprCgiResp resp{};
    lpr_cgi_handle(&ctx, &resp);
    std::string reply = std::to_string(resp.code) + " " + std::string(resp.body, resp.bodyLen);
    lpr_cgi_resp_free(&resp);
    return reply;
}
std::string read_doc() {
    return call("vc.get", "{}");
}

// Write number k sets every member, and all its texts have the same length, so the
// stored record depends on k alone whatever the cache held before.
std::string body_for(int k) {
    struct Member {
        const char* key;
        int modulo;
    } members[] = {{"enable", 2},          {"showInformation", 2}, {"crossRegionRepeatCounting", 2},
                   {"countType", 2},       {"autoReset", 2},       {"resetDayType", 8},
                   {"resetHour", 24},      {"resetMin", 60},       {"resetSec", 60},
                   {"infoTableLeft", 101}, {"infoTableTop", 101},  {"enablePost", 2},
                   {"postMode", 2},        {"attachSnapshot", 2},  {"postType", 2},
                   {"timeHour", 24},       {"timeMin", 60},        {"timeSec", 60},
                   {"interval", 2}};
    std::string body = "{\"cameraPort\":" + std::to_string(1000 + k);
    int salt = 0;
    for (const Member& m : members) {
        body += ",\"" + std::string(m.key) + "\":" + std::to_string((k + salt++) % m.modulo);
    }
    char texts[256];
    std::snprintf(texts, sizeof texts,
                  ",\"httpUrl\":\"http://w%04d/0\",\"userName\":\"u%04d\",\"password\":\"p%04d\"",
                  k, k, k);
    body += texts;
    body += ",\"httpList\":[";
    for (int slot = 0; slot < 3; ++slot) {
        std::snprintf(texts, sizeof texts,
                      "%s{\"enable\":%d,\"url\":\"http://w%04d/%d\",\"user\":\"u%04d-%d\","
                      "\"password\":\"p%04d-%d\"}",
                      slot > 0 ? "," : "", (k + slot) % 2, k, slot, k, slot, k, slot);
        body += texts;
    }
    return body + "]}";
}

std::string advanced_body(int j) {
    char body[160];
    std::snprintf(body, sizeof body,
                  "{\"osdDeviceId\":\"dev%03d\",\"snapDeviceId\":\"dev%03d\",\"osdFontSize\":%d,"
                  "\"osdPosition\":%d}",
                  j, j, j % 6, j % 5);
    return body;
}

// reply is "200 " and an advanced document that one advanced_body write stored.
bool advanced_is_whole(const std::string& reply) {
    if (reply.compare(0, 4, "200 ") != 0) {
        return false;
    }
    lpr::CJsonPtr doc = lpr::parse_json(reply.c_str() + 4);
    const cJSON* osdId = cJSON_GetObjectItem(doc.get(), "osdDeviceId");
    const cJSON* snapId = cJSON_GetObjectItem(doc.get(), "snapDeviceId");
    const cJSON* size = cJSON_GetObjectItem(doc.get(), "osdFontSize");
    const cJSON* position = cJSON_GetObjectItem(doc.get(), "osdPosition");
    int j = -1;
    return cJSON_IsString(osdId) && cJSON_IsString(snapId) && cJSON_IsNumber(size) &&
           cJSON_IsNumber(position) && std::sscanf(osdId->valuestring, "dev%d", &j) == 1 &&
           std::strcmp(osdId->valuestring, snapId->valuestring) == 0 && size->valueint == j % 6 &&
           position->valueint == j % 5;
}

}  // namespace

TEST(VehicleCountConcurrency, reads_are_whole_and_every_write_publishes_a_record_it_stored) {
    lpr_test::TempDir dir;
    const std::string db = dir.file("settings.db");
    ASSERT_EQ(Database::create_default(db.c_str()), 0);
    {
        lpr_test::StdoutCapture quiet;
        ASSERT_EQ(lpr_cgi_init(db.c_str()), 0);
    }
    ASSERT_EQ(lpr_cgi_register_action("vc.get", get_vehicle_count_handler, 1, 3), 0);
    ASSERT_EQ(lpr_cgi_register_action("vc.set", set_vehicle_count_handler, 1, 2), 0);
    ASSERT_EQ(lpr_cgi_register_action("adv.get", get_lpr_advanced_handler, 1, 3), 0);
    ASSERT_EQ(lpr_cgi_register_action("adv.set", set_lpr_advanced_handler, 1, 2), 0);
    lpr::LprCgiCache& cache = lpr::LprCgiCache::get_instance();
    const std::string advancedBefore = call("adv.get", "{}");

    // What each write stores, learnt one write at a time: document and record bytes.
    VEHICLE_COUNT_SETTING initial;
    cache.get_vehicle_count_setting(initial);
    std::map<std::string, int> docs = {{read_doc(), 0}};
    std::map<std::string, int> records = {{bytes_of(initial), 0}};
    for (int k = 1; k <= kWrites; ++k) {
        ASSERT_EQ(call("vc.set", body_for(k)), kOk);
        VEHICLE_COUNT_SETTING stored;
        cache.get_vehicle_count_setting(stored);
        records[bytes_of(stored)] = k;
        docs[read_doc()] = k;
    }
    ASSERT_EQ(records.size(), kWrites + 1u);
    ASSERT_EQ(docs.size(), kWrites + 1u);
    cache.set_vehicle_count_setting(initial);

    lpr_test::BusListener bus(LPR_BUS_ENDPOINT_WEBSERVER);
    ASSERT_TRUE(
        bus.wait_connected([] { lpr_zmq_publish_to("probe", LPR_ZMQ_TARGET_BUS, "p", 1); }));
    std::vector<std::string> onBus;
    std::thread listener([&] {
        lpr_test::BusMessage msg;
        while (bus.receive(&msg, std::chrono::seconds(10)) && msg.topic() != "marker") {
            if (msg.topic() == LPR_BUS_TOPIC_COUNT) {
                onBus.push_back(msg.payload());
            }
        }
    });

    std::atomic<int> writersLeft{kWriters};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int j = 1; j <= kWritesEach; ++j) {
                EXPECT_EQ(call("vc.set", body_for(w * kWritesEach + j)), kOk);
            }
            --writersLeft;
        });
    }
    // Two document readers and one direct observer of the cache.
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&, r] {
            while (writersLeft > 0) {
                if (r < 2) {
                    EXPECT_EQ(docs.count(read_doc()), 1u) << "a document no write stored";
                } else {
                    VEHICLE_COUNT_SETTING now;
                    cache.get_vehicle_count_setting(now);
                    EXPECT_EQ(records.count(bytes_of(now)), 1u) << "a record no write stored";
                }
            }
        });
    }
    // The advanced record beside it, through its own actions: write j names device
    // "devNNN" (j = NNN) in both texts and sets two numbers from j, so a read shows
    // whether it got one whole record. Every write also publishes; all of them together
    // stay below the bus's queue limit (1000 messages), so the bus drops none.
    for (int a = 0; a < 2; ++a) {
        threads.emplace_back([&, a] {
            for (int i = 0; i < kAdvancedWritesEach; ++i) {
                EXPECT_EQ(call("adv.set", advanced_body(500 * a + i)), kOk);
            }
        });
    }
    threads.emplace_back([&] {
        while (writersLeft > 0) {
            std::string doc = call("adv.get", "{}");
            EXPECT_TRUE(doc == advancedBefore || advanced_is_whole(doc)) << doc;
        }
    });
    for (std::thread& t : threads) {
        t.join();
    }
    lpr_zmq_publish_to("marker", LPR_ZMQ_TARGET_BUS, "m", 1);
    listener.join();

    // One message per write, each the record of a different write: every write publishes
    // the whole record it stored (the writes set every member, so a record names its write).
    ASSERT_EQ(onBus.size(), static_cast<size_t>(kWrites));
    std::set<int> published;
    for (size_t i = 0; i < onBus.size(); ++i) {
        auto it = records.find(onBus[i]);
        ASSERT_NE(it, records.end()) << "message " << i << " is no stored record";
        published.insert(it->second);
    }
    EXPECT_EQ(published.size(), static_cast<size_t>(kWrites));
    // Quiet: the read reports the cached record, one that a write stored.
    VEHICLE_COUNT_SETTING last;
    cache.get_vehicle_count_setting(last);
    EXPECT_EQ(docs.at(read_doc()), records.at(bytes_of(last)));

    lpr_test::StdoutCapture quiet;
    lpr_cgi_uninit();
}
