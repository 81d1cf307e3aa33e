/*
 * Persistence end to end: writes through lpr-webd stored by lpr-settingsd and served after
 * restarts, clean stops, and the daemon storing only whole records of the right length.
 */
#include <cjson/cJSON.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "Database.h"
#include "e2e_support.h"
#include "json_tree.h"
#include "lpr_bus_topics.h"
#include "lpr_defs.h"
#include "lpr_zmq.h"

namespace e2e {
namespace {

using lpr_test::bytes_of;

TEST(Persistence, WritesAreServedAfterRestartsAndTheProgramsStopCleanly) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);
    // The advanced document after the write: the first read with two members changed.
    tools::CJsonPtr doc(cJSON_Parse(client.get(cam.url("/api/v1/get_lpr_advanced")).body.c_str()));
    ASSERT_TRUE(doc);
    cJSON_ReplaceItemInObjectCaseSensitive(doc.get(), "osdFontSize", cJSON_CreateNumber(4));
    cJSON_ReplaceItemInObjectCaseSensitive(doc.get(), "osdPositionName",
                                           cJSON_CreateString("Gate 7"));
    const std::string advanced = tools::print_compact(doc.get());
    const std::string writes[][2] = {
        {"set_lpr_advanced", R"({"osdFontSize":4,"osdPositionName":"Gate 7"})"},
        {"set_vehicle_count",
         R"({"enable":1,"resetHour":23,"cameraPort":8080,"httpUrl":"http://counts.example/in",)"
         R"("httpList":[{},{"enable":1,"url":"http://b.example/","user":"bob"}]})"}};
    for (const auto& w : writes) {
        EXPECT_EQ(client.post(cam.url("/api/v1/" + w[0]), w[1]).status, 200) << w[1];
    }
    const std::string count = client.get(cam.url("/api/v1/get_vehicle_count")).body;
    EXPECT_NE(count.find(R"("cameraPort":8080)"), std::string::npos) << count;
    EXPECT_EQ(client.get(cam.url("/api/v1/get_lpr_advanced")).body, advanced);

    // The database holds the records, field by field at their offsets.
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    ASSERT_TRUE(read_record(cam.db_path(), &adv) && read_record(cam.db_path(), &vcs));
    const std::string a = bytes_of(adv), v = bytes_of(vcs);
    EXPECT_EQ(a[253], 4);                                     // osd_font_size
    EXPECT_STREQ(a.c_str() + 388, "Gate 7");                  // osd_position
    EXPECT_EQ(v.substr(0, 1) + v.substr(13, 1), "\x01\x17");  // countInfo enable, resetHour
    // cameraPort (little-endian int32), then httpEnable of the three destinations
    EXPECT_EQ(v.substr(40, 7), std::string("\x90\x1f\0\0\x01\x01\0", 7));
    EXPECT_STREQ(v.c_str() + 47, "http://counts.example/in");  // url[0]
    EXPECT_STREQ(v.c_str() + 47 + 1024, "http://b.example/");  // url[1]
    EXPECT_STREQ(v.c_str() + 3119 + 94, "bob");                // user[1]

    // Both programs stop cleanly on either signal; restarted, they serve the same bytes.
    for (const std::string name : {"SIGTERM", "SIGINT"}) {
        const int sig = name == "SIGINT" ? SIGINT : SIGTERM;
        EXPECT_EQ(cam.webd()->stop(sig), 0);
        EXPECT_EQ(cam.settingsd()->stop(sig), 0);
        const std::string logs = cam.webd()->log() + cam.settingsd()->log();
        const std::string lines[] = {"lpr-webd: " + name + ", stopping\n", "lpr_cgi: uninitialized",
                                     "lpr-webd: stopped\n", "settingsd: " + name + ", stopping\n",
                                     "settingsd: stopped\n"};
        for (const std::string& line : lines) {
            EXPECT_NE(logs.find(line), std::string::npos) << line << " in\n" << logs;
        }
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        ASSERT_NO_FATAL_FAILURE(cam.start_webd());
        HttpClient viewer;
        viewer.set_credentials(kViewer.user, kViewer.password);
        EXPECT_EQ(viewer.get(cam.url("/api/v1/get_vehicle_count")).body, count);
        EXPECT_EQ(viewer.get(cam.url("/api/v1/get_lpr_advanced")).body, advanced);
    }
}

/* Vehicle-count records that differ in every text, so that a record put together from two
 * writes could not pass for either. */
std::string numbered_record(int n) {
    VEHICLE_COUNT_SETTING r;
    std::memset(&r, 0, sizeof r);
    Database::default_vehicle_count(&r);
    r.countInfo.resetHour = static_cast<uint8_t>(n % 24);
    r.countInfo.resetMin = static_cast<uint8_t>(n % 60);
    auto& post = r.postSetting;
    post.cameraPort = 1 + n % 65535;
    for (int slot = 0; slot < LPR_VEHICLE_POST_SLOTS; ++slot) {
        std::snprintf(post.url[slot], sizeof post.url[slot], "http://%d/%s", n,
                      std::string(1000, static_cast<char>('a' + (n + slot) % 26)).c_str());
        std::snprintf(post.user[slot], sizeof post.user[slot], "user-%d-%d", n, slot);
        std::snprintf(post.password[slot], sizeof post.password[slot], "pw-%d-%d", n, slot);
        post.httpEnable[slot] = static_cast<uint8_t>((n + slot) % 2);
    }
    return bytes_of(r);
}

TEST(Persistence, DaemonStoresOnlyWholeRecordsOfTheRightLength) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    // The web server library's side of the bus, played by the test.
    lpr_zmq_config_t cfg;
    lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBLISHER, "webserver");
    std::strcpy(cfg.pub_endpoint, LPR_BUS_ENDPOINT_WEBSERVER);
    ASSERT_EQ(lpr_zmq_init(&cfg), LPR_ZMQ_OK);
    const std::unique_ptr<void, void (*)(void*)> uninit(&cfg, [](void*) { lpr_zmq_uninit(); });
    lpr_zmq_set_source(LPR_BUS_SOURCE_WEBSERVER);
    const auto publish = [](const char* topic, const std::string& bytes) {
        lpr_zmq_publish_to(topic, LPR_ZMQ_TARGET_BUS, bytes.data(), bytes.size());
    };
    lpr_test::BusListener acks(LPR_BUS_ENDPOINT_MAIN);
    ASSERT_TRUE(acks.wait_connected([] {}));  // the heartbeat comes every second
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    VEHICLE_COUNT_SETTING vcs;
    lpr_advanced_t adv;
    const auto database = [&] {
        EXPECT_TRUE(read_record(cam.db_path(), &vcs) && read_record(cam.db_path(), &adv));
        return bytes_of(vcs) + bytes_of(adv);
    };
    const std::string before = database(), changed = numbered_record(4242);

    // Each record is published until the daemon logs it (pub/sub drops what is sent before
    // the subscriber has connected); its acknowledgement is checked byte by byte.
    const struct {
        const char* topic;
        std::string bytes, reason;  // no reason: the record is stored
    } cases[] = {
        {LPR_BUS_TOPIC_COUNT, std::string(100, 'Z'), "100 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_COUNT, std::string(3595, 'Z'), "3595 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_COUNT, std::string(3597, 'Z'), "3597 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_ADVANCED, std::string(607, 'Z'), "607 bytes, a record has 608"},
        {LPR_BUS_TOPIC_ADVANCED, std::string(3596, 'Z'), "3596 bytes, a record has 608"},
        {LPR_BUS_TOPIC_COUNT, changed, ""},
    };
    for (const auto& c : cases) {
        const bool stores = c.reason.empty();
        const std::string line =
            stores ? "settingsd: stored " LPR_BUS_TOPIC_COUNT " (3596 bytes)"
                   : std::string("settingsd: refused ") + c.topic + ": " + c.reason;
        SCOPED_TRACE(line);
        bool logged = false;
        for (int attempt = 0; attempt < 50 && !logged; ++attempt) {
            publish(c.topic, c.bytes);
            logged = cam.settingsd()->wait_for_log(line, milliseconds(200));
        }
        EXPECT_TRUE(logged) << cam.settingsd()->log();
        EXPECT_EQ(cam.settingsd()->log().find("settingsd: stored") == std::string::npos, !stores);
        lpr_zmq_msg_info_t sent{};
        ASSERT_EQ(lpr_zmq_last_publish(&sent), LPR_ZMQ_OK);
        lpr_bus_ack_t want, ack{};
        std::memset(&want, 0, sizeof want);
        want.version = LPR_BUS_ACK_VERSION;
        want.result = static_cast<uint8_t>(stores ? LPR_BUS_ACK_STORED : LPR_BUS_ACK_REFUSED);
        want.source = sent.source;
        want.session = sent.session;
        want.last_sequence = sent.sequence;
        std::strcpy(want.topic, sent.topic);
        std::strcpy(want.reason, c.reason.c_str());
        lpr_test::BusMessage msg;
        while (ack.last_sequence != sent.sequence && acks.receive(&msg, std::chrono::seconds(5))) {
            if (msg.topic() == LPR_BUS_TOPIC_ACK && msg.payload().size() == sizeof ack) {
                std::memcpy(&ack, msg.payload().data(), sizeof ack);
            }
        }
        EXPECT_LE(ack.first_sequence, sent.sequence);  // repeated publishes share one
        want.first_sequence = ack.first_sequence;
        EXPECT_EQ(bytes_of(ack), bytes_of(want));
        EXPECT_EQ(database(), stores ? changed + before.substr(sizeof vcs) : before);
    }

    // SIGKILL at a random moment of a stream of whole records: the database stays sound and
    // holds exactly one of the records sent.
    std::vector<std::string> sent;
    for (int n = 0; n < 3000; ++n) {
        sent.push_back(numbered_record(n));
    }
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::atomic<size_t> published{0};
    int hotJournals = 0;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        if (round > 0) {
            ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        }
        std::atomic<bool> streaming{true};
        std::thread stream([&] {
            for (; streaming && published < sent.size(); ++published) {
                publish(LPR_BUS_TOPIC_COUNT, sent[published]);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        ASSERT_TRUE(cam.settingsd()->wait_for_log("settingsd: stored " LPR_BUS_TOPIC_COUNT,
                                                  milliseconds(10000), round == 0 ? 2 : 1));
        std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<>(0, 150)(random)));
        cam.settingsd()->kill_now();
        streaming = false;
        stream.join();
        ASSERT_LT(published.load(), sent.size()) << "the stream ran out before the kill";
        hotJournals += read_file(cam.db_path() + "-journal").empty() ? 0 : 1;
        std::string integrity;
        ASSERT_TRUE(read_record(cam.db_path(), &vcs, &integrity)) << integrity;
        EXPECT_EQ(integrity, "ok");
        const auto end = sent.begin() + static_cast<long>(published.load());
        EXPECT_NE(std::find(sent.begin(), end, bytes_of(vcs)), end)
            << "the stored record is none of the " << published.load() << " records sent";
    }
    std::cout << "[ measured ] " << published.load() << " records sent, 10 kills, " << hotJournals
              << " with a journal left behind\n";
}

}  // namespace
}  // namespace e2e
