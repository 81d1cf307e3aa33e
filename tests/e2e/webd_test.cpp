/*
 * lpr-webd over real HTTP with its settings daemon: replies byte for byte, the page, limits,
 * slow clients, failed logins, the error policy, connection limits and the command line.
 */
#include <regex>
#include <thread>

#include "e2e_support.h"
#include "settings_table.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

class WebdTest : public ::testing::Test {
  protected:
    void start(const std::vector<std::string>& extra = {}) {
        ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());  // a write's 200 needs it
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_NO_FATAL_FAILURE(cam.start_webd(extra));
    }
    HttpReply as(const Credentials* who, const std::string& method, const std::string& path,
                 const std::string* body = nullptr, const std::vector<std::string>& headers = {}) {
        HttpClient client;
        client.set_credentials(who ? who->user : "", who ? who->password : "");
        return client.request(method, cam.url(path), body, headers);
    }
    Camera cam;
};

/* What whoami answers for a user: the permissions and every action with its verdict. */
std::string whoami(const char* user, int perms, const char* names, bool view, bool change) {
    std::string reply = std::string(R"({"user":")") + user + R"(","permissions":)" +
                        std::to_string(perms) + R"(,"permissionNames":)" + names +
                        R"(,"actions":[)";
    for (const char* action :
         {"get_lpr_advanced", "set_lpr_advanced", "get_vehicle_count", "set_vehicle_count"}) {
        const bool get = action[0] == 'g';
        reply += std::string(reply.back() == '[' ? "" : ",") + R"({"action":")" + action +
                 R"(","url":"/api/v1/)" + action + R"(","methods":[")" + (get ? "GET" : "POST") +
                 R"("],"requires":")" + (get ? "view" : "change") + R"(","allowed":)" +
                 ((get ? view : change) ? "true" : "false") + "}";
    }
    return reply + "]}";
}

/* One camera serves every case that needs no camera of its own; the failed logins come
 * last, for they block the test's address. */
TEST_F(WebdTest, AnswersEveryRequestWithItsExactReply) {
    ASSERT_NO_FATAL_FAILURE(
        start({"--max-body", "1024", "--max-failed-logins", "3", "--login-block", "30", "--timeout",
               "2", "--threads", "2", "--max-per-ip", "16"}));
    const std::string listing =
        R"(["get_lpr_advanced","set_lpr_advanced","get_vehicle_count","set_vehicle_count"])";
    const std::string notAllowed = R"({"code":405,"msg":"Method not allowed"})";
    const std::string ok = R"({"code":200,"msg":"OK"})";
    const std::string crossSite = R"({"code":403,"msg":"Cross-site request refused"})";
    const std::string tooLarge = R"({"code":413,"msg":"Request body larger than 1024 bytes"})";
    std::string atLimit = R"({"resetMin":1})";  // a valid document padded to the limit
    atLimit.append(1024 - atLimit.size(), ' ');
    const std::string self = "Origin: http://127.0.0.1:" + std::to_string(cam.port());
    const std::string set = "POST /api/v1/set_vehicle_count";
    const std::string b7 = R"({"resetMin":7})";
    const std::string notFound = R"({"code":404,"msg":"Not found"})";
    const struct {
        const Credentials* who;
        std::string request;  // method and path
        std::string body;     // sent with POST only
        std::string header;
        long status;
        std::string reply;
        const char* allow = nullptr;
    } cases[] = {
        {&kAdmin, "GET /api/v1/set_vehicle_count", "", "", 405, notAllowed, "POST"},
        {&kAdmin, "POST /api/v1/get_lpr_advanced", "{}", "", 405, notAllowed, "GET, HEAD"},
        {&kAdmin, "PUT /api/v1/get_vehicle_count", "", "", 405, notAllowed, "GET, HEAD"},
        {&kAdmin, "DELETE /api/v1/whoami", "", "", 405, notAllowed, "GET, HEAD"},
        {&kAdmin, "POST /api/v1/", "{}", "", 405, notAllowed, "GET, HEAD"},
        {&kAdmin, "POST /", "{}", "", 405, notAllowed, "GET, HEAD"},
        {&kAdmin, "GET /api/v1/reboot", "", "", 404,
         R"({"code":404,"msg":"Unknown action: reboot"})"},
        {&kAdmin, "GET /index.html", "", "", 404, notFound},
        {&kAdmin, "GET /api/v1/get_vehicle_count/x", "", "", 404, notFound},
        {&kNobody, "GET /api/v1/settings_table", "", "", 403,
         R"({"code":403,"msg":"Permission denied","required":"view","permissions":"none",)"
         R"("hint":"settings_table needs the permission view; user nobody has none. An )"
         R"(administrator grants it with: lpr-webd --users FILE --add-user nobody --perm view"})"},
        {&kViewer, "GET /api/v1/settings_table", "", "", 200, settings::table_json()},
        {&kAdmin, set, "", "", 400, R"({"code":400,"msg":"Empty body"})"},
        {&kViewer, "GET /api/v1/", "", "", 200, listing},
        {&kNobody, "GET /api/v1", "", "", 200, listing},
        {&kAdmin, "GET /api/v1/whoami", "", "", 200,
         whoami("admin", 3, R"(["view","change"])", true, true)},
        {&kViewer, "GET /api/v1/whoami", "", "", 200,
         whoami("viewer", 1, R"(["view"])", true, false)},
        {&kNobody, "GET /api/v1/whoami", "", "", 200, whoami("nobody", 0, "[]", false, false)},
        {&kAdmin, set, atLimit, "", 200, ok},
        {&kAdmin, set, atLimit + " ", "", 413, tooLarge},
        // Writes a browser sends for another site's page; curl and scripts send neither header.
        {&kAdmin, set, b7, "Origin: http://elsewhere.example", 403, crossSite},
        {&kAdmin, set, b7, "Origin: null", 403, crossSite},
        {&kAdmin, set, b7, "Origin: http://127.0.0.1:1", 403, crossSite},
        {&kAdmin, set, b7, "Sec-Fetch-Site: cross-site", 403, crossSite},
        {&kAdmin, set, b7, "Sec-Fetch-Site: same-site", 403, crossSite},
        {&kAdmin, set, b7, self, 200, ok},
        {&kAdmin, set, b7, "Sec-Fetch-Site: same-origin", 200, ok},
        {&kAdmin, set, R"({"resetHour":5})", "", 200, ok},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request + " " + c.header);
        const std::string method = c.request.substr(0, c.request.find(' '));
        HttpReply reply = as(c.who, method, c.request.substr(method.size() + 1),
                             method == "POST" ? &c.body : nullptr,
                             c.header.empty() ? std::vector<std::string>{} : std::vector{c.header});
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

    // Chunked, no length announced: read up to the limit, then refused the same way.
    RawConnection chunked(cam.port());
    std::string request =
        "POST /api/v1/set_vehicle_count HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 4; ++i) {
        request += "200\r\n" + std::string(512, ' ') + "\r\n";
    }
    HttpReply chunkedReply = chunked.exchange(request + "0\r\n\r\n");
    EXPECT_EQ(chunkedReply.status, 413);
    EXPECT_EQ(chunkedReply.body, tooLarge);

    // The settings page and its files, with their types and caching; the same login as the
    // API, with SHA-256 unless --digest-md5 is given.
    HttpReply challenge = as(nullptr, "GET", "/");
    EXPECT_EQ(challenge.status, 401);
    EXPECT_NE(challenge.headers["www-authenticate"].find("algorithm=sha-256"), std::string::npos);
    HttpClient viewer;
    viewer.set_credentials(kViewer.user, kViewer.password);
    const char* pages[][3] = {{"/", "index.html", "text/html"},
                              {"/page.js", "page.js", "text/javascript"},
                              {"/page.css", "page.css", "text/css"}};
    for (const auto& p : pages) {
        SCOPED_TRACE(p[0]);
        const std::string path = p[0];
        HttpReply page = viewer.get(cam.url(path));
        EXPECT_EQ(page.status, 200);
        EXPECT_EQ(page.body, read_file(std::string(LPR_WWW_DIR) + "/" + p[1]));
        EXPECT_EQ(page.headers["content-type"], std::string(p[2]) + "; charset=utf-8");
        EXPECT_EQ(page.headers["cache-control"], "private, no-cache");
        EXPECT_NE(page.headers["content-security-policy"].find("frame-ancestors 'none'"),
                  std::string::npos);
        EXPECT_EQ(page.headers["x-content-type-options"], "nosniff");
        // The browser asks again each time; the file it holds costs a 304 without a body.
        const std::string etag = page.headers["etag"];
        EXPECT_TRUE(std::regex_match(etag, std::regex("\"[0-9a-f]{32}\""))) << etag;
        HttpReply again = viewer.request("GET", cam.url(path), nullptr, {"If-None-Match: " + etag});
        EXPECT_EQ(again.status, 304);
        EXPECT_EQ(again.body, "");
        EXPECT_EQ(again.headers["etag"], etag);
        EXPECT_EQ(viewer.request("GET", cam.url(path), nullptr, {"If-None-Match: \"x\""}).status,
                  200);
    }

    // docs/openapi.yaml names every URL the server answers, and the default body limit.
    const std::string yaml = read_file(LPR_OPENAPI_YAML);
    for (const char* entry :
         {"/:\n    get", "/whoami:\n    get", "/settings_table:\n    get", "/status:\n    get",
          "/changes:\n    get", "/get_lpr_advanced:\n    get", "/set_lpr_advanced:\n    post",
          "/get_vehicle_count:\n    get", "/set_vehicle_count:\n    post"}) {
        EXPECT_NE(yaml.find(std::string("\n  /api/v1") + entry + ":\n"), std::string::npos)
            << entry;
    }
    std::string help;
    ASSERT_EQ(run_program({LPR_WEBD_BIN, "--help"}, "", &help), 0);
    EXPECT_NE(help.find("--max-body B            largest request body, bytes (default 65536"),
              std::string::npos);
    EXPECT_NE(yaml.find("Request body larger than 65536 bytes"), std::string::npos);

    // The library's bytes for a read, over keep-alive: alternating writes and reads on one
    // connection, every reply whole and each read at once (a Nagle stall would cost about
    // 40 ms per reply). A write waits for the daemon's commit, so only the reads are timed.
    const std::string fields =
        R"({"enable":1,"showInformation":1,"crossRegionRepeatCounting":1,"countType":1,)"
        R"("autoReset":1,"resetDayType":7,"resetHour":23,"resetMin":59,"resetSec":58,)"
        R"("infoTableLeft":100,"infoTableTop":20,"enablePost":1,"postMode":1,)"
        R"("attachSnapshot":1,"postType":1,"timeHour":5,"timeMin":6,"timeSec":7,)"
        R"("cameraPort":8080,"interval":1,)";
    const std::string list[] = {
        R"("enable":1,"url":"http://a.example/x","user":"u0","password":"p0"})",
        R"("enable":0,"url":"http://b.example/y","user":"u1","password":"p\"1"})",
        R"("enable":1,"url":"http://c.example/z","user":"u2","password":"p2"})"};
    const std::string doc =
        fields + R"("httpList":[{)" + list[0] + ",{" + list[1] + ",{" + list[2] + "]}";
    const std::string expected =
        fields + R"("httpUrl":"http://a.example/x","userName":"u0","password":"p0","httpList":[)" +
        R"({"index":0,)" + list[0] + R"(,{"index":1,)" + list[1] + R"(,{"index":2,)" + list[2] +
        "]}";
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);
    const int kRounds = 100;
    long long reads = 0;
    for (int i = 0; i < kRounds; ++i) {
        HttpReply w = client.post(cam.url("/api/v1/set_vehicle_count"), doc);
        const auto begin = steady_clock::now();
        HttpReply r = client.get(cam.url("/api/v1/get_vehicle_count"));
        reads += millis_since(begin);
        ASSERT_EQ(w.status, 200) << w.body;
        ASSERT_EQ(r.status, 200);
        ASSERT_EQ(r.body, expected);
        EXPECT_EQ(r.headers["content-length"], std::to_string(expected.size()));
    }
    EXPECT_EQ(client.connects(), 1) << "keep-alive: one connection for every request";
    EXPECT_LT(reads, 2000) << kRounds << " reads after writes took " << reads << " ms";
#ifndef __SANITIZE_ADDRESS__  // which holds freed memory back; its leak check covers this
    // Every library reply is released once sent: 5,000 more reads (a reply is about 1 kB)
    // leave the server's resident memory within 1 MB.
    const auto resident_kb = [&] {
        const std::string status =
            read_file("/proc/" + std::to_string(cam.webd()->pid()) + "/status");
        return std::stol(status.substr(status.find("VmRSS:") + 6));
    };
    const long before = resident_kb();
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(client.get(cam.url("/api/v1/get_vehicle_count")).body, expected);
    }
    EXPECT_LT(resident_kb() - before, 1024) << "kB more after 5,000 reads";
#endif

    // Slow and idle clients do not keep two workers from serving others; the idle timeout
    // closes them all.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 8; ++i) {  // half a request each, then silence
        slow.push_back(std::make_unique<RawConnection>(cam.port()));
        ASSERT_TRUE(slow.back()->connected());
        ASSERT_TRUE(slow.back()->send("GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nX-Slow: "));
    }
    auto begin = steady_clock::now();
    EXPECT_EQ(as(&kViewer, "GET", "/api/v1/get_lpr_advanced").status, 200);
    EXPECT_LT(millis_since(begin), 1000) << "a served request waited behind slow clients";
    RawConnection idle(cam.port());
    bool closed = false;
    begin = steady_clock::now();
    idle.read_until_closed(milliseconds(6000), &closed);
    const long long took = millis_since(begin);
    EXPECT_TRUE(closed);
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 5000);
    for (auto& conn : slow) {
        bool gone = false;
        conn->read_until_closed(milliseconds(3000), &gone);
        EXPECT_TRUE(gone);
    }
    EXPECT_EQ(as(&kViewer, "GET", "/api/v1/get_vehicle_count").status, 200);

    // Challenges without credentials never count as failed logins; the third wrong password
    // blocks the address for the block time, even with the right password.
    const Credentials wrong = {"admin", "guess-guess"};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(as(nullptr, "GET", "/api/v1/whoami").status, 401);
    }
    EXPECT_EQ(as(&wrong, "GET", "/api/v1/whoami").status, 401);
    EXPECT_EQ(as(&wrong, "GET", "/api/v1/whoami").status, 401);
    HttpReply third = as(&wrong, "GET", "/api/v1/whoami");
    EXPECT_EQ(third.status, 429);
    EXPECT_EQ(third.body, R"({"code":429,"msg":"Too many failed logins; retry after 30 s"})");
    EXPECT_EQ(third.headers["retry-after"], "30");
    HttpReply right = as(&kAdmin, "GET", "/api/v1/whoami");
    EXPECT_EQ(right.status, 429);
    const int retry = std::stoi(right.headers["retry-after"]);
    EXPECT_GE(retry, 29);
    EXPECT_LE(retry, 30);
}

/* The error policy: the test build's fault hook throws std::bad_alloc after the library
 * answered a write, while the record's gate and the library's reply are held. The request
 * gets 500, logged once; the connection stays open and the same write goes through next,
 * so nothing stayed held. */
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

TEST_F(WebdTest, ConnectionsPerAddressAreLimited) {
    ASSERT_NO_FATAL_FAILURE(start({"--max-per-ip", "3"}));
    std::vector<std::unique_ptr<RawConnection>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<RawConnection>(cam.port()));
        ASSERT_TRUE(held.back()->connected());
    }
    // The fourth is accepted by the kernel and closed by the server at once.
    RawConnection fourth(cam.port());
    bool closed = false;
    fourth.send("GET /api/v1/ HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(fourth.read_until_closed(milliseconds(5000), &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_FALSE(as(&kViewer, "GET", "/api/v1/whoami").ok);
    // A freed slot serves again as soon as the server has seen the close.
    held.pop_back();
    long status = 0;
    for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
        std::this_thread::sleep_for(milliseconds(100));
        status = as(&kViewer, "GET", "/api/v1/whoami").status;
    }
    EXPECT_EQ(status, 200);
}

TEST(WebdCommandLine, RefusesWhatItCannotServe) {
    lpr_test::TempDir dir;
    const std::string users = dir.file("users");
    const std::string db = dir.file("settings.db");
    const std::string pw = "long-enough\n";
    const struct {
        std::vector<std::string> args;
        int status;
        const char* output;
        std::string input = "";
    } cases[] = {
        {{"--db", db, "--users", users}, 1, "no readable settings database at "},
        {{"--address", "localhost"}, 2, "--address localhost is not an IPv4 or IPv6 address"},
        {{"--port", "65536"}, 2, "--port wants a number from 0 to 65535, not \"65536\""},
        {{"--max-body", "-1"}, 2, "--max-body wants a number from 1 to 16777216"},
        {{"--threads", "0"}, 2, "--threads wants a number from 1 to 16"},
        {{"--ack-timeout", "0"}, 2, "--ack-timeout wants a number from 1 to 60000"},
        {{"--db-wait", "601"}, 2, "--db-wait wants a number from 0 to 600"},
        {{"--bogus"}, 2, "Try lpr-webd --help"},
        {{"--realm", "a:b"}, 2, "--realm must be 1 to 64 characters"},
        {{"--realm", std::string(65, 'r')}, 2, "--realm must be 1 to 64 characters"},
        {{"--max-failed-logins", "1001"}, 2, "--max-failed-logins wants a number from 0 to 1000"},
        {{"--max-failed-logins", "-0"}, 2, "--max-failed-logins wants a number from 0 to 1000"},
        {{"--users", users, "--add-user", "bad name"}, 1, "a user name is 1 to 32", pw},
        {{"--users", users, "--add-user", "x", "--perm", "admin"},
         1,
         "--perm takes view, change, view,change or none",
         pw},
        {{"--users", users, "--add-user", "x"}, 1, "at least 8 characters", "short\n"},
        {{"--users", users, "--remove-user", "x"}, 1, "users"},
        {{"--users", users, "--add-user", "x", "--perm", "change"},
         0,
         "user x (change) written to ",
         pw},
        {{"--users", users, "--remove-user", "x"}, 0, "removed user x from "},
        {{"--help"}, 0, "Usage: lpr-webd [options]"},
    };
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
