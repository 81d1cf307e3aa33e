// 100,000 request cycles through lpr_cgi_handle on a real settings database and bus:
// writes, reads, refusals and unknown actions, each reply checked. The
// resident memory of the process after the run stays within a small margin of what
// it was after a warm-up: no reply body, JSON tree or bus message is kept per request.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "library_call.h"

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

const char kOk[] = R"({"code":200,"msg":"OK"})";

// Request cycle i: one request of a round of six (two writes, reads of what was just
// written, a refusal, an unknown action), its reply checked and released. Returns a
// description of a wrong reply, or "".
std::string run_cycle(int i) {
    using lpr_test::get;
    using lpr_test::post;
    const int round = i / 6;
    const std::string font = std::to_string(round % 6);
    const std::string port = std::to_string(1 + round % 65535);
    const std::string name = std::to_string(round);
    lpr_test::Reply r{};
    switch (i % 6) {
        case 0:
            r = post("advanced.set", R"({"osdFontSize":)" + font + R"(,"osdPositionName":"gate )" +
                                         name + R"(","osdSpaceList":[{"fileName":"gps","spaces":)" +
                                         std::to_string(round % 10) + "}]}");
            return r.body == kOk ? "" : "advanced write: " + r.body;
        case 1:
            r = get("advanced.get");
            return r.body.find(R"("osdFontSize":)" + font + ",") != std::string::npos
                       ? ""
                       : "advanced read: " + r.body;
        case 2:
            r = post("count.set", R"({"cameraPort":)" + port + R"(,"httpUrl":"http://10.1.2.3/)" +
                                      name + R"(","httpList":[{"enable":0},{"url":"http://b/)" +
                                      name + R"("}]})");
            return r.body == kOk ? "" : "count write: " + r.body;
        case 3:
            r = get("count.get");
            return r.body.find(R"("cameraPort":)" + port + ",") != std::string::npos
                       ? ""
                       : "count read: " + r.body;
        case 4:
            r = post("advanced.set", R"({"osdFontSize":)" + std::to_string(6 + round % 100) + "}");
            return r.body == R"({"code":400,"msg":"Invalid parameter: osdFontSize"})"
                       ? ""
                       : "refused write: " + r.body;
        default:
            r = get("no.such.action");
            return r.rc == 1 && r.body == "<null>" ? "" : "unknown action";
    }
}

}  // namespace

TEST(Soak, hundred_thousand_request_cycles_keep_resident_memory_flat) {
    auto lib = std::make_unique<lpr_test::SettingsLibrary>();
    long afterWarmUp = 0;
    for (int i = 0; i < kCycles; ++i) {
        const std::string wrong = run_cycle(i);
        ASSERT_TRUE(wrong.empty()) << "cycle " << i << ": " << wrong;
        if (i + 1 == kWarmUp) {
            afterWarmUp = resident_kb();
        }
    }
    const long atEnd = resident_kb();
    lib.reset();
    ASSERT_GT(afterWarmUp, 0);
    RecordProperty("rss_after_warm_up_kb", std::to_string(afterWarmUp));
    RecordProperty("rss_at_end_kb", std::to_string(atEnd));
    std::printf("resident memory: %ld kB after %d cycles, %ld kB after %d\n", afterWarmUp, kWarmUp,
                atEnd, kCycles);
    if (kMeasure) {
        EXPECT_LE(atEnd - afterWarmUp, kToleranceKb);
    }
}
