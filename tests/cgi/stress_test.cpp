// Several host threads at once: reads and writes of both settings records, refused writes
// and the action listing, all through lpr_cgi_handle on a real settings database and a
// real bus. Every write names every member, so each record that a write stores is one of
// a few known records: a read, a cache copy or a bus message that is not one of them is a
// torn or leaked record. No lock spans a write's store and publish, so the order of the bus
// is not the order of the cache; keeping them together is the host's business (tested end
// to end in tests/e2e/acked_writes_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "library_call.h"

namespace {

using lpr_test::bytes_of;

// Few threads and a short run: enough to interleave every pair of operations, and short
// enough under ThreadSanitizer on a loaded machine.
constexpr int kThreads = 4;
constexpr int kVariants = 4;
constexpr auto kRunTime = std::chrono::seconds(2);

const char kListing[] = R"(["advanced.get","advanced.set","count.get","count.set"])";
const char kOk[] = R"({"code":200,"msg":"OK"})";

// Variant k of each record: texts of equal length, so that each variant leaves the same
// bytes in the record whatever was there before. Its read document names every member.
std::string advanced_document(int k) {
    lpr_advanced_t a;
    Database::default_lpr_advanced(&a);
    a.osd_font_size = static_cast<uint8_t>(k);
    a.osd_fontcolor_g = static_cast<uint8_t>(10 * k);
    std::snprintf(a.osd_position, sizeof a.osd_position, "position-%d", k);
    std::snprintf(a.snap_device_id, sizeof a.snap_device_id, "device-%d", k);
    a.snapshotResInfo.width = 1000 + k;
    lpr_test::put_cached(a);
    return lpr_test::get("advanced.get").body;
}

std::string count_document(int k) {
    VEHICLE_COUNT_SETTING v;
    Database::default_vehicle_count(&v);
    v.countInfo.resetHour = static_cast<uint8_t>(k);
    v.postSetting.cameraPort = 1000 + k;
    for (int i = 0; i < LPR_VEHICLE_POST_SLOTS; ++i) {
        std::snprintf(v.postSetting.url[i], sizeof v.postSetting.url[i], "http://host-%d-%d/", k,
                      i);
        v.postSetting.httpEnable[i] = static_cast<uint8_t>((k + i) % 2);
    }
    lpr_test::put_cached(v);
    return lpr_test::get("count.get").body;
}

// text with its last occurrence of from replaced.
std::string replace_last(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.rfind(from), from.size(), to);
}

template <typename T>
std::string cached_bytes() {
    return bytes_of(lpr_test::cached<T>());
}

// What every write, read, listing and cache copy may yield.
struct Known {
    std::set<std::string> advDocs, countDocs, advRecords, countRecords;
    std::vector<std::string> advBodies, countBodies;
    std::string advRefused, countRefused;
};

// Failures seen on any thread: counted, the first few kept for the report.
struct Failures {
    std::mutex mutex;
    std::vector<std::string> first;
    int count = 0;
    void check(bool ok, const char* what, const std::string& got) {
        if (!ok) {
            std::lock_guard<std::mutex> lock(mutex);
            if (first.size() < 5) {
                first.push_back(std::string(what) + ": " + got.substr(0, 400));
            }
            ++count;
        }
    }
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
    const std::string invalid = R"({"code":400,"msg":"Invalid parameter: )";
    while (std::chrono::steady_clock::now() < deadline) {
        const int op = static_cast<int>(rng() % kOps);
        const size_t k = rng() % kVariants;
        counts[op].fetch_add(1, std::memory_order_relaxed);
        lpr_test::Reply r{};
        switch (op) {
            case kWriteAdv:
                r = lpr_test::post("advanced.set", known.advBodies[k]);
                failures->check(r.body == kOk, "advanced write", r.body);
                break;
            case kWriteCount:
                r = lpr_test::post("count.set", known.countBodies[k]);
                failures->check(r.body == kOk, "count write", r.body);
                break;
            case kRefuseAdv:
                r = lpr_test::post("advanced.set", known.advRefused);
                failures->check(r.body == invalid + "snapshotResInfo\"}", "refused write", r.body);
                break;
            case kRefuseCount:
                r = lpr_test::post("count.set", known.countRefused);
                failures->check(r.body == invalid + "httpList.enable\"}", "refused write", r.body);
                break;
            case kReadAdv:
                r = lpr_test::get("advanced.get");
                failures->check(known.advDocs.count(r.body) == 1, "advanced read", r.body);
                break;
            case kReadCount:
                r = lpr_test::get("count.get");
                failures->check(known.countDocs.count(r.body) == 1, "count read", r.body);
                break;
            case kList: {
                char buf[128];
                lpr_cgi_list_actions(buf, sizeof buf);
                failures->check(std::string(buf) == kListing, "listing", buf);
                break;
            }
            default:
                failures->check(known.advRecords.count(cached_bytes<lpr_advanced_t>()) == 1,
                                "advanced cache copy", "unknown record");
                failures->check(
                    known.countRecords.count(cached_bytes<VEHICLE_COUNT_SETTING>()) == 1,
                    "count cache copy", "unknown record");
                break;
        }
    }
}

}  // namespace

TEST(Concurrency, threads_mixing_reads_writes_and_listing_see_only_stored_records) {
    auto lib = std::make_unique<lpr_test::SettingsLibrary>();

    // Each variant's document, written alone, gives the record and the document it stands
    // for. Refused writes carry values of a fifth variant: if any of them leaked into the
    // cache, reads would show a document outside the known set.
    Known known;
    known.advRefused = replace_last(advanced_document(kVariants), R"(,"height":)", R"(,"x":)");
    known.countRefused =
        replace_last(count_document(kVariants), R"("enable":)", R"("enable":2,"x":)");
    for (int k = 0; k < kVariants; ++k) {
        known.advBodies.push_back(advanced_document(k));
        known.countBodies.push_back(count_document(k));
        ASSERT_EQ(lpr_test::post("advanced.set", known.advBodies[k]).body, kOk);
        ASSERT_EQ(lpr_test::post("count.set", known.countBodies[k]).body, kOk);
        known.advDocs.insert(lpr_test::get("advanced.get").body);
        known.countDocs.insert(lpr_test::get("count.get").body);
        known.advRecords.insert(cached_bytes<lpr_advanced_t>());
        known.countRecords.insert(cached_bytes<VEHICLE_COUNT_SETTING>());
    }
    ASSERT_EQ(known.advRecords.size(), static_cast<size_t>(kVariants));
    ASSERT_EQ(known.countRecords.size(), static_cast<size_t>(kVariants));

    lpr_test::BusListener bus(LPR_BUS_ENDPOINT_WEBSERVER);
    ASSERT_TRUE(bus.wait_connected([&] { lpr_test::post("count.set", known.countBodies[0]); }));
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
    lib.reset();

    EXPECT_EQ(failures.count, 0) << ::testing::PrintToString(failures.first);
    for (int op = 0; op < kOps; ++op) {
        EXPECT_GT(counts[op].load(), 0) << "operation " << op << " never ran";
    }
    EXPECT_FALSE(messages.empty());
    for (const lpr_test::BusMessage& m : messages) {
        const bool adv = m.topic() == LPR_BUS_TOPIC_ADVANCED;
        EXPECT_EQ((adv ? known.advRecords : known.countRecords).count(m.payload()), 1U)
            << "torn record on the bus: " << m.topic();
    }
}
