// 100,000 request cycles through lpr_cgi_handle on a real settings database and bus:
// writes, reads, refusals, unknown actions and listings, each reply checked. The
// resident memory of the process after the run stays within a small margin of what
// it was after a warm-up: no reply body, JSON tree or bus message is kept per request.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Database.h"
#include "cgi/lpr_cgi.h"
#include "test_support.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define LPR_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define LPR_SOAK_SANITIZED 1
#endif
#endif

#ifdef LPR_SOAK_SANITIZED
// Sanitizer allocators hold freed memory back (quarantine, shadow), so resident memory
// says nothing there; their own leak check covers the shorter run.
constexpr int kCycles = 10000;
constexpr bool kMeasure = false;
#else
constexpr int kCycles = 100000;
constexpr bool kMeasure = true;
#endif
constexpr int kWarmUp = kCycles / 10;
// Allowed growth from the end of the warm-up to the end: 256 KiB, under 3 bytes per
// cycle; one lost reply body per request would be well over 2 MiB.
constexpr long kToleranceKb = 256;

long resident_kb() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

struct Reply {
    int32_t result;
    int32_t code;
    std::string body;
};

Reply call(const char* action, uint32_t perm, const std::string& body) {
    std::vector<char> buf(body.begin(), body.end());
    buf.push_back('\0');
    LprCgiCtx ctx{};
    ctx.action = action;
    ctx.method = body.empty() ? QZ_HTTP_GET : QZ_HTTP_POST;
    ctx.body = buf.data();
    ctx.bodyLen = static_cast<int32_t>(body.size());
    ctx.lprPermission = perm;
    LprCgiResp resp{};
    Reply r{lpr_cgi_handle(&ctx, &resp), resp.code,
            resp.body != nullptr ? std::string(resp.body, resp.bodyLen) : std::string()};
    lpr_cgi_resp_free(&resp);
    return r;
}

// The integer value of a member of a read document, or -1.
long member_of(const std::string& doc, const char* key) {
    cJSON* root = cJSON_Parse(doc.c_str());
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(root, key);
    long value = cJSON_IsNumber(item) ? item->valueint : -1;
    cJSON_Delete(root);
    return value;
}

const char kOk[] = "{\"code\":200,\"msg\":\"OK\"}";

// Request cycle i: one request of a round of nine (writes, reads of what was just
// written, a refusal, a broken body, a forbidden write, an unknown action, a listing),
// its reply checked and released. Returns a description of a wrong reply, or "".
std::string run_cycle(int i) {
    const int round = i / 9;
    const int font = round % 6;
    const int port = 1 + round % 65535;
    const std::string name = std::to_string(round);
    Reply r{};
    switch (i % 9) {
        case 0:
            r = call("adv.set", 1,
                     "{\"osdFontSize\":" + std::to_string(font) + ",\"osdPositionName\":\"gate " +
                         name + "\",\"osdSpaceList\":[{\"fileName\":\"gps\",\"spaces\":" +
                         std::to_string(round % 10) + "}]}");
            return r.code == 200 && r.body == kOk ? "" : "advanced write: " + r.body;
        case 1:
        case 3: {  // the write just before is read back
            const bool adv = i % 9 == 1;
            r = call(adv ? "adv.get" : "count.get", 1, "");
            return r.code == 200 && member_of(r.body, adv ? "osdFontSize" : "cameraPort") ==
                                        (adv ? font : port)
                       ? ""
                       : (adv ? "advanced read: " : "count read: ") + r.body;
        }
        case 2:
            r = call("count.set", 1,
                     "{\"cameraPort\":" + std::to_string(port) + ",\"httpUrl\":\"http://10.1.2.3/" +
                         name + "\",\"httpList\":[{\"enable\":0},{\"url\":\"http://b/" + name +
                         "\"}]}");
            return r.code == 200 && r.body == kOk ? "" : "count write: " + r.body;
        case 4:
            r = call("adv.set", 1, "{\"osdFontSize\":" + std::to_string(6 + round % 100) + "}");
            return r.code == 400 &&
                           r.body == "{\"code\":400,\"msg\":\"Invalid parameter: osdFontSize\"}"
                       ? ""
                       : "refused write: " + r.body;
        case 5:
            r = call("count.set", 1, "{\"enable\":");
            return r.code == 400 && r.body == "{\"code\":400,\"msg\":\"Invalid JSON\"}"
                       ? ""
                       : "broken body: " + r.body;
        case 6:
            r = call("count.set", 4, "{}");
            return r.code == 403 && r.result == 0 ? "" : "forbidden write: " + r.body;
        case 7:
            r = call("no.such.action", 1, "");
            return r.result == 1 && r.code == 0 && r.body.empty() ? "" : "unknown action";
        default: {
            char listing[64];
            return lpr_cgi_list_actions(listing, sizeof listing) == 0 &&
                           std::strcmp(listing,
                                       "[\"adv.get\",\"adv.set\",\"count.get\",\"count.set\"]") == 0
                       ? ""
                       : "listing";
        }
    }
}

}  // namespace

TEST(Soak, hundred_thousand_request_cycles_keep_resident_memory_flat) {
    lpr_test::TempDir dir;
    const std::string db = dir.file("settings.db");
    ASSERT_EQ(Database::create_default(db.c_str()), 0);
    ASSERT_EQ(lpr_cgi_init(db.c_str()), 0);
    ASSERT_EQ(lpr_cgi_register_action("adv.get", get_lpr_advanced_handler, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("adv.set", set_lpr_advanced_handler, 1, 2), 0);
    ASSERT_EQ(lpr_cgi_register_action("count.get", get_vehicle_count_handler, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("count.set", set_vehicle_count_handler, 1, 2), 0);

    long afterWarmUp = 0;
    for (int i = 0; i < kCycles; ++i) {
        const std::string wrong = run_cycle(i);
        ASSERT_TRUE(wrong.empty()) << "cycle " << i << ": " << wrong;
        if (i + 1 == kWarmUp) {
            afterWarmUp = resident_kb();
        }
    }
    const long atEnd = resident_kb();
    lpr_cgi_uninit();
    ASSERT_GT(afterWarmUp, 0);
    RecordProperty("rss_after_warm_up_kb", std::to_string(afterWarmUp));
    RecordProperty("rss_at_end_kb", std::to_string(atEnd));
    std::printf("resident memory: %ld kB after %d cycles, %ld kB after %d\n", afterWarmUp, kWarmUp,
                atEnd, kCycles);
    if (kMeasure) {
        EXPECT_LE(atEnd - afterWarmUp, kToleranceKb);
    }
}
