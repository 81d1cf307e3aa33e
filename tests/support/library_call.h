/*
 * One request through the library's host entry point, made as a host makes it, for the tests
 * of the library's actions. Header only: the tests that use it link the library's objects;
 * the other test programs do not.
 */
#ifndef LPR_TEST_LIBRARY_CALL_H
#define LPR_TEST_LIBRARY_CALL_H

#include <cstdint>
#include <string>

#include "cgi/lpr_cgi.h"

namespace lpr_test {

/* What lpr_cgi_handle answered, copied out before the reply was released. */
struct Reply {
    int32_t rc;
    int32_t code;
    std::string body; /* "<null>" when the reply had none */
};

/* body: null, or NUL-terminated (len may differ from its length, as a host may send). */
inline Reply call_library(const char* action, int32_t method, char* body, int32_t len,
                          uint32_t permission) {
    LprCgiCtx ctx{action, method, body, len, permission, nullptr, nullptr};
    LprCgiResp resp{};
    Reply reply{lpr_cgi_handle(&ctx, &resp), resp.code,
                resp.body != nullptr ? std::string(resp.body, resp.bodyLen) : "<null>"};
    lpr_cgi_resp_free(&resp);
    return reply;
}

}  // namespace lpr_test

#endif /* LPR_TEST_LIBRARY_CALL_H */
