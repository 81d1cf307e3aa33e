/*
 * The main job end to end: a write through lpr-webd reaches lpr-settingsd over the bus,
 * is stored in the settings database and is served again by a restarted web server.
 * Also: the daemon refuses records of the wrong length, and a daemon killed in the
 * middle of a stream of writes leaves a sound database holding one whole record.
 */
#include <cjson/cJSON.h>
#include <signal.h>
#include <unistd.h>

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

using tools::CJsonPtr;

/* The web server library's side of the bus, played by the test: publishes on the
 * endpoint that the daemon subscribes to. */
class LibraryPublisher {
  public:
    LibraryPublisher() {
        lpr_zmq_config_t cfg;
        lpr_zmq_get_default_config(&cfg, LPR_ZMQ_ROLE_PUBLISHER, "webserver");
        std::strcpy(cfg.pub_endpoint, LPR_BUS_ENDPOINT_WEBSERVER);
        m_ok = lpr_zmq_init(&cfg) == LPR_ZMQ_OK;
        lpr_zmq_set_source(LPR_BUS_SOURCE_WEBSERVER);
    }
    ~LibraryPublisher() {
        if (m_ok) {
            lpr_zmq_uninit();
        }
    }
    LibraryPublisher(const LibraryPublisher&) = delete;
    LibraryPublisher& operator=(const LibraryPublisher&) = delete;
    bool ok() const { return m_ok; }
    int publish(const char* topic, const std::string& bytes) {
        return lpr_zmq_publish_to(topic, LPR_ZMQ_TARGET_BUS, bytes.data(), bytes.size());
    }

  private:
    bool m_ok = false;
};

/* Publishes until the daemon's log shows line (count times in all): pub/sub drops what
 * is sent before the subscriber has connected. */
bool publish_until(LibraryPublisher& bus, Process* daemon, const char* topic,
                   const std::string& bytes, const std::string& line, size_t count) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        bus.publish(topic, bytes);
        if (daemon->wait_for_log(line, milliseconds(200), count)) {
            return true;
        }
    }
    return false;
}

TEST(Persistence, WriteIsStoredByTheDaemonAndServedAfterRestart) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);

    // The advanced document as it will read after the write: the first read with two
    // members changed, printed the way the library prints.
    HttpReply before = client.get(cam.url("/api/v1/get_lpr_advanced"));
    ASSERT_EQ(before.status, 200);
    CJsonPtr doc(cJSON_Parse(before.body.c_str()));
    ASSERT_TRUE(doc);
    cJSON_ReplaceItemInObjectCaseSensitive(doc.get(), "osdFontSize", cJSON_CreateNumber(4));
    cJSON_ReplaceItemInObjectCaseSensitive(doc.get(), "osdPositionName",
                                           cJSON_CreateString("Gate 7"));
    const std::string expectedAdvanced = tools::print_compact(doc.get());

    // 200 means stored (tests/e2e/acked_writes_test.cpp).
    HttpReply w1 = client.post(cam.url("/api/v1/set_lpr_advanced"),
                               R"({"osdFontSize":4,"osdPositionName":"Gate 7"})");
    ASSERT_EQ(w1.status, 200) << w1.error << w1.body;
    HttpReply w2 = client.post(
        cam.url("/api/v1/set_vehicle_count"),
        R"({"enable":1,"resetHour":23,"cameraPort":8080,"httpUrl":"http://counts.example/in",)"
        R"("httpList":[{},{"enable":1,"url":"http://b.example/","user":"bob"}]})");
    ASSERT_EQ(w2.status, 200) << w2.error << w2.body;
    const std::string countDoc = client.get(cam.url("/api/v1/get_vehicle_count")).body;
    EXPECT_EQ(client.get(cam.url("/api/v1/get_lpr_advanced")).body, expectedAdvanced);

    // The database holds the records, field by field at their offsets.
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    ASSERT_TRUE(read_record(cam.db_path(), &adv));
    ASSERT_TRUE(read_record(cam.db_path(), &vcs));
    const std::string advBytes = lpr_test::bytes_of(adv);
    const std::string vcsBytes = lpr_test::bytes_of(vcs);
    EXPECT_EQ(advBytes[253], 4);                     // osd_font_size
    EXPECT_STREQ(advBytes.c_str() + 388, "Gate 7");  // osd_position
    EXPECT_EQ(vcsBytes[0], 1);                       // countInfo.enable
    EXPECT_EQ(vcsBytes[13], 23);                     // countInfo.resetHour
    int32_t port = 0;
    std::memcpy(&port, vcsBytes.data() + 40, 4);
    EXPECT_EQ(port, 8080);                                              // cameraPort
    EXPECT_EQ(vcsBytes.substr(44, 3), std::string("\x01\x01\x00", 3));  // httpEnable
    EXPECT_STREQ(vcsBytes.c_str() + 47, "http://counts.example/in");    // url[0]
    EXPECT_STREQ(vcsBytes.c_str() + 47 + 1024, "http://b.example/");    // url[1]
    EXPECT_STREQ(vcsBytes.c_str() + 3119 + 94, "bob");                  // user[1]

    // A new web server loads what the daemon stored and serves the same bytes.
    EXPECT_EQ(cam.stop_webd(), 0);
    EXPECT_NE(cam.webd()->log().find("lpr_cgi: uninitialized"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd());
    HttpClient again;
    again.set_credentials(kViewer.user, kViewer.password);
    EXPECT_EQ(again.get(cam.url("/api/v1/get_vehicle_count")).body, countDoc);
    EXPECT_EQ(again.get(cam.url("/api/v1/get_lpr_advanced")).body, expectedAdvanced);
    EXPECT_NE(countDoc.find(R"("cameraPort":8080)"), std::string::npos) << countDoc;
}

TEST(Persistence, ProgramsStopCleanlyOnSigintAndSigterm) {
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        Camera cam;
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        ASSERT_NO_FATAL_FAILURE(cam.start_webd());
        EXPECT_EQ(cam.webd()->stop(sig), 0);
        EXPECT_EQ(cam.settingsd()->stop(sig), 0);
        const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
        EXPECT_NE(cam.webd()->log().find("lpr-webd: " + name + ", stopping\n"), std::string::npos);
        EXPECT_NE(cam.webd()->log().find("lpr_cgi: uninitialized"), std::string::npos);
        EXPECT_NE(cam.webd()->log().find("lpr-webd: stopped\n"), std::string::npos);
        EXPECT_NE(cam.settingsd()->log().find("settingsd: " + name + ", stopping\n"),
                  std::string::npos);
        EXPECT_NE(cam.settingsd()->log().find("settingsd: stopped\n"), std::string::npos);
    }
}

/* Waits for the daemon's acknowledgement of this thread's last publish and checks every
 * byte of it. */
void expect_ack(lpr_test::BusListener& acks, lpr_bus_ack_result_t result, const char* reason) {
    lpr_zmq_msg_info_t sent{};
    ASSERT_EQ(lpr_zmq_last_publish(&sent), LPR_ZMQ_OK);
    lpr_bus_ack_t expected;
    std::memset(&expected, 0, sizeof expected);
    expected.version = LPR_BUS_ACK_VERSION;
    expected.result = static_cast<uint8_t>(result);
    expected.source = sent.source;
    expected.session = sent.session;
    expected.last_sequence = sent.sequence;
    std::strcpy(expected.topic, sent.topic);
    std::strcpy(expected.reason, reason);
    lpr_test::BusMessage msg;
    while (acks.receive(&msg, std::chrono::seconds(5))) {
        lpr_bus_ack_t ack;
        if (msg.topic() == LPR_BUS_TOPIC_ACK && msg.payload().size() == sizeof ack &&
            (std::memcpy(&ack, msg.payload().data(), sizeof ack), ack.last_sequence) ==
                sent.sequence) {
            // A repeated publish (publish_until) may share the acknowledgement.
            EXPECT_LE(ack.first_sequence, sent.sequence);
            expected.first_sequence = ack.first_sequence;
            EXPECT_EQ(msg.payload(), lpr_test::bytes_of(expected));
            return;
        }
    }
    ADD_FAILURE() << "no acknowledgement of " << sent.topic << " " << sent.sequence;
}

TEST(Persistence, DaemonRefusesRecordsOfTheWrongLength) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    LibraryPublisher bus;
    ASSERT_TRUE(bus.ok());
    lpr_test::BusListener acks(LPR_BUS_ENDPOINT_MAIN);
    ASSERT_TRUE(acks.wait_connected([] {}));  // the heartbeat comes every second
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();
    lpr_advanced_t advBefore;
    VEHICLE_COUNT_SETTING vcsBefore;
    ASSERT_TRUE(read_record(cam.db_path(), &advBefore));
    ASSERT_TRUE(read_record(cam.db_path(), &vcsBefore));

    const struct {
        const char* topic;
        size_t length;
        const char* reason;
    } cases[] = {
        {LPR_BUS_TOPIC_COUNT, 100, "100 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_COUNT, 3595, "3595 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_COUNT, 3597, "3597 bytes, a record has 3596"},
        {LPR_BUS_TOPIC_ADVANCED, 607, "607 bytes, a record has 608"},
        {LPR_BUS_TOPIC_ADVANCED, 3596, "3596 bytes, a record has 608"},
    };
    for (const auto& c : cases) {
        const std::string line = std::string("settingsd: refused ") + c.topic + ": " + c.reason;
        SCOPED_TRACE(line);
        EXPECT_TRUE(
            publish_until(bus, cam.settingsd(), c.topic, std::string(c.length, '\x5a'), line, 1))
            << cam.settingsd()->log();
        expect_ack(acks, LPR_BUS_ACK_REFUSED, c.reason);
    }
    EXPECT_EQ(cam.settingsd()->log().find("settingsd: stored"), std::string::npos);
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;
    ASSERT_TRUE(read_record(cam.db_path(), &adv));
    ASSERT_TRUE(read_record(cam.db_path(), &vcs));
    EXPECT_EQ(lpr_test::bytes_of(adv), lpr_test::bytes_of(advBefore));
    EXPECT_EQ(lpr_test::bytes_of(vcs), lpr_test::bytes_of(vcsBefore));

    // The same path stores a record of the right length.
    VEHICLE_COUNT_SETTING changed = vcsBefore;
    changed.postSetting.cameraPort = 4242;
    ASSERT_TRUE(publish_until(bus, cam.settingsd(), LPR_BUS_TOPIC_COUNT,
                              lpr_test::bytes_of(changed),
                              "settingsd: stored " LPR_BUS_TOPIC_COUNT " (3596 bytes)", 1));
    expect_ack(acks, LPR_BUS_ACK_STORED, "");
    ASSERT_TRUE(read_record(cam.db_path(), &vcs));
    EXPECT_EQ(lpr_test::bytes_of(vcs), lpr_test::bytes_of(changed));
}

/* Vehicle-count records that differ in every text, so that a record put together from
 * two writes could not pass for either. */
VEHICLE_COUNT_SETTING numbered_record(int n) {
    VEHICLE_COUNT_SETTING r;
    std::memset(&r, 0, sizeof r);
    Database::default_vehicle_count(&r);
    r.countInfo.resetHour = static_cast<uint8_t>(n % 24);
    r.countInfo.resetMin = static_cast<uint8_t>(n % 60);
    r.postSetting.cameraPort = 1 + n % 65535;
    for (int slot = 0; slot < LPR_VEHICLE_POST_SLOTS; ++slot) {
        char letter = static_cast<char>('a' + (n + slot) % 26);
        std::snprintf(r.postSetting.url[slot], sizeof r.postSetting.url[slot], "http://%d/%s", n,
                      std::string(1000, letter).c_str());
        std::snprintf(r.postSetting.user[slot], sizeof r.postSetting.user[slot], "user-%d-%d", n,
                      slot);
        std::snprintf(r.postSetting.password[slot], sizeof r.postSetting.password[slot], "pw-%d-%d",
                      n, slot);
        r.postSetting.httpEnable[slot] = static_cast<uint8_t>((n + slot) % 2);
    }
    return r;
}

TEST(Persistence, SigkillDuringAStreamOfWritesLeavesOneWholeRecord) {
    Camera cam;
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
    LibraryPublisher bus;
    ASSERT_TRUE(bus.ok());
    const Database::User db(0);
    ASSERT_TRUE(db.ok()) << Database::last_error();

    const int kRecords = 3000;
    std::vector<std::string> sent;
    for (int n = 0; n < kRecords; ++n) {
        sent.push_back(lpr_test::bytes_of(numbered_record(n)));
    }
    VEHICLE_COUNT_SETTING initial;
    ASSERT_TRUE(read_record(cam.db_path(), &initial));

    std::random_device seedSource;
    const unsigned seed = seedSource();
    std::mt19937 random(seed);
    std::cout << "[ seed     ] " << seed << "\n";

    std::atomic<int> published{0};
    const int kRounds = 10;
    int hotJournals = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (round > 0) {
            ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());
        }
        std::atomic<bool> streaming{true};
        std::thread stream([&] {
            while (streaming && published < kRecords) {
                bus.publish(LPR_BUS_TOPIC_COUNT, sent[static_cast<size_t>(published.load())]);
                ++published;
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
        ASSERT_TRUE(cam.settingsd()->wait_for_log("settingsd: stored " LPR_BUS_TOPIC_COUNT,
                                                  milliseconds(10000)));
        std::uniform_int_distribution<int> delay(0, 150);
        std::this_thread::sleep_for(milliseconds(delay(random)));
        cam.settingsd()->kill_now();
        streaming = false;
        stream.join();
        ASSERT_LT(published.load(), kRecords) << "the stream ran out before the kill";

        std::string journal = read_file(cam.db_path() + "-journal");
        hotJournals += journal.empty() ? 0 : 1;
        std::string integrity;
        VEHICLE_COUNT_SETTING stored;
        ASSERT_TRUE(read_record(cam.db_path(), &stored, &integrity)) << integrity;
        EXPECT_EQ(integrity, "ok");
        const std::string bytes = lpr_test::bytes_of(stored);
        auto end = sent.begin() + published.load();
        EXPECT_NE(std::find(sent.begin(), end, bytes), end)
            << "the stored record is none of the " << published.load() << " records sent";
        EXPECT_NE(bytes, lpr_test::bytes_of(initial));
    }
    std::cout << "[ measured ] " << published.load() << " records sent, " << kRounds << " kills, "
              << hotJournals << " with a journal left behind\n";
}

}  // namespace
}  // namespace e2e
