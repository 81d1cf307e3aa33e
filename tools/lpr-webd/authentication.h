/*
 * Authentication of each request: the Digest check (digest_auth.h) against the users file,
 * the 401 challenge that tells the client how to log in (access_replies.h), and the
 * throttle of failed logins per client address (login_throttle.h), which answers 429.
 * Thread-safe: every worker thread checks its own requests through one object.
 */
#ifndef LPR_WEBD_AUTHENTICATION_H
#define LPR_WEBD_AUTHENTICATION_H

#include <microhttpd.h>

#include <string>

#include "digest_auth.h"
#include "login_throttle.h"
#include "options.h"
#include "request.h"
#include "users.h"

namespace webd {

class Authentication {
  public:
    Authentication(const Options& options, UserTable users);

    /* Draws the Digest secrets; false with *error when the system has no random bytes. */
    bool init(std::string* error);

    /* Checks a complete request. true: the user is known (req.account, req.user) and the
     * request goes on. false: it was answered, 401 with a challenge or 429 for an address
     * blocked now, and *result is what libmicrohttpd gets. */
    bool check(MHD_Connection* connection, Request& req, MHD_Result* result);

    DigestAuth::Algorithm algorithm() const { return m_digest.algorithm(); }

  private:
    MHD_Result challenge(MHD_Connection* connection, Request& req, const char* authorization,
                         bool stale, bool userNamed);

    const UserTable m_users;
    const unsigned m_blockSeconds;
    LoginThrottle m_throttle;
    DigestAuth m_digest;
};

}  // namespace webd

#endif /* LPR_WEBD_AUTHENTICATION_H */
