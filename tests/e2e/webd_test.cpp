/*
 * lpr-webd over real HTTP: authentication, permissions, routing, reply bytes, limits and
 * clients that misbehave.
 */
#include <cjson/cJSON.h>

#include <algorithm>
#include <regex>
#include <thread>

#include "e2e_support.h"
#include "json_tree.h"
#include "settings_table.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

const std::string kListing =
    R"(["get_lpr_advanced","set_lpr_advanced","get_vehicle_count","set_vehicle_count"])";

class WebdTest : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& extra = {}) { cam.start(extra); }
    HttpReply as(const Credentials* who, const std::string& method, const std::string& path,
                 const std::string* body = nullptr) {
        return cam.as(who, method, path, body);
    }
    Camera cam;
};

TEST_F(WebdTest, AnswersEachRequestWithItsStatusAndEnvelope) {
    ASSERT_NO_FATAL_FAILURE(start());
    const std::string k405 = R"({"code":405,"msg":"Method not allowed"})";
    // clang-format off
    const struct {
        const char* what;
        const Credentials* who;
        const char* method;
        const char* path;
        const char* body;  // null: no body
        long status;
        std::string reply;  // exact bytes
        const char* allow;  // expected Allow header, or null
    } cases[] = {
        {"GET on a write action", &kAdmin, "GET", "/api/v1/set_vehicle_count", nullptr, 405, k405, "POST"},
        {"POST on a read action", &kAdmin, "POST", "/api/v1/get_lpr_advanced", "{}", 405, k405, "GET, HEAD"},
        {"DELETE on whoami", &kAdmin, "DELETE", "/api/v1/whoami", nullptr, 405, k405, "GET, HEAD"},
        {"unknown action", &kAdmin, "GET", "/api/v1/reboot", nullptr, 404,
         R"({"code":404,"msg":"Unknown action: reboot"})", nullptr},
        {"below an action", &kAdmin, "GET", "/api/v1/get_vehicle_count/x", nullptr, 404,
         R"({"code":404,"msg":"Not found"})", nullptr},
        {"settings table without view", &kNobody, "GET", "/api/v1/settings_table", nullptr, 403,
         R"({"code":403,"msg":"Permission denied","required":"view","permissions":"none",)"
         R"("hint":"settings_table needs the permission view; user nobody has none. An )"
         R"(administrator grants it with: lpr-webd --users FILE --add-user nobody --perm view"})",
         nullptr},
        {"empty body", &kAdmin, "POST", "/api/v1/set_vehicle_count", "", 400,
         R"({"code":400,"msg":"Empty body"})", nullptr},
        {"listing without slash", &kNobody, "GET", "/api/v1", nullptr, 200, kListing, nullptr},
        {"write accepted", &kAdmin, "POST", "/api/v1/set_vehicle_count", R"({"resetHour":5})", 200,
         R"({"code":200,"msg":"OK"})", nullptr},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string body = c.body != nullptr ? c.body : "";
        HttpReply reply = as(c.who, c.method, c.path, c.body != nullptr ? &body : nullptr);
        ASSERT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.reply);
        EXPECT_EQ(reply.headers["content-type"], "application/json");
        if (c.allow != nullptr) {
            EXPECT_EQ(reply.headers["allow"], c.allow);
        }
    }
    // One access-log line per request: time, client, user, method, URL, status, bytes, us.
    // The users file is the owner's only: no warning about it.
    std::string log = cam.webd()->log();
    EXPECT_EQ(log.find("can be read by other users"), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(
        log, std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \d+\] access: 127\.0\.0\.1 )"
                        R"(admin GET /api/v1/set_vehicle_count 405 39 \d+us\n)")))
        << log;
}

/* The error policy: a failure inside a request's handling (the test build's fault hook
 * throws std::bad_alloc after the library answered a write, while the record's gate and the
 * library's reply are held) is answered 500 and logged once; the connection stays open, and
 * the same write goes through next, so nothing stayed held. */
TEST_F(WebdTest, AFailureInsideARequestIsAnswered500AndTheNextRequestIsServed) {
    cam.set_webd_program(LPR_WEBD_FAULT_HOOK_BIN);
    ASSERT_NO_FATAL_FAILURE(start());
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);
    const std::string url = cam.url("/api/v1/set_vehicle_count");
    const std::string write = R"({"resetHour":5})";
    HttpReply failed = client.request("POST", url, &write, {"X-Lpr-Fault: bad-alloc"});
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(failed.body, R"({"code":500,"msg":"Internal error"})");
    HttpReply next = client.post(url, write);
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body, R"({"code":200,"msg":"OK"})");
    EXPECT_EQ(client.connects(), 1);
    const std::string log = cam.webd()->log();
    EXPECT_EQ(count_of(log,
                       "] lpr-webd: error: POST /api/v1/set_vehicle_count (answered 500): "
                       "std::bad_alloc\n"),
              1u)
        << log;
    EXPECT_EQ(count_of(log, " POST /api/v1/set_vehicle_count 500 35 "), 1u) << log;
}

TEST_F(WebdTest, SettingsPageAndTableAreServedWithTheirTypesAndCaching) {
    ASSERT_NO_FATAL_FAILURE(start());
    HttpClient client;
    client.set_credentials(kViewer.user, kViewer.password);
    HttpReply page = client.get(cam.url("/"));
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.body, read_file(std::string(LPR_WWW_DIR) + "/index.html"));
    EXPECT_EQ(page.headers["content-type"], "text/html; charset=utf-8");
    EXPECT_EQ(page.headers["cache-control"], "private, no-cache");
    EXPECT_NE(page.headers["content-security-policy"].find("frame-ancestors 'none'"),
              std::string::npos);
    EXPECT_EQ(page.headers["x-content-type-options"], "nosniff");
    // The browser asks again each time; the file it holds costs a 304 without a body.
    HttpReply again =
        client.request("GET", cam.url("/"), nullptr, {"If-None-Match: " + page.headers["etag"]});
    EXPECT_EQ(again.status, 304);
    EXPECT_EQ(again.body, "");
    // The settings table the page builds its forms from, as the programs hold it.
    HttpReply table = client.get(cam.url("/api/v1/settings_table"));
    EXPECT_EQ(table.body, settings::table_json());
    EXPECT_EQ(as(nullptr, "GET", "/").status, 401);  // the page asks for the API's login
}

TEST_F(WebdTest, WritesABrowserSendsForAnotherSitesPageAreRefused) {
    ASSERT_NO_FATAL_FAILURE(start());
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);
    const std::string body = R"({"resetMin":7})";
    const struct {
        std::string header;
        long status;
    } cases[] = {
        {"Origin: http://elsewhere.example", 403},
        {"Origin: http://127.0.0.1:1", 403},
        {"Sec-Fetch-Site: same-site", 403},
        {"Origin: http://127.0.0.1:" + std::to_string(cam.port()), 200},  // the page itself
        {"X-Nothing: 1", 200},  // curl and scripts send neither header
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        HttpReply reply =
            client.request("POST", cam.url("/api/v1/set_vehicle_count"), &body, {c.header});
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.body, c.status == 403 ? R"({"code":403,"msg":"Cross-site request refused"})"
                                              : R"({"code":200,"msg":"OK"})");
    }
}

TEST_F(WebdTest, HostileClientsDoNotStopServiceToOthers) {
    // Slow clients are tests/e2e/security_test.cpp's.
    ASSERT_NO_FATAL_FAILURE(start({"--timeout", "2", "--threads", "2", "--max-per-ip", "16"}));
    // Requests of a doubtful form get the JSON 400 before anything else reads them.
    const std::string post = "POST /api/v1/set_vehicle_count HTTP/1.1\r\nHost: x\r\n";
    const struct {
        const char* what;
        std::string request;
        const char* statusLine;
        const char* msg;  // of the JSON body, when lpr-webd answers rather than libmicrohttpd
    } bad[] = {
        {"garbage request line", "\x01\x02 not http at all\r\n\r\n", "HTTP/1.1 400 ", nullptr},
        {"header larger than the connection memory",
         "GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(64 * 1024, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 431 ", nullptr},
        {"HTTP/1.1 without Host", "GET /api/v1/whoami HTTP/1.1\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 400 ", "Missing Host header"},
        {"two Host headers",
         "GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nHost: y\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 400 ", "Repeated Host header"},
        {"two lengths",
         post + "Connection: close\r\nContent-Length: 2\r\nContent-Length: 40\r\n\r\n{}",
         "HTTP/1.1 400 ", "Repeated Content-Length header"},
        {"a length and a coding",
         post + "Connection: close\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n"
                "2\r\n{}\r\n0\r\n\r\n",
         "HTTP/1.1 400 ", "Content-Length with Transfer-Encoding"},
        {"%00 in the path",
         "GET /api/v1/get_vehicle_count%00junk HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 400 ", "Invalid character in the URL"},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.what);
        RawConnection conn(cam.port());
        conn.send(c.request);  // the server may close before it has read everything
        bool closed = false;
        std::string answer = conn.read_until_closed(milliseconds(5000), &closed);
        EXPECT_EQ(answer.compare(0, 13, c.statusLine), 0) << answer.substr(0, 200);
        EXPECT_TRUE(closed);
        if (c.msg != nullptr) {
            const std::string body = R"({"code":400,"msg":")" + std::string(c.msg) + R"("})";
            EXPECT_EQ(answer.substr(answer.size() - std::min(answer.size(), body.size())), body)
                << answer;
        }
    }

    // An idle connection is closed after the timeout (2 s).
    RawConnection idle(cam.port());
    bool closed = false;
    const auto begin = steady_clock::now();
    idle.read_until_closed(milliseconds(6000), &closed);
    const auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin).count();
    EXPECT_TRUE(closed);
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 5000);
    // Service goes on.
    EXPECT_EQ(as(&kViewer, "GET", "/api/v1/get_vehicle_count").status, 200);
}

TEST(WebdCommandLine, RefusesWhatItCannotServe) {
    lpr_test::TempDir dir;
    const std::string users = dir.file("users");
    const std::string db = dir.file("settings.db");
    // clang-format off
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        const char* output;
    } cases[] = {
        {{"--db", db, "--users", users}, "", 1, "no readable settings database at "},
        {{"--address", "localhost"}, "", 2, "--address localhost is not an IPv4 or IPv6 address"},
        {{"--port", "65536"}, "", 2, "--port wants a number from 0 to 65535, not \"65536\""},
        {{"--max-failed-logins", "1001"}, "", 2, "--max-failed-logins wants a number from 0 to 1000"},
        {{"--db-wait", "601"}, "", 2, "--db-wait wants a number from 0 to 600"},
        {{"--realm", "a:b"}, "", 2, "--realm must be 1 to 64 characters"},
        {{"--realm", std::string(65, 'r')}, "", 2, "--realm must be 1 to 64 characters"},
        {{"--users", users, "--add-user", "bad name"}, "long-enough\n", 1, "a user name is 1 to 32"},
        {{"--users", users, "--add-user", "x", "--perm", "admin"}, "long-enough\n", 1,
         "--perm takes view, change, view,change or none"},
        {{"--users", users, "--add-user", "x"}, "short\n", 1, "at least 8 characters"},
        {{"--users", users, "--remove-user", "x"}, "", 1, "users"},
        {{"--users", users, "--add-user", "x", "--perm", "change"}, "long-enough\n", 0,
         "user x (change) written to "},
        {{"--users", users, "--remove-user", "x"}, "", 0, "removed user x from "},
    };
    // clang-format on
    for (const auto& c : cases) {
        std::vector<std::string> argv = {LPR_WEBD_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(argv.back());
        std::string output;
        EXPECT_EQ(run_program(argv, c.input, &output), c.status);
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
    }
}

}  // namespace
}  // namespace e2e
