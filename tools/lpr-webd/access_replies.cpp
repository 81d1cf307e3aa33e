#include "access_replies.h"

#include <strings.h>

#include <cstring>
#include <new>

#include "json_tree.h"

namespace webd {
namespace {

using tools::CJsonPtr;
using tools::print_compact;

/* The value of a Digest parameter (quoted or not) in an Authorization header, or "". */
std::string digest_parameter(const char* header, const char* name) {
    const size_t length = std::strlen(name);
    for (const char* p = header; *p != '\0'; ++p) {
        const bool starts = p == header || *(p - 1) == ' ' || *(p - 1) == ',';
        if (starts && strncasecmp(p, name, length) == 0 && p[length] == '=') {
            const char* value = p + length + 1;
            const bool quoted = *value == '"';
            value += quoted ? 1 : 0;
            const char* end = value + std::strcspn(value, quoted ? "\"" : ", ");
            return std::string(value, end);
        }
    }
    return "";
}

bool has_scheme(const char* header, const char* scheme) {
    const size_t length = std::strlen(scheme);
    return strncasecmp(header, scheme, length) == 0 && (header[length] == ' ');
}

}  // namespace

LoginFailure login_failure(const char* authorization, bool userNamed, bool sha256) {
    if (authorization == nullptr || authorization[0] == '\0') {
        return LoginFailure::kNoCredentials;
    }
    if (has_scheme(authorization, "Basic")) {
        return LoginFailure::kBasic;
    }
    if (!has_scheme(authorization, "Digest")) {
        return LoginFailure::kOtherScheme;
    }
    if (!userNamed) {
        return LoginFailure::kNoUser;
    }
    // A Digest answer without algorithm means MD5 (RFC 7616, 3.4).
    std::string algorithm = digest_parameter(authorization, "algorithm");
    const bool md5 = algorithm.empty() || strcasecmp(algorithm.c_str(), "MD5") == 0;
    const bool matches = sha256 ? strcasecmp(algorithm.c_str(), "SHA-256") == 0 : md5;
    return matches ? LoginFailure::kWrongCredentials : LoginFailure::kWrongAlgorithm;
}

std::string unauthorized_body(LoginFailure why, bool sha256) {
    const std::string algorithm = sha256 ? "SHA-256" : "MD5";
    const std::string login = "log in with HTTP Digest, algorithm " + algorithm +
                              ", for example: curl --digest -u USER:PASSWORD URL";
    std::string reason;
    std::string hint = login;
    switch (why) {
        case LoginFailure::kNoCredentials:
            reason = "no credentials";
            break;
        case LoginFailure::kBasic:
            reason = "Basic authentication is not accepted";
            hint = "use HTTP Digest instead (curl: add --digest): " + login;
            break;
        case LoginFailure::kOtherScheme:
            reason = "only the Digest scheme is accepted";
            break;
        case LoginFailure::kNoUser:
            reason = "the Digest answer names no user";
            break;
        case LoginFailure::kWrongAlgorithm:
            reason = "the Digest answer uses another algorithm than " + algorithm;
            break;
        case LoginFailure::kWrongCredentials:
            reason = "wrong user name or password";
            hint =
                "check the user name and the password; repeated failures block the client's "
                "address for a while. " +
                login;
            break;
        case LoginFailure::kStaleNonce:
            reason = "the nonce is stale";
            hint =
                "repeat the request with the nonce of this challenge (Digest clients do so "
                "by themselves)";
            break;
    }
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    cJSON_AddNumberToObject(root.get(), "code", 401);
    cJSON_AddStringToObject(root.get(), "msg", "Authentication required");
    cJSON_AddStringToObject(root.get(), "reason", reason.c_str());
    cJSON_AddStringToObject(root.get(), "scheme", "Digest");
    cJSON_AddStringToObject(root.get(), "algorithm", algorithm.c_str());
    cJSON_AddStringToObject(root.get(), "hint", hint.c_str());
    return print_compact(root.get());
}

std::string forbidden_body(const std::string& action, uint32_t required, const User& user) {
    const std::string needs = permission_names(required);
    const std::string has = permission_names(user.permissions);
    const std::string grant = permission_names(user.permissions | required);
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    cJSON_AddNumberToObject(root.get(), "code", 403);
    cJSON_AddStringToObject(root.get(), "msg", "Permission denied");
    cJSON_AddStringToObject(root.get(), "required", needs.c_str());
    cJSON_AddStringToObject(root.get(), "permissions", has.c_str());
    const std::string hint = action + " needs the permission " + needs + "; user " + user.name +
                             " has " + has +
                             ". An administrator grants it with: lpr-webd --users FILE "
                             "--add-user " +
                             user.name + " --perm " + grant;
    cJSON_AddStringToObject(root.get(), "hint", hint.c_str());
    return print_compact(root.get());
}

}  // namespace webd
