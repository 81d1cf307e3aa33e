/*
 * lpr-webd over real HTTP: authentication, permissions, routing, reply bytes, limits and
 * clients that misbehave.
 */
#include <cjson/cJSON.h>

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

/* A camera with its settings daemon, which acknowledges the writes. */
class WebdTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(cam.start_settingsd()); }
    void start(const std::vector<std::string>& extra = {}) {
        ASSERT_NO_FATAL_FAILURE(cam.write_users());
        ASSERT_NO_FATAL_FAILURE(cam.start_webd(extra));
    }
    HttpReply as(const Credentials* who, const std::string& method, const std::string& path,
                 const std::string* body = nullptr) {
        HttpClient client;
        if (who != nullptr) {
            client.set_credentials(who->user, who->password);
        }
        return client.request(method, cam.url(path), body);
    }
    Camera cam;
};

TEST_F(WebdTest, AnswersEachRequestWithItsStatusAndEnvelope) {
    ASSERT_NO_FATAL_FAILURE(start());
    const struct {
        const char* what;
        const Credentials* who;
        const char* method;
        const char* path;
        const char* body;  // null: no body
        long status;
        const char* reply;  // exact bytes
        const char* allow;  // expected Allow header, or null
    } cases[] = {
        {"GET on a write action", &kAdmin, "GET", "/api/v1/set_vehicle_count", nullptr, 405,
         R"({"code":405,"msg":"Method not allowed"})", "POST"},
        {"POST on a read action", &kAdmin, "POST", "/api/v1/get_lpr_advanced", "{}", 405,
         R"({"code":405,"msg":"Method not allowed"})", "GET, HEAD"},
        {"PUT on an action", &kAdmin, "PUT", "/api/v1/get_vehicle_count", nullptr, 405,
         R"({"code":405,"msg":"Method not allowed"})", "GET, HEAD"},
        {"DELETE on whoami", &kAdmin, "DELETE", "/api/v1/whoami", nullptr, 405,
         R"({"code":405,"msg":"Method not allowed"})", "GET, HEAD"},
        {"POST on the listing", &kAdmin, "POST", "/api/v1/", "{}", 405,
         R"({"code":405,"msg":"Method not allowed"})", "GET, HEAD"},
        {"unknown action", &kAdmin, "GET", "/api/v1/reboot", nullptr, 404,
         R"({"code":404,"msg":"Unknown action: reboot"})", nullptr},
        {"outside the API", &kAdmin, "GET", "/index.html", nullptr, 404,
         R"({"code":404,"msg":"Not found"})", nullptr},
        {"below an action", &kAdmin, "GET", "/api/v1/get_vehicle_count/x", nullptr, 404,
         R"({"code":404,"msg":"Not found"})", nullptr},
        {"POST on the settings page", &kAdmin, "POST", "/", "{}", 405,
         R"({"code":405,"msg":"Method not allowed"})", "GET, HEAD"},
        {"settings table without view", &kNobody, "GET", "/api/v1/settings_table", nullptr, 403,
         R"({"code":403,"msg":"Permission denied","required":"view","permissions":"none",)"
         R"("hint":"settings_table needs the permission view; user nobody has none. An )"
         R"(administrator grants it with: lpr-webd --users FILE --add-user nobody --perm view"})",
         nullptr},
        {"empty body", &kAdmin, "POST", "/api/v1/set_vehicle_count", "", 400,
         R"({"code":400,"msg":"Empty body"})", nullptr},
        {"listing", &kViewer, "GET", "/api/v1/", nullptr, 200, kListing.c_str(), nullptr},
        {"listing without slash", &kNobody, "GET", "/api/v1", nullptr, 200, kListing.c_str(),
         nullptr},
        {"write accepted", &kAdmin, "POST", "/api/v1/set_vehicle_count", R"({"resetHour":5})", 200,
         R"({"code":200,"msg":"OK"})", nullptr},
    };
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

TEST_F(WebdTest, ReadsReturnTheLibrarysBytesOverKeepAliveWithoutStalls) {
    ASSERT_NO_FATAL_FAILURE(start());
    HttpClient client;
    client.set_credentials(kAdmin.user, kAdmin.password);
    const std::string doc =
        R"({"enable":1,"showInformation":1,"crossRegionRepeatCounting":1,"countType":1,)"
        R"("autoReset":1,"resetDayType":7,"resetHour":23,"resetMin":59,"resetSec":58,)"
        R"("infoTableLeft":100,"infoTableTop":20,"enablePost":1,"postMode":1,)"
        R"("attachSnapshot":1,"postType":1,"timeHour":5,"timeMin":6,"timeSec":7,)"
        R"("cameraPort":8080,"interval":1,"httpList":[)"
        R"({"enable":1,"url":"http://a.example/x","user":"u0","password":"p0"},)"
        R"({"enable":0,"url":"http://b.example/y","user":"u1","password":"p\"1"},)"
        R"({"enable":1,"url":"http://c.example/z","user":"u2","password":"p2"}]})";
    const std::string expected =
        R"({"enable":1,"showInformation":1,"crossRegionRepeatCounting":1,"countType":1,)"
        R"("autoReset":1,"resetDayType":7,"resetHour":23,"resetMin":59,"resetSec":58,)"
        R"("infoTableLeft":100,"infoTableTop":20,"enablePost":1,"postMode":1,)"
        R"("attachSnapshot":1,"postType":1,"timeHour":5,"timeMin":6,"timeSec":7,)"
        R"("cameraPort":8080,"interval":1,"httpUrl":"http://a.example/x","userName":"u0",)"
        R"("password":"p0","httpList":[)"
        R"({"index":0,"enable":1,"url":"http://a.example/x","user":"u0","password":"p0"},)"
        R"({"index":1,"enable":0,"url":"http://b.example/y","user":"u1","password":"p\"1"},)"
        R"({"index":2,"enable":1,"url":"http://c.example/z","user":"u2","password":"p2"}]})";
    HttpReply write = client.post(cam.url("/api/v1/set_vehicle_count"), doc);
    ASSERT_EQ(write.status, 200) << write.body;

    // Alternating writes and reads on one connection: every reply arrives whole, and each
    // read at once (a Nagle stall would cost about 40 ms per reply). A write waits for the
    // daemon's commit, so only the reads are timed.
    const int kRounds = 100;
    milliseconds reads(0);
    for (int i = 0; i < kRounds; ++i) {
        HttpReply w = client.post(cam.url("/api/v1/set_vehicle_count"), doc);
        auto begin = steady_clock::now();
        HttpReply r = client.get(cam.url("/api/v1/get_vehicle_count"));
        reads += std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
        ASSERT_EQ(w.status, 200) << w.body;
        ASSERT_EQ(r.status, 200);
        ASSERT_EQ(r.body, expected);
        EXPECT_EQ(r.headers["content-length"], std::to_string(expected.size()));
    }
    EXPECT_EQ(client.connects(), 1) << "keep-alive: one connection for every request";
    EXPECT_LT(reads.count(), 2000)
        << kRounds << " reads after writes took " << reads.count() << " ms";
    std::cout << "[ measured ] " << kRounds << " keep-alive reads after writes in " << reads.count()
              << " ms\n";
}

TEST_F(WebdTest, SettingsPageAndTableAreServedWithTheirTypesAndCaching) {
    ASSERT_NO_FATAL_FAILURE(start());
    HttpClient client;
    client.set_credentials(kViewer.user, kViewer.password);
    const struct {
        const char* path;
        const char* file; /* under tools/lpr-webd/www */
        const char* type;
    } cases[] = {
        {"/", "index.html", "text/html; charset=utf-8"},
        {"/page.js", "page.js", "text/javascript; charset=utf-8"},
        {"/page.css", "page.css", "text/css; charset=utf-8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        HttpReply page = client.get(cam.url(c.path));
        EXPECT_EQ(page.status, 200);
        EXPECT_EQ(page.body, read_file(std::string(LPR_WWW_DIR) + "/" + c.file));
        EXPECT_EQ(page.headers["content-type"], c.type);
        EXPECT_EQ(page.headers["cache-control"], "private, no-cache");
        EXPECT_NE(page.headers["content-security-policy"].find("frame-ancestors 'none'"),
                  std::string::npos);
        EXPECT_EQ(page.headers["x-content-type-options"], "nosniff");
        // The browser asks again each time; the file it holds costs a 304 without a body.
        const std::string etag = page.headers["etag"];
        EXPECT_TRUE(std::regex_match(etag, std::regex("\"[0-9a-f]{32}\""))) << etag;
        HttpReply again =
            client.request("GET", cam.url(c.path), nullptr, {"If-None-Match: " + etag});
        EXPECT_EQ(again.status, 304);
        EXPECT_EQ(again.body, "");
        EXPECT_EQ(again.headers["etag"], etag);
        HttpReply other = client.request("GET", cam.url(c.path), nullptr, {"If-None-Match: \"x\""});
        EXPECT_EQ(other.status, 200);
    }
    // The settings table the page builds its forms from, as the programs hold it.
    HttpReply table = client.get(cam.url("/api/v1/settings_table"));
    EXPECT_EQ(table.status, 200);
    EXPECT_EQ(table.body, settings::table_json());
    EXPECT_EQ(table.headers["content-type"], "application/json");
    // The page asks for the same login as the API.
    EXPECT_EQ(as(nullptr, "GET", "/").status, 401);
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
        {"Origin: null", 403},
        {"Origin: http://127.0.0.1:1", 403},
        {"Sec-Fetch-Site: cross-site", 403},
        {"Sec-Fetch-Site: same-site", 403},
        {"Origin: http://127.0.0.1:" + std::to_string(cam.port()), 200},  // the page itself
        {"Sec-Fetch-Site: same-origin", 200},
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

TEST_F(WebdTest, WhoamiTellsEachUserWhatItMayCall) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto expected = [](const char* user, int perms, const char* names, bool view, bool change) {
        auto action = [](const char* name, const char* method, const char* requires, bool allowed) {
            return std::string(R"({"action":")") + name + R"(","url":"/api/v1/)" + name +
                   R"(","methods":[")" + method + R"("],"requires":")" + requires +
                   R"(","allowed":)" + (allowed ? "true" : "false") + "}";
        };
        return std::string(R"({"user":")") + user + R"(","permissions":)" + std::to_string(perms) +
               R"(,"permissionNames":)" + names + R"(,"actions":[)" +
               action("get_lpr_advanced", "GET", "view", view) + "," +
               action("set_lpr_advanced", "POST", "change", change) + "," +
               action("get_vehicle_count", "GET", "view", view) + "," +
               action("set_vehicle_count", "POST", "change", change) + "]}";
    };
    const struct {
        const Credentials* who;
        std::string reply;
    } cases[] = {
        {&kAdmin, expected("admin", 3, R"(["view","change"])", true, true)},
        {&kViewer, expected("viewer", 1, R"(["view"])", true, false)},
        {&kNobody, expected("nobody", 0, "[]", false, false)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who->user);
        HttpReply reply = as(c.who, "GET", "/api/v1/whoami");
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, c.reply);
    }
}

TEST_F(WebdTest, RepeatedFailedLoginsGet429WithRetryAfter) {
    ASSERT_NO_FATAL_FAILURE(start({"--max-failed-logins", "3", "--login-block", "30"}));
    const Credentials wrong = {"admin", "guess-guess"};
    // Challenges without credentials are part of every Digest login: they never count.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(as(nullptr, "GET", "/api/v1/whoami").status, 401);
    }
    EXPECT_EQ(as(&wrong, "GET", "/api/v1/whoami").status, 401);
    EXPECT_EQ(as(&wrong, "GET", "/api/v1/whoami").status, 401);
    HttpReply third = as(&wrong, "GET", "/api/v1/whoami");
    EXPECT_EQ(third.status, 429);
    EXPECT_EQ(third.body, R"({"code":429,"msg":"Too many failed logins; retry after 30 s"})");
    EXPECT_EQ(third.headers["retry-after"], "30");
    // The address stays refused for the block time, even with the right password.
    HttpReply right = as(&kAdmin, "GET", "/api/v1/whoami");
    EXPECT_EQ(right.status, 429);
    int retry = std::stoi(right.headers["retry-after"]);
    EXPECT_GE(retry, 29);
    EXPECT_LE(retry, 30);
}

TEST_F(WebdTest, DigestAlgorithmIsSha256UnlessMd5IsAskedFor) {
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    const struct {
        std::vector<std::string> options;
        const char* algorithm;
    } modes[] = {{{}, "algorithm=sha-256"}, {{"--digest-md5"}, "algorithm=md5"}};
    for (const auto& mode : modes) {
        SCOPED_TRACE(mode.algorithm);
        ASSERT_NO_FATAL_FAILURE(cam.start_webd(mode.options));
        HttpReply challenge = as(nullptr, "GET", "/api/v1/whoami");
        EXPECT_NE(challenge.headers["www-authenticate"].find(mode.algorithm), std::string::npos)
            << challenge.headers["www-authenticate"];
        EXPECT_EQ(as(&kViewer, "GET", "/api/v1/whoami").status, 200);
        EXPECT_EQ(cam.stop_webd(), 0);
    }
}

TEST_F(WebdTest, BodiesOverTheLimitGet413) {
    ASSERT_NO_FATAL_FAILURE(start({"--max-body", "1024"}));
    const std::string tooLarge = R"({"code":413,"msg":"Request body larger than 1024 bytes"})";
    // A valid document padded with blanks to exactly the limit, and one byte more.
    std::string atLimit = R"({"resetMin":1})";
    atLimit.append(1024 - atLimit.size(), ' ');
    std::string overLimit = atLimit + " ";
    EXPECT_EQ(as(&kAdmin, "POST", "/api/v1/set_vehicle_count", &atLimit).status, 200);
    HttpReply over = as(&kAdmin, "POST", "/api/v1/set_vehicle_count", &overLimit);
    EXPECT_EQ(over.status, 413);
    EXPECT_EQ(over.body, tooLarge);

    // Chunked, no length announced: read up to the limit, then refused the same way.
    RawConnection chunked(cam.port());
    std::string request =
        "POST /api/v1/set_vehicle_count HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 4; ++i) {
        request += "200\r\n" + std::string(512, ' ') + "\r\n";
    }
    request += "0\r\n\r\n";
    ASSERT_TRUE(chunked.send(request));
    std::string answer = chunked.read_until(tooLarge, milliseconds(5000));
    EXPECT_EQ(answer.compare(0, 13, "HTTP/1.1 413 "), 0) << answer;
    EXPECT_NE(answer.find(tooLarge), std::string::npos) << answer;
}

TEST_F(WebdTest, HostileClientsDoNotStopServiceToOthers) {
    ASSERT_NO_FATAL_FAILURE(start({"--timeout", "2", "--threads", "2", "--max-per-ip", "16"}));
    // Slow clients: half a request each, then silence. No worker waits for them.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::make_unique<RawConnection>(cam.port()));
        ASSERT_TRUE(slow.back()->connected());
        ASSERT_TRUE(slow.back()->send("GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nX-Slow: "));
    }
    auto begin = steady_clock::now();
    EXPECT_EQ(as(&kViewer, "GET", "/api/v1/get_lpr_advanced").status, 200);
    auto took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin).count();
    EXPECT_LT(took, 1000) << "a served request waited " << took << " ms behind slow clients";

    const struct {
        const char* what;
        std::string request;
        const char* statusLine;
    } bad[] = {
        {"garbage request line", "\x01\x02 not http at all\r\n\r\n", "HTTP/1.1 400 "},
        {"header larger than the connection memory",
         "GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(64 * 1024, 'a') +
             "\r\n\r\n",
         "HTTP/1.1 431 "},
        {"URL larger than the connection memory",
         "GET /api/v1/" + std::string(64 * 1024, 'u') + " HTTP/1.1\r\nHost: x\r\n\r\n",
         "HTTP/1.1 414 "},
        {"HTTP/1.1 without Host", "GET /api/v1/whoami HTTP/1.1\r\n\r\n", "HTTP/1.1 400 "},
        {"bad chunk size",
         "POST /api/v1/set_vehicle_count HTTP/1.1\r\nHost: x\r\n"
         "Transfer-Encoding: chunked\r\n\r\nzz\r\n",
         "HTTP/1.1 400 "},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.what);
        RawConnection conn(cam.port());
        conn.send(c.request);  // the server may close before it has read everything
        bool closed = false;
        std::string answer = conn.read_until_closed(milliseconds(5000), &closed);
        EXPECT_EQ(answer.compare(0, 13, c.statusLine), 0) << answer.substr(0, 200);
        EXPECT_TRUE(closed);
    }

    // An idle connection is closed after the timeout (2 s).
    RawConnection idle(cam.port());
    bool closed = false;
    begin = steady_clock::now();
    idle.read_until_closed(milliseconds(6000), &closed);
    took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin).count();
    EXPECT_TRUE(closed);
    EXPECT_GE(took, 1500);
    EXPECT_LT(took, 5000);
    // The slow clients were dropped the same way, and service goes on.
    for (auto& conn : slow) {
        bool gone = false;
        conn->read_until_closed(milliseconds(3000), &gone);
        EXPECT_TRUE(gone);
    }
    EXPECT_EQ(as(&kViewer, "GET", "/api/v1/get_vehicle_count").status, 200);
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
    EXPECT_EQ(fourth.read_until_closed(milliseconds(3000), &closed), "");
    EXPECT_TRUE(closed);
    HttpReply refused = as(&kViewer, "GET", "/api/v1/whoami");
    EXPECT_FALSE(refused.ok);

    // A freed slot serves again as soon as the server has seen the close.
    held.pop_back();
    long status = 0;
    for (int attempt = 0; attempt < 20 && status != 200; ++attempt) {
        std::this_thread::sleep_for(milliseconds(100));
        status = as(&kViewer, "GET", "/api/v1/whoami").status;
    }
    EXPECT_EQ(status, 200);
}

TEST_F(WebdTest, OpenApiDescribesEveryUrlTheServerAnswers) {
    ASSERT_NO_FATAL_FAILURE(start());
    HttpReply listing = as(&kViewer, "GET", "/api/v1/");
    ASSERT_EQ(listing.status, 200);
    tools::CJsonPtr names(cJSON_Parse(listing.body.c_str()));
    ASSERT_TRUE(names && cJSON_IsArray(names.get())) << listing.body;
    std::vector<std::pair<std::string, std::string>> urls = {{"", "get"},
                                                             {"whoami", "get"},
                                                             {"settings_table", "get"},
                                                             {"status", "get"},
                                                             {"changes", "get"}};
    const cJSON* name = nullptr;
    cJSON_ArrayForEach(name, names.get()) {
        std::string action = name->valuestring;
        urls.emplace_back(action, action.compare(0, 4, "get_") == 0 ? "get" : "post");
    }
    ASSERT_EQ(urls.size(), 9u);
    const std::string yaml = read_file(LPR_OPENAPI_YAML);
    for (const auto& url : urls) {
        SCOPED_TRACE(url.first);
        std::string entry = "\n  /api/v1/" + url.first + ":\n    " + url.second + ":\n";
        EXPECT_NE(yaml.find(entry), std::string::npos);
    }
    // The documented default body limit is the program's.
    std::string help;
    ASSERT_EQ(run_program({LPR_WEBD_BIN, "--help"}, "", &help), 0);
    EXPECT_NE(help.find("--max-body B            largest request body, bytes (default 65536"),
              std::string::npos);
    EXPECT_NE(yaml.find("Request body larger than 65536 bytes"), std::string::npos);
}

TEST(WebdCommandLine, RefusesWhatItCannotServe) {
    lpr_test::TempDir dir;
    const std::string users = dir.file("users");
    const std::string db = dir.file("settings.db");
    const struct {
        std::vector<std::string> args;
        std::string input;
        int status;
        const char* output;
    } cases[] = {
        {{"--db", db, "--users", users}, "", 1, "no readable settings database at "},
        {{"--address", "localhost"}, "", 2, "--address localhost is not an IPv4 or IPv6 address"},
        {{"--port", "65536"}, "", 2, "--port wants a number from 0 to 65535, not \"65536\""},
        {{"--max-body", "-1"}, "", 2, "--max-body wants a number from 1 to 16777216"},
        {{"--threads", "0"}, "", 2, "--threads wants a number from 1 to 16"},
        {{"--ack-timeout", "0"}, "", 2, "--ack-timeout wants a number from 1 to 60000"},
        {{"--db-wait", "601"}, "", 2, "--db-wait wants a number from 0 to 600"},
        {{"--bogus"}, "", 2, "Try lpr-webd --help"},
        {{"--realm", "a:b"}, "", 2, "--realm must be 1 to 64 characters"},
        {{"--realm", std::string(65, 'r')}, "", 2, "--realm must be 1 to 64 characters"},
        {{"--max-failed-logins", "1001"},
         "",
         2,
         "--max-failed-logins wants a number from 0 to 1000"},
        {{"--users", users, "--add-user", "bad name"},
         "long-enough\n",
         1,
         "a user name is 1 to 32"},
        {{"--users", users, "--add-user", "x", "--perm", "admin"},
         "long-enough\n",
         1,
         "--perm takes view, change, view,change or none"},
        {{"--users", users, "--add-user", "x"}, "short\n", 1, "at least 8 characters"},
        {{"--users", users, "--remove-user", "x"}, "", 1, "users"},
        {{"--users", users, "--add-user", "x", "--perm", "change"},
         "long-enough\n",
         0,
         "user x (change) written to "},
        {{"--users", users, "--remove-user", "x"}, "", 0, "removed user x from "},
        {{"--help"}, "", 0, "Usage: lpr-webd [options]"},
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
