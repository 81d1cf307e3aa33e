// Many host threads at once: reads and writes of both settings records, refused writes
// and the action listing, all through lpr_cgi_handle on a real settings database and
// a real bus. Every write names every member, so each record that a write stores is
// one of a few known records: a read, a cache copy or a bus message that is not one
// of them is a torn or leaked record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Database.h"
#include "cgi/lpr_cgi.h"
#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_json.h"
#include "lpr_osd_fields.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr int kVariants = 4;
constexpr auto kRunTime = std::chrono::seconds(2);

const char kAdvGet[] = "advanced.get";
const char kAdvSet[] = "advanced.set";
const char kCountGet[] = "count.get";
const char kCountSet[] = "count.set";
const char kListing[] = "[\"advanced.get\",\"advanced.set\",\"count.get\",\"count.set\"]";
const char kOk[] = "{\"code\":200,\"msg\":\"OK\"}";

// A whole advanced-settings document; every value depends on k. Texts of all variants
// have equal lengths, so each variant leaves the same bytes in the record. With
// `refused`, the last member examined is invalid.
std::string advanced_body(int k, bool refused) {
    const std::string d = std::to_string(k);
    const std::string sorts[] = {"0123", "1230", "2301", "3012", "0213"};
    const std::string snaps[] = {"0126", "1260", "2601", "6012", "0162"};
    std::string spaces;
    int listed = 0;
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        if (i != lpr::kOsdLineBreak) {
            spaces += std::string(listed ? "," : "") + "{\"fileName\":\"" + lpr::kOsdFieldNames[i] +
                      "\",\"spaces\":" + std::to_string((k + listed) % 10) + "}";
            ++listed;
        }
    }
    return "{\"osdSort\":\"" + sorts[k] + "\",\"osdFontSize\":" + std::to_string(k % 6) +
           ",\"osdFontColor\":\"" + d + ":" + d + ":" + d +
           "\",\"osdBkgEnable\":" + std::to_string(k % 2) + ",\"osdBkgColor\":\"1" + d + ":2" + d +
           ":3" + d + "\",\"osdPosition\":" + std::to_string(k % 5) + ",\"osdSpaceList\":[" +
           spaces + "],\"osdPositionName\":\"position-" + d + "\",\"osdDeviceId\":\"device-" + d +
           "\",\"lineBreakCharNum\":" + std::to_string(k % 7) +
           ",\"snapSeparator\":" + std::to_string(k % 3) + ",\"snapSort\":\"" + snaps[k] +
           "\",\"snapPosition\":\"snap-p-" + d + "\",\"snapDeviceId\":\"snap-d-" + d +
           "\",\"osdDateTimeFormat\":" + std::to_string(k % 3) +
           ",\"fileDateTimeFormat\":" + std::to_string((k + 1) % 3) +
           ",\"snapshotResolution\":" + std::to_string(k % 5) +
           ",\"snapshotResInfo\":{\"width\":" + std::to_string(1000 + k) +
           (refused ? "" : ",\"height\":" + std::to_string(2000 + k)) + "}}";
}

// A whole vehicle-count document, built the same way.
std::string count_body(int k, bool refused) {
    const std::string d = std::to_string(k);
    std::string list;
    for (int i = 0; i < 3; ++i) {
        const std::string s = d + std::to_string(i);
        const int enable = refused && i == 2 ? 2 : (k + i) % 2;
        list += std::string(i ? "," : "") + "{\"index\":" + std::to_string(i) +
                ",\"enable\":" + std::to_string(enable) + ",\"url\":\"http://host-" + s +
                "/count\",\"user\":\"user-" + s + "\",\"password\":\"pass-" + s + "\"}";
    }
    const int n[] = {k % 2, (k + 1) % 2, k % 8, k + 19, k + 50, k + 7, k + 90, 1000 + k};
    return "{\"enable\":" + std::to_string(n[0]) + ",\"showInformation\":" + std::to_string(n[1]) +
           ",\"crossRegionRepeatCounting\":" + std::to_string(n[0]) +
           ",\"countType\":" + std::to_string(n[1]) + ",\"autoReset\":" + std::to_string(n[0]) +
           ",\"resetDayType\":" + std::to_string(n[2]) + ",\"resetHour\":" + std::to_string(n[3]) +
           ",\"resetMin\":" + std::to_string(n[4]) + ",\"resetSec\":" + std::to_string(n[5]) +
           ",\"infoTableLeft\":" + std::to_string(n[6]) +
           ",\"infoTableTop\":" + std::to_string(n[5]) + ",\"enablePost\":" + std::to_string(n[1]) +
           ",\"postMode\":" + std::to_string(n[0]) + ",\"attachSnapshot\":" + std::to_string(n[1]) +
           ",\"postType\":" + std::to_string(n[0]) + ",\"timeHour\":" + std::to_string(n[3]) +
           ",\"timeMin\":" + std::to_string(n[4]) + ",\"timeSec\":" + std::to_string(n[5]) +
           ",\"cameraPort\":" + std::to_string(n[7]) + ",\"interval\":" + std::to_string(n[1]) +
           ",\"httpUrl\":\"http://10.0.0." + d + "/count\",\"userName\":\"admin-" + d +
           "\",\"password\":\"secret-" + d + "\",\"httpList\":[" + list + "]}";
}

// One reply, copied out and released.
struct Reply {
    int32_t result;
    int32_t code;
    std::string body;
};

Reply call(const char* action, int32_t method, const std::string& body) {
    std::vector<char> buf(body.begin(), body.end());
    buf.push_back('\0');
    LprCgiCtx ctx{};
    ctx.action = action;
    ctx.method = method;
    ctx.body = buf.data();
    ctx.bodyLen = static_cast<int32_t>(body.size());
    ctx.lprPermission = 1;
    LprCgiResp resp{};
    Reply r{lpr_cgi_handle(&ctx, &resp), resp.code,
            resp.body != nullptr ? std::string(resp.body, resp.bodyLen) : std::string()};
    lpr_cgi_resp_free(&resp);
    return r;
}

// Failures seen on any thread: counted, the first few kept for the report.
class Failures {
  public:
    void add(const std::string& what) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_messages.size() < 5) {
            m_messages.push_back(what);
        }
        ++m_count;
    }
    int count() const { return m_count; }
    std::string text() const {
        std::string all;
        for (const std::string& m : m_messages) {
            all += m.substr(0, 400) + "\n";
        }
        return all;
    }

  private:
    std::mutex m_mutex;
    std::vector<std::string> m_messages;
    int m_count = 0;
};

template <typename T>
std::string cached_bytes(void (lpr::LprCgiCache::*get)(T&)) {
    T record;
    std::memset(&record, 0, sizeof record);
    (lpr::LprCgiCache::get_instance().*get)(record);
    return lpr_test::bytes_of(record);
}

// What every write, read, listing and cache copy may yield.
struct Known {
    std::set<std::string> advDocs, countDocs, advRecords, countRecords;
    std::vector<std::string> advBodies, countBodies;
    std::string advRefused, countRefused;
};

enum Op {
    kWriteAdv,
    kWriteCount,
    kRefuseAdv,
    kRefuseCount,
    kReadAdv,
    kReadCount,
    kList,
    kCopy,
    kOps
};

void run_worker(int seed, const Known& known, std::chrono::steady_clock::time_point deadline,
                Failures* failures, std::atomic<int>* counts) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    auto expect = [&](bool ok, const char* what, const std::string& got) {
        if (!ok) {
            failures->add(std::string(what) + ": " + got);
        }
    };
    while (std::chrono::steady_clock::now() < deadline) {
        const int op = static_cast<int>(rng() % kOps);
        const int k = static_cast<int>(rng() % kVariants);
        counts[op].fetch_add(1, std::memory_order_relaxed);
        switch (op) {
            case kWriteAdv: {
                Reply r = call(kAdvSet, QZ_HTTP_POST, known.advBodies[k]);
                expect(r.code == 200 && r.body == kOk, "advanced write", r.body);
                break;
            }
            case kWriteCount: {
                Reply r = call(kCountSet, QZ_HTTP_POST, known.countBodies[k]);
                expect(r.code == 200 && r.body == kOk, "count write", r.body);
                break;
            }
            case kRefuseAdv:
            case kRefuseCount: {
                const bool adv = op == kRefuseAdv;
                Reply r = call(adv ? kAdvSet : kCountSet, QZ_HTTP_POST,
                               adv ? known.advRefused : known.countRefused);
                const std::string refusal =
                    std::string(R"({"code":400,"msg":"Invalid parameter: )") +
                    (adv ? "snapshotResInfo" : "httpList.enable") + "\"}";
                expect(r.code == 400 && r.body == refusal,
                       adv ? "refused advanced write" : "refused count write", r.body);
                break;
            }
            case kReadAdv: {
                Reply r = call(kAdvGet, QZ_HTTP_GET, "");
                expect(r.code == 200 && known.advDocs.count(r.body) == 1, "advanced read", r.body);
                break;
            }
            case kReadCount: {
                Reply r = call(kCountGet, QZ_HTTP_GET, "");
                expect(r.code == 200 && known.countDocs.count(r.body) == 1, "count read", r.body);
                break;
            }
            case kList: {
                char buf[128];
                expect(lpr_cgi_list_actions(buf, sizeof buf) == 0 && std::string(buf) == kListing,
                       "listing", buf);
                break;
            }
            default: {
                expect(known.advRecords.count(cached_bytes(&lpr::LprCgiCache::get_lpr_advanced)),
                       "advanced cache copy", "unknown record");
                expect(known.countRecords.count(
                           cached_bytes(&lpr::LprCgiCache::get_vehicle_count_setting)),
                       "count cache copy", "unknown record");
                break;
            }
        }
    }
}

}  // namespace

TEST(Concurrency, eight_threads_mixing_reads_writes_and_listing_see_only_stored_records) {
    lpr_test::TempDir dir;
    const std::string db = dir.file("settings.db");
    ASSERT_EQ(Database::create_default(db.c_str()), 0);
    ASSERT_EQ(lpr_cgi_init(db.c_str()), 0);
    ASSERT_EQ(lpr_cgi_register_action(kAdvGet, get_lpr_advanced_handler, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action(kAdvSet, set_lpr_advanced_handler, 1, 2), 0);
    ASSERT_EQ(lpr_cgi_register_action(kCountGet, get_vehicle_count_handler, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action(kCountSet, set_vehicle_count_handler, 1, 2), 0);

    // Each variant, written alone, gives the record and the document it stands for.
    Known known;
    for (int k = 0; k < kVariants; ++k) {
        known.advBodies.push_back(advanced_body(k, false));
        known.countBodies.push_back(count_body(k, false));
        ASSERT_EQ(call(kAdvSet, QZ_HTTP_POST, known.advBodies[k]).body, kOk) << k;
        ASSERT_EQ(call(kCountSet, QZ_HTTP_POST, known.countBodies[k]).body, kOk) << k;
        known.advDocs.insert(call(kAdvGet, QZ_HTTP_GET, "").body);
        known.countDocs.insert(call(kCountGet, QZ_HTTP_GET, "").body);
        known.advRecords.insert(cached_bytes(&lpr::LprCgiCache::get_lpr_advanced));
        known.countRecords.insert(cached_bytes(&lpr::LprCgiCache::get_vehicle_count_setting));
    }
    for (const std::set<std::string>* docs : {&known.advDocs, &known.countDocs}) {
        for (const std::string& doc : *docs) {
            ASSERT_TRUE(lpr::parse_json(doc.c_str())) << doc;
        }
    }
    ASSERT_EQ(known.advDocs.size(), static_cast<size_t>(kVariants));
    ASSERT_EQ(known.countDocs.size(), static_cast<size_t>(kVariants));
    // Refused writes carry values of a fifth variant: if any of them leaked into the
    // cache, reads would show a document outside the known set.
    known.advRefused = advanced_body(kVariants, true);
    known.countRefused = count_body(kVariants, true);

    lpr_test::BusListener bus(LPR_BUS_ENDPOINT_WEBSERVER);
    ASSERT_TRUE(bus.wait_connected([&] { call(kCountSet, QZ_HTTP_POST, known.countBodies[0]); }));

    Failures failures;
    std::atomic<int> counts[kOps] = {};
    const auto deadline = std::chrono::steady_clock::now() + kRunTime;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(run_worker, t + 1, std::cref(known), deadline, &failures, counts);
    }
    // Meanwhile every record on the bus must be one that a write stored whole.
    std::vector<lpr_test::BusMessage> messages;
    lpr_test::BusMessage msg;
    while (std::chrono::steady_clock::now() < deadline) {
        if (bus.receive(&msg, std::chrono::milliseconds(50))) {
            messages.push_back(msg);
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (const lpr_test::BusMessage& m : bus.drain()) {
        messages.push_back(m);
    }
    lpr_cgi_uninit();

    EXPECT_EQ(failures.count(), 0) << failures.text();
    for (int op = 0; op < kOps; ++op) {
        EXPECT_GT(counts[op].load(), 0) << "operation " << op << " never ran";
    }
    EXPECT_FALSE(messages.empty());
    for (const lpr_test::BusMessage& m : messages) {
        if (m.topic() == LPR_BUS_TOPIC_ADVANCED) {
            EXPECT_EQ(known.advRecords.count(m.payload()), 1U) << "torn advanced record on the bus";
        } else {
            ASSERT_EQ(m.topic(), LPR_BUS_TOPIC_COUNT);
            EXPECT_EQ(known.countRecords.count(m.payload()), 1U) << "torn count record on the bus";
        }
    }
}
