#include "authentication.h"

#include <utility>

#include "access_replies.h"
#include "mhd.h"
#include "replies.h"

namespace webd {
namespace {

/* Characters of a failed login's user name kept in the access log. */
constexpr size_t kLoggedNameLimit = 32;

}  // namespace

Authentication::Authentication(const Options& options, UserTable users)
    : m_users(std::move(users)),
      m_blockSeconds(options.loginBlockSeconds),
      m_throttle(options.maxFailedLogins, std::chrono::seconds(options.failedLoginWindow),
                 std::chrono::seconds(options.loginBlockSeconds)),
      m_digest(options.realm,
               options.digestMd5 ? DigestAuth::Algorithm::kMd5 : DigestAuth::Algorithm::kSha256,
               std::chrono::seconds(options.nonceTimeout)) {}

bool Authentication::init(std::string* error) {
    return m_digest.init(error);
}

MHD_Result Authentication::challenge(MHD_Connection* connection, Request& req,
                                     const char* authorization, bool stale, bool userNamed) {
    const bool sha256 = m_digest.algorithm() == DigestAuth::Algorithm::kSha256;
    req.phase = Request::Phase::kReplied;
    std::string body = unauthorized_body(
        stale ? LoginFailure::kStaleNonce : login_failure(authorization, userNamed, sha256),
        sha256);
    MhdResponse response = MhdResponse::copy_of(body);
    response.add_header(MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
    req.status = 401;
    req.bytes = body.size();
    response.add_header(MHD_HTTP_HEADER_WWW_AUTHENTICATE, m_digest.challenge(stale).c_str());
    return response.queue(connection, 401);
}

bool Authentication::check(MHD_Connection* connection, Request& req, MHD_Result* result) {
    if (unsigned wait = m_throttle.blocked_for(req.client)) {
        *result = reply_throttled(connection, req, wait);
        return false;
    }
    const char* authorization = request_header(connection, MHD_HTTP_HEADER_AUTHORIZATION);
    const User* user = nullptr;
    std::string tried;
    switch (m_digest.check(authorization, req.method, req.target, m_users, &user, &tried)) {
        case DigestAuth::Verdict::kNoCredentials:
            *result = challenge(connection, req, authorization, false, false);
            return false;
        case DigestAuth::Verdict::kStale:
            // The client repeats with a fresh nonce.
            *result = challenge(connection, req, authorization, true, true);
            return false;
        case DigestAuth::Verdict::kAccepted:
            m_throttle.succeeded(req.client);
            req.account = user;
            req.user = user->name;
            return true;
        case DigestAuth::Verdict::kRefused:
            break;
    }
    if (!tried.empty()) {
        req.user = log_safe(tried.c_str(), kLoggedNameLimit);  // the name tried
    }
    *result = m_throttle.failed(req.client)
                  ? reply_throttled(connection, req, m_blockSeconds)
                  : challenge(connection, req, authorization, false, !tried.empty());
    return false;
}

}  // namespace webd
