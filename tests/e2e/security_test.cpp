/*
 * lpr-webd against the attacks of docs/host.md ("Security"), over raw sockets wherever a
 * client library would refuse to misbehave, and what the users file and the log give away.
 */
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <thread>

#include "Database.h"
#include "e2e_support.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;
using namespace std::string_literals;

/* A request as raw bytes: the authorization header when given, the body for POST only. */
std::string request_text(const std::string& method, const std::string& uri,
                         const std::string& authorization = "", const std::string& body = "") {
    std::string text = method + " " + uri + " HTTP/1.1\r\nHost: camera\r\n";
    if (!authorization.empty()) {
        text += "Authorization: " + authorization + "\r\n";
    }
    if (method != "POST") {
        return text + "\r\n";
    }
    return text + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class SecurityTest : public ::testing::Test {
  protected:
    /* The nonce of the challenge that a request without credentials gets. */
    std::string fresh_nonce(const std::string& method, const std::string& uri) {
        RawConnection conn(cam.port());
        HttpReply challenge = conn.exchange(request_text(method, uri));
        EXPECT_EQ(challenge.status, 401) << challenge.error;
        return challenge_nonce(challenge.headers["www-authenticate"]);
    }
    /* The admin's answer to a fresh challenge, with counter 1. */
    std::string admin_auth(const std::string& method, const std::string& uri) {
        return digest_authorization(kAdmin.user, kAdmin.password, method, uri,
                                    fresh_nonce(method, uri), 1);
    }
    Camera cam;
};

/* One camera for the Digest checks, the request framing and the slow clients: the only
 * clients from 127.0.5.x are the slow ones, and no login counts as failed. */
TEST_F(SecurityTest, HostileClientsAreRefusedAndValidOnesServed) {
    const std::vector<std::string> options = {"--max-failed-logins", "0", "--request-timeout", "2"};
    ASSERT_NO_FATAL_FAILURE(cam.write_users());
    ASSERT_NO_FATAL_FAILURE(cam.start_settingsd());  // a write's 200 needs it
    ASSERT_NO_FATAL_FAILURE(cam.start_webd(options));
    const std::string whoami = "/api/v1/whoami";
    const std::string previousRun = fresh_nonce("GET", whoami);
    ASSERT_EQ(cam.stop_webd(), 0);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd(options));

    // A captured Authorization header, sent again with another body, is never accepted: not
    // back to back, not on a new connection, not after a request without credentials (the
    // interleavings in which the HTTP library's own nonces let a replay through).
    const std::string stored = R"({"resetHour":5})";
    const std::string other = R"({"resetHour":23,"httpList":[{"url":"http://elsewhere/"}]})";
    const std::string stale =
        R"({"code":401,"msg":"Authentication required","reason":"the nonce is stale",)"
        R"("scheme":"Digest","algorithm":"SHA-256","hint":"repeat the request with the nonce )"
        R"x(of this challenge (Digest clients do so by themselves)"})x";
    const std::string read = "/api/v1/get_vehicle_count";
    const std::string write = "/api/v1/set_vehicle_count";
    for (const std::string& uri : {read, write}) {
        const std::string method = uri == read ? "GET" : "POST";
        for (int way = 0; way < 3; ++way) {
            SCOPED_TRACE(method + " way " + std::to_string(way));
            const std::string auth = admin_auth(method, uri);
            RawConnection first(cam.port());
            EXPECT_EQ(first.exchange(request_text(method, uri, auth, stored)).status, 200);
            for (int i = 0; i < 10; ++i) {
                RawConnection fresh(cam.port());
                RawConnection& conn = way == 1 ? fresh : first;
                if (way == 2) {
                    EXPECT_EQ(conn.exchange(request_text(method, uri)).status, 401);
                }
                HttpReply replay = conn.exchange(request_text(method, uri, auth, other));
                ASSERT_TRUE(replay.ok) << replay.error;
                EXPECT_EQ(replay.status, 401);
                EXPECT_EQ(replay.body, stale);
                // The answer proves the password: a real client may retry at once.
                EXPECT_NE(replay.headers["www-authenticate"].find("stale=\"true\""),
                          std::string::npos);
            }
        }
    }
    // Nor for another method and URI.
    const std::string readAuth = admin_auth("GET", read);
    RawConnection conn(cam.port());
    EXPECT_EQ(conn.exchange(request_text("GET", read, readAuth)).status, 200);
    EXPECT_EQ(conn.exchange(request_text("POST", write, readAuth, other)).status, 401);
    HttpClient admin;
    admin.set_credentials(kAdmin.user, kAdmin.password);
    const std::string settings = admin.get(cam.url(read)).body;
    EXPECT_NE(settings.find(R"("resetHour":5,)"), std::string::npos) << settings;
    EXPECT_EQ(settings.find("elsewhere"), std::string::npos) << settings;

    // Nonces the server did not issue; stale: the answer was right for the nonce it names.
    const std::string issued = fresh_nonce("GET", whoami);
    ASSERT_EQ(issued.size(), 64u) << issued;
    std::string changed = issued;
    changed[20] = changed[20] == '0' ? '1' : '0';
    const struct {
        std::string nonce;
        const char* password;
        long status;
        bool stale;
    } nonces[] = {
        {previousRun, kAdmin.password, 401, true},
        {std::string(64, '0'), kAdmin.password, 401, true},
        {changed, kAdmin.password, 401, true},
        {"0123", kAdmin.password, 401, true},
        {issued, "wrong-password", 401, false},
        {issued, kAdmin.password, 200, false},
    };
    for (const auto& c : nonces) {
        SCOPED_TRACE(c.nonce + " " + c.password);
        RawConnection raw(cam.port());
        HttpReply reply = raw.exchange(
            request_text("GET", whoami,
                         digest_authorization(kAdmin.user, c.password, "GET", whoami, c.nonce, 1)));
        EXPECT_EQ(reply.status, c.status) << reply.error;
        EXPECT_EQ(reply.headers["www-authenticate"].find("stale=\"true\"") != std::string::npos,
                  c.stale)
            << reply.headers["www-authenticate"];
    }

    // An answer that ends inside a quoted value, after a backslash, is no answer (the same
    // answer whole would be let in).
    std::string cut = digest_authorization(kAdmin.user, kAdmin.password, "GET", whoami, issued, 2);
    cut.erase(cut.find("cnonce="), std::strlen("cnonce=\"e2e-cnonce\", "));
    EXPECT_EQ(RawConnection(cam.port())
                  .exchange(request_text("GET", whoami, cut + ", cnonce=\"e2e-cnonce\\"))
                  .status,
              401);

    // curl --digest sessions of 1,000 requests, on one connection and on new connections,
    // all succeed, with one challenge per session: the nonce serves every later request.
    for (bool fresh : {false, true}) {
        SCOPED_TRACE(fresh ? "a new connection for each request" : "one connection");
        HttpClient client;
        client.set_credentials(kViewer.user, kViewer.password);
        client.set_fresh_connections(fresh);
        int served = 0;
        for (int i = 0; i < 1000; ++i) {
            served += client.get(cam.url("/api/v1/get_lpr_advanced")).status == 200;
        }
        EXPECT_EQ(served, 1000);
        EXPECT_EQ(client.connects(), fresh ? 1001 : 1);  // + the first challenge's
    }
    EXPECT_EQ(count_of(cam.webd()->log(), " GET /api/v1/get_lpr_advanced 401 "), 2u);

    // HEAD wherever GET is allowed: the same headers, nothing after them; 405 elsewhere.
    for (const std::string& path : {read, "/api/v1/get_lpr_advanced"s, whoami, "/api/v1/"s,
                                    "/api/v1/settings_table"s, "/"s, "/page.js"s, write}) {
        SCOPED_TRACE(path);
        RawConnection raw(cam.port());
        HttpReply head = raw.exchange(request_text("HEAD", path, admin_auth("HEAD", path)));
        ASSERT_TRUE(head.ok) << head.error;
        EXPECT_EQ(head.status, path == write ? 405 : 200);
        if (path == write) {
            EXPECT_EQ(head.headers["allow"], "POST");
        } else {
            EXPECT_EQ(head.headers["content-length"],
                      std::to_string(admin.get(cam.url(path)).body.size()));
        }
    }

    // Loose framing and targets get our 400 (or 501) before anything else; what the HTTP
    // library refuses before any hook runs gets its own page, one response then a close,
    // except two that libmicrohttpd 0.9.75 sends with doubled headers (docs/host.md).
    const std::string post = "POST /api/v1/set_vehicle_count HTTP/1.1\r\nHost: x\r\n";
    const std::string get = "GET /api/v1/whoami HTTP/1.1\r\n";
    const std::string host = " HTTP/1.1\r\nHost: x\r\n\r\n";
    const char* badUrl = "Invalid character in the URL";
    const struct {
        std::string request;
        long status;
        const char* msg;  // of our reply, or null: the HTTP library's page
        bool doubled = false;
    } framing[] = {
        {post + "Content-Length: 2\r\nContent-Length: 40\r\n\r\n{}", 400,
         "Repeated Content-Length header"},
        {post + "Content-Length: 2\r\nContent-Length: 2\r\n\r\n{}", 400,
         "Repeated Content-Length header"},
        {post + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n{}\r\n0\r\n\r\n", 400,
         "Content-Length with Transfer-Encoding"},
        {post + "Transfer-Encoding: gzip\r\n\r\n", 501, "Unsupported Transfer-Encoding"},
        {"GET /api/v1/get_vehicle_count%00junk" + host, 400, badUrl},
        {"GET /api/v1/whoami?a=%0d%0aX:1" + host, 400, badUrl},
        {"GET /api/v1/who%7Fami" + host, 400, badUrl},
        {"GET /api/v1/who\x01ami" + host, 400, badUrl},
        {"GET /api/v1/who ami" + host, 400, badUrl},
        {get + "\r\n", 400, "Missing Host header"},
        {get + "Host: x\r\nHost: y\r\n\r\n", 400, "Repeated Host header"},
        {"\x01\x02 not http at all\r\n\r\n", 400, nullptr},
        {get + "Host: x\r\nNoColon\r\n\r\n", 400, nullptr},
        {"GET /api/v1/ HTTP/2.0\r\nHost: x\r\n\r\n", 505, nullptr},
        {"GET /api/v1/" + std::string(64 * 1024, 'u') + host, 414, nullptr},
        {get + "Host: x\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n\r\n", 431, nullptr},
        {post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", 400, nullptr},
        {post + "Content-Length: 2x\r\n\r\n{}", 400, nullptr, true},
        {post + "Content-Length: 99999999999999999999999\r\n\r\n", 413, nullptr, true},
    };
    for (const auto& c : framing) {
        SCOPED_TRACE(c.request.substr(0, 80));
        RawConnection raw(cam.port());
        raw.send(c.request);  // the server may close before it has read everything
        bool closed = false;
        const std::string answer = raw.read_until_closed(milliseconds(5000), &closed);
        EXPECT_TRUE(closed);
        HttpReply reply = parse_response(answer);
        EXPECT_EQ(reply.status, c.status) << answer.substr(0, 200);
        if (!c.doubled) {
            EXPECT_TRUE(reply.ok) << reply.error << "\n" << answer.substr(0, 300);
        }
        if (c.msg != nullptr) {
            EXPECT_EQ(reply.body,
                      R"({"code":)" + std::to_string(c.status) + R"(,"msg":")" + c.msg + R"("})");
            EXPECT_EQ(reply.headers["content-type"], "application/json");
        }
    }

    // Slow clients, 16 from each of four addresses (--max-per-ip 8), one byte every 500 ms
    // so that the idle timeout (15 s) never strikes: half are closed at accept, the others at
    // their request deadline (2 s after accept), and normal clients are served at once.
    const char* addresses[] = {"127.0.5.2", "127.0.5.3", "127.0.5.4", "127.0.5.5"};
    const auto begin = steady_clock::now();
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawConnection>(cam.port(), addresses[i / 16]));
        ASSERT_TRUE(slow.back()->connected());
        slow.back()->send("GET /api/v1/whoami HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    }
    auto served_at_once = [this] {
        const auto start = steady_clock::now();
        HttpClient client;
        client.set_credentials(kViewer.user, kViewer.password);
        EXPECT_EQ(client.get(cam.url("/api/v1/whoami")).status, 200);
        EXPECT_LT(millis_since(start), 1000) << "a normal client waited behind slow ones";
    };
    served_at_once();
    std::vector<long long> closedAt(slow.size(), -1);
    bool servedDuringTrickle = false;
    for (int tick = 0; millis_since(begin) < 4500; ++tick) {
        for (size_t i = 0; i < slow.size(); ++i) {
            if (closedAt[i] < 0 && slow[i]->peer_closed()) {
                closedAt[i] = millis_since(begin);
            } else if (closedAt[i] < 0 && tick % 5 == 0) {
                slow[i]->send("a");
            }
        }
        if (!servedDuringTrickle && millis_since(begin) > 1000) {
            served_at_once();
            servedDuringTrickle = true;
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_EQ(std::count_if(closedAt.begin(), closedAt.end(),
                            [](long long t) { return t >= 0 && t < 1500; }),
              32);
    EXPECT_EQ(
        std::count_if(closedAt.begin(), closedAt.end(), [](long long t) { return t >= 1500; }), 32);
    EXPECT_EQ(count_of(cam.webd()->log(), "] deadline: 127.0.5."), 32u);
}

TEST_F(SecurityTest, FirstRunShowsTheAdminPasswordOnTheTerminalOnly) {
    // Without a terminal nobody could learn a generated password: no file, no start.
    ASSERT_EQ(Database::create_default(cam.db_path().c_str()), 0);
    Process alone(cam.webd_argv(), cam.file("alone.log"), in_session(Session::kNoTerminal));
    EXPECT_EQ(alone.wait(), 1);
    EXPECT_NE(alone.log().find("no terminal to show a generated admin password on"),
              std::string::npos)
        << alone.log();
    EXPECT_NE(::access(cam.users_path().c_str(), F_OK), 0);

    ASSERT_NO_FATAL_FAILURE(cam.start_webd({}, in_session(Session::kTerminal)));
    std::smatch match;
    const std::string shown = cam.webd()->terminal_output();
    ASSERT_TRUE(std::regex_search(
        shown, match,
        std::regex(R"re(created users file .* with user "admin", password "(\w{20})")re")))
        << shown;
    const std::string password = match[1];
    const std::string log = cam.webd()->log();
    EXPECT_EQ(log.find(password), std::string::npos) << log;
    EXPECT_NE(log.find(R"(with user "admin"; its password was shown on the terminal only)"),
              std::string::npos)
        << log;
    HttpClient client;
    client.set_credentials("admin", password);
    EXPECT_EQ(client.get(cam.url("/api/v1/whoami")).status, 200);
    // Only the SHA-256 HA1 is kept (no MD5 unless asked for), readable by the owner only.
    const std::string users = read_file(cam.users_path());
    EXPECT_EQ(users.find(password), std::string::npos);
    EXPECT_TRUE(
        std::regex_search(users, std::regex("\nadmin:lpr-camera:view,change:[0-9a-f]{64}:\n")))
        << users;
    struct stat st {};
    ASSERT_EQ(stat(cam.users_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A second start keeps the file and shows no password anywhere.
    EXPECT_EQ(cam.stop_webd(), 0);
    ASSERT_NO_FATAL_FAILURE(cam.start_webd({}, in_session(Session::kTerminal)));
    EXPECT_EQ(cam.webd()->log().find("password"), std::string::npos);
    EXPECT_EQ(cam.webd()->terminal_output(), "");
    EXPECT_EQ(read_file(cam.users_path()), users);
}

TEST_F(SecurityTest, Md5IsAskedForByOptionAndKeptOnlyForUsersAddedWithIt) {
    ASSERT_NO_FATAL_FAILURE(cam.write_users());  // only the viewer with --digest-md5
    const std::string users = read_file(cam.users_path());
    EXPECT_TRUE(
        std::regex_search(users, std::regex("\nadmin:lpr-camera:view,change:[0-9a-f]{64}:\n"
                                            "viewer:lpr-camera:view:[0-9a-f]{64}:[0-9a-f]"
                                            "{32}\nnobody:lpr-camera:none:[0-9a-f]{64}:\n")))
        << users;
    ASSERT_NO_FATAL_FAILURE(cam.start_webd({"--digest-md5"}));
    // curl answers an MD5 challenge with algorithm=MD5: a wrong password is then a wrong
    // password, not a wrong algorithm.
    const Credentials wrong = {"viewer", "not-the-password"};
    const struct {
        const Credentials* who;
        long status;
        const char* reason;
    } cases[] = {{nullptr, 401, "no credentials"},
                 {&kViewer, 200, nullptr},
                 {&kAdmin, 401, "wrong user name or password"},
                 {&wrong, 401, "wrong user name or password"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.who != nullptr ? c.who->password : "no credentials");
        HttpClient client;
        client.set_credentials(c.who ? c.who->user : "", c.who ? c.who->password : "");
        HttpReply reply = client.get(cam.url("/api/v1/whoami"));
        EXPECT_EQ(reply.status, c.status);
        if (c.reason != nullptr) {
            EXPECT_NE(reply.body.find(std::string("\"reason\":\"") + c.reason + "\""),
                      std::string::npos)
                << reply.body;
        }
        if (c.who == nullptr) {
            EXPECT_NE(reply.headers["www-authenticate"].find("algorithm=md5"), std::string::npos);
        }
    }
    EXPECT_NE(cam.webd()->log().find("warning: user admin has no MD5 HA1 and cannot log in with "
                                     "--digest-md5; add it again with --add-user admin "
                                     "--digest-md5"),
              std::string::npos)
        << cam.webd()->log();
}

}  // namespace
}  // namespace e2e
