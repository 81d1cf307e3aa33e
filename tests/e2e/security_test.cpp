/*
 * lpr-webd against the attacks that docs/host.md ("Security") lists: replayed Digest
 * answers and slow clients from several addresses. Raw sockets wherever a client library
 * would refuse to misbehave.
 */
#include <thread>

#include "e2e_support.h"

namespace e2e {
namespace {

using std::chrono::steady_clock;

const std::string kStale =
    R"({"code":401,"msg":"Authentication required","reason":"the nonce is stale",)"
    R"("scheme":"Digest","algorithm":"SHA-256","hint":"repeat the request with the nonce of )"
    R"x(this challenge (Digest clients do so by themselves)"})x";

long long millis_since(steady_clock::time_point begin) {
    return std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin).count();
}

class SecurityTest : public ::testing::Test {
  protected:
    /* A request with a captured Authorization header (none when empty) on client's
     * connection; POST carries body. */
    HttpReply send(HttpClient& client, const char* method, const std::string& uri,
                   const std::string& authorization, const std::string& body) {
        const bool post = std::string(method) == "POST";
        return client.request(
            method, cam.url(uri), post ? &body : nullptr,
            {authorization.empty() ? "X-None: 1" : "Authorization: " + authorization});
    }
    /* A header with the answer for a nonce of a fresh challenge. */
    std::string authorization(const char* method, const std::string& uri) {
        HttpClient client;
        HttpReply challenge = send(client, method, uri, "", "{}");
        EXPECT_EQ(challenge.status, 401) << challenge.error;
        const std::string nonce = challenge_nonce(challenge.headers["www-authenticate"]);
        return digest_authorization(kAdmin.user, kAdmin.password, method, uri, nonce, 1);
    }
    Camera cam;
};

TEST_F(SecurityTest, ReplayedAuthorizationIsRefusedInEveryInterleaving) {
    ASSERT_NO_FATAL_FAILURE(cam.start({"--max-failed-logins", "0"}));
    const std::string stored = R"({"resetHour":5})";
    const std::string other = R"({"resetHour":23,"httpList":[{"url":"http://elsewhere/"}]})";
    const struct {
        const char* method;
        const char* uri;
    } requests[] = {{"GET", "/api/v1/get_vehicle_count"}, {"POST", "/api/v1/set_vehicle_count"}};
    // The interleavings in which the HTTP library's own nonces let a replay through.
    enum class Way { kBackToBack, kNewConnectionEach, kAfterARequestWithoutCredentials };
    for (const auto& r : requests) {
        for (Way way :
             {Way::kBackToBack, Way::kNewConnectionEach, Way::kAfterARequestWithoutCredentials}) {
            SCOPED_TRACE(std::string(r.method) + " way " + std::to_string(static_cast<int>(way)));
            const std::string auth = authorization(r.method, r.uri);
            HttpClient first;
            EXPECT_EQ(send(first, r.method, r.uri, auth, stored).status, 200);
            // The captured header again, with another body: never accepted.
            for (int i = 0; i < 3; ++i) {
                HttpClient fresh;
                HttpClient& client = way == Way::kNewConnectionEach ? fresh : first;
                if (way == Way::kAfterARequestWithoutCredentials) {
                    EXPECT_EQ(send(client, r.method, r.uri, "", other).status, 401);
                }
                HttpReply replay = send(client, r.method, r.uri, auth, other);
                EXPECT_EQ(replay.status, 401);
                EXPECT_EQ(replay.body, kStale);
                // The answer proves the password: a real client may retry at once.
                EXPECT_NE(replay.headers["www-authenticate"].find("stale=\"true\""),
                          std::string::npos);
            }
        }
    }
    // Nor for another method and URI.
    const std::string readAuth = authorization("GET", requests[0].uri);
    HttpClient client;
    EXPECT_EQ(send(client, "GET", requests[0].uri, readAuth, "").status, 200);
    EXPECT_EQ(send(client, "POST", requests[1].uri, readAuth, other).status, 401);
    // Nor for a nonce that this server did not issue: made up, or an issued one altered.
    HttpClient challenged;
    std::string altered = challenge_nonce(
        send(challenged, "GET", requests[0].uri, "", "").headers["www-authenticate"]);
    ASSERT_EQ(altered.size(), 64u) << altered;
    altered[20] = altered[20] == '0' ? '1' : '0';
    for (const std::string& nonce : {std::string(64, '0'), altered}) {
        const std::string forged =
            digest_authorization(kAdmin.user, kAdmin.password, "GET", requests[0].uri, nonce, 1);
        HttpReply reply = send(client, "GET", requests[0].uri, forged, "");
        EXPECT_EQ(reply.status, 401) << nonce;
        EXPECT_EQ(reply.body, kStale) << nonce;
    }

    const std::string settings = cam.as(&kAdmin, "GET", "/api/v1/get_vehicle_count").body;
    EXPECT_NE(settings.find(R"("resetHour":5,)"), std::string::npos) << settings;
    EXPECT_EQ(settings.find("elsewhere"), std::string::npos) << settings;
}

TEST_F(SecurityTest, SlowClientsFromFourAddressesDoNotKeepOthersOut) {
    // Defaults but for a short request deadline; the idle timeout stays at 15 s.
    ASSERT_NO_FATAL_FAILURE(cam.start({"--request-timeout", "2"}));
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
    // One byte every 500 ms from each, so the idle timeout never strikes.
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
    // --max-per-ip 8: half of them were closed at accept, the others at their deadline
    // (2 s after accept), long before the idle timeout.
    int atAccept = 0;
    int atDeadline = 0;
    for (long long when : closedAt) {
        atAccept += when >= 0 && when < 1500;
        atDeadline += when >= 1500;
    }
    EXPECT_EQ(atAccept, 32);
    EXPECT_EQ(atDeadline, 32);
    EXPECT_EQ(count_of(cam.webd()->log(), "] deadline: 127.0.5."), 32u);
}

}  // namespace
}  // namespace e2e
