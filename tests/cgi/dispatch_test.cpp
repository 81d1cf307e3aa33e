// Registration, dispatch, release of replies and the action listing, through the host
// entry points. Each test case runs in a process of its own.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "library_call.h"
#include "lpr_cgi_internal.h"

namespace {

using lpr_test::call;

int g_calls = 0;

int32_t handler_ok(const LprCgiCtx*, LprCgiRespInternal* resp) {
    ++g_calls;
    resp->m_code = 200;
    resp->set_body("{\"x\":1}");
    return 0;
}
int32_t handler_silent(const LprCgiCtx*, LprCgiRespInternal*) {
    ++g_calls;
    return 0;
}
int32_t handler_fails(const LprCgiCtx*, LprCgiRespInternal* resp) {
    resp->m_code = 500;
    resp->set_body("first");
    resp->set_body("second");
    return 7;
}

}  // namespace

TEST(Dispatch, permission_method_and_handler_decide_the_reply) {
    LprCgiResp resp;
    std::memset(&resp, 0xAB, sizeof resp);
    const LprCgiResp untouched = resp;
    LprCgiCtx ctx{"get", QZ_HTTP_GET, nullptr, 0, 1, nullptr, nullptr};
    EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), -1);  // not started
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    EXPECT_EQ(lpr_cgi_handle(nullptr, &resp), -1);
    EXPECT_EQ(lpr_cgi_handle(&ctx, nullptr), -1);
    EXPECT_EQ(std::memcmp(&resp, &untouched, sizeof resp), 0);

    ASSERT_EQ(lpr_cgi_register_action("get", handler_ok, 0x1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("post", handler_ok, 0x2, 2), 0);
    ASSERT_EQ(lpr_cgi_register_action("both", handler_ok, 0x6, 3), 0);
    ASSERT_EQ(lpr_cgi_register_action("never", handler_ok, 0, 3), 0);
    ASSERT_EQ(lpr_cgi_register_action("fail", handler_fails, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("silent", handler_silent, 1, 1), 0);
    const std::string k403 = R"({"code":403,"msg":"Permission denied"})";
    const std::string k405 = R"({"code":405,"msg":"Method not allowed"})", kOk = R"({"x":1})";
    const struct {
        const char* action;
        int32_t method;
        uint32_t perm;
        int rc, code;
        std::string body;
        int calls;
    } rows[] = {
        // clang-format off
        {"get", QZ_HTTP_GET, 0x1, 0, 200, kOk, 1}, {"get", QZ_HTTP_POST, 0x1, 0, 405, k405, 0},
        {"get", QZ_HTTP_POST, 0x2, 0, 403, k403, 0},  // 403 comes before 405
        {"post", QZ_HTTP_POST, 0x3, 0, 200, kOk, 1}, {"post", QZ_HTTP_GET, 0x2, 0, 405, k405, 0},
        {"both", QZ_HTTP_GET, 0x4, 0, 200, kOk, 1},
        {"both", QZ_HTTP_POST, 0xFFFFFFFF, 0, 200, kOk, 1},
        {"both", 2, 0x4, 0, 405, k405, 0}, {"both", -1, 0x4, 0, 405, k405, 0},
        {"both", 40, 0x4, 0, 405, k405, 0}, {"never", QZ_HTTP_GET, 0xFFFFFFFF, 0, 403, k403, 0},
        {"fail", QZ_HTTP_GET, 1, 7, 500, "second", 0},  // the handler's result, its last body
        {"silent", QZ_HTTP_GET, 1, 0, 0, "<null>", 1},
        // Unknown actions: 1, a cleared reply.
        {"b", QZ_HTTP_GET, 1, 1, 0, "<null>", 0}, {"GET", QZ_HTTP_GET, 1, 1, 0, "<null>", 0},
        {"", QZ_HTTP_GET, 1, 1, 0, "<null>", 0}, {nullptr, QZ_HTTP_GET, 1, 1, 0, "<null>", 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.action ? row.action : "(null)") + " method " +
                     std::to_string(row.method));
        g_calls = 0;
        lpr_test::Reply r = call(row.action, row.method, nullptr, 0, row.perm);
        EXPECT_EQ(r.rc, row.rc);
        EXPECT_EQ(r.code, row.code);
        EXPECT_EQ(r.body, row.body);
        EXPECT_EQ(g_calls, row.calls);
    }

    // The body is NUL-terminated, lives until the release, and a release clears the record.
    std::memset(&resp, 0xAB, sizeof resp);
    ASSERT_EQ(lpr_cgi_handle(&ctx, &resp), 0);
    EXPECT_EQ(std::string(resp.body), kOk);
    EXPECT_EQ(resp.bodyLen, 7);
    lpr_cgi_resp_free(&resp);
    EXPECT_TRUE(resp.code == 0 && resp.body == nullptr && resp.bodyLen == 0 &&
                resp._priv == nullptr);
    lpr_cgi_resp_free(&resp);
    lpr_cgi_resp_free(nullptr);
}

TEST(Registry, duplicates_are_refused_with_a_log_line_and_the_listing_cuts_to_its_buffer) {
    char buf[80];
    EXPECT_EQ(lpr_cgi_list_actions(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "[]");
    const char first[] = "a";
    const char other[] = "a";  // same text, other pointer
    ASSERT_EQ(lpr_cgi_register_action(first, handler_ok, 1, 1), 0);
    const std::string out = lpr_test::captured([&] {
        EXPECT_EQ(lpr_cgi_register_action(other, handler_silent, 1, 1), -1);
        EXPECT_EQ(lpr_cgi_register_action(nullptr, handler_silent, 1, 1), -1);
        EXPECT_EQ(lpr_cgi_register_action("y", nullptr, 1, 1), -1);
    });
    EXPECT_EQ(lpr_test::log_lines(out),
              std::vector<std::string>{"lpr_cgi: duplicate action: a==func:lpr_cgi_register_action "
                                       "file:lib/src/cgi/lpr_cgi.cpp line:35"});
    EXPECT_NE(out.find(" " + std::to_string(getpid()) + "] "), std::string::npos) << out;
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    EXPECT_EQ(lpr_test::get("a").body, "{\"x\":1}");  // the first stays

    ASSERT_EQ(lpr_cgi_register_action("b", handler_ok, 1, 1), 0);
    const struct {
        int len;
        const char* text;
    } rows[] = {
        {64, "[\"a\",\"b\"]"}, {10, "[\"a\",\"b\"]"}, {9, "[\"a\",\"b\""}, {2, "["}, {1, ""}};
    for (const auto& row : rows) {
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(lpr_cgi_list_actions(buf, row.len), 0);
        EXPECT_STREQ(buf, row.text) << "len " << row.len;
        EXPECT_EQ(buf[row.len], 'Z') << "wrote past len " << row.len;
    }
    EXPECT_EQ(lpr_cgi_list_actions(buf, 0), -1);
    EXPECT_EQ(lpr_cgi_list_actions(buf, -3), -1);
    EXPECT_EQ(lpr_cgi_list_actions(nullptr, 10), -1);
}
