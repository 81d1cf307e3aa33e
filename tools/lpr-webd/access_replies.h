/*
 * The bodies of the host's 401 and 403 replies, which say what is wrong and how to get
 * in: the 401 names the scheme and algorithm the server expects, why the request's
 * credentials were not taken, and how curl logs in; the 403 names the permission the
 * action needs and the ones the user has. Both keep the envelope's "code" and "msg"
 * ("Authentication required", "Permission denied") for clients that read only those.
 */
#ifndef LPR_WEBD_ACCESS_REPLIES_H
#define LPR_WEBD_ACCESS_REPLIES_H

#include <cstdint>
#include <string>

#include "users.h"

namespace webd {

/* Why a login failed. */
enum class LoginFailure {
    kNoCredentials,    /* no Authorization header: the first step of every Digest login */
    kBasic,            /* Basic authentication (curl without --digest) */
    kOtherScheme,      /* a scheme other than Digest and Basic */
    kNoUser,           /* a Digest answer without a usable user name */
    kWrongAlgorithm,   /* a Digest answer with another algorithm than the server's */
    kWrongCredentials, /* unknown user or wrong password */
    kStaleNonce,       /* an expired nonce: the client repeats with the new one */
};

/* Why a request with this Authorization header (null: none) failed. userNamed: MHD
 * found a user name in it; sha256: the server's algorithm is SHA-256, else MD5. */
LoginFailure login_failure(const char* authorization, bool userNamed, bool sha256);

/* {"code":401,"msg":"Authentication required","reason":..,"scheme":"Digest",
 *  "algorithm":"SHA-256"|"MD5","hint":..} */
std::string unauthorized_body(LoginFailure why, bool sha256);

/* {"code":403,"msg":"Permission denied","required":..,"permissions":..,"hint":..} for
 * user calling action, which needs the permission bits required. */
std::string forbidden_body(const std::string& action, uint32_t required, const User& user);

}  // namespace webd

#endif /* LPR_WEBD_ACCESS_REPLIES_H */
