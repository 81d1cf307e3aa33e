// Registration, dispatch, export and release of replies, and the action listing,
// through the host entry points. Each test case runs in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "lpr_cgi_internal.h"
#include "test_support.h"

namespace {

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

LprCgiCtx request(const char* action, int32_t method, uint32_t perm) {
    LprCgiCtx ctx{};
    ctx.action = action;
    ctx.method = method;
    ctx.lprPermission = perm;
    return ctx;
}

std::string body_of(const LprCgiResp& resp) {
    return resp.body == nullptr ? std::string("<null>") : std::string(resp.body, resp.bodyLen);
}

}  // namespace

TEST(Dispatch, handle_before_start_returns_minus_one_and_leaves_reply_untouched) {
    LprCgiResp resp;
    std::memset(&resp, 0xAB, sizeof resp);
    LprCgiResp before = resp;
    LprCgiCtx ctx = request("a", QZ_HTTP_GET, 1);
    EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), -1);
    EXPECT_EQ(std::memcmp(&resp, &before, sizeof resp), 0);
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    EXPECT_EQ(lpr_cgi_handle(nullptr, &resp), -1);
    EXPECT_EQ(lpr_cgi_handle(&ctx, nullptr), -1);
    EXPECT_EQ(std::memcmp(&resp, &before, sizeof resp), 0);
}

TEST(Dispatch, unknown_action_returns_one_with_a_cleared_reply) {
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    ASSERT_EQ(lpr_cgi_register_action("a", handler_silent, 1, 3), 0);
    LprCgiResp resp;
    std::memset(&resp, 0xAB, sizeof resp);
    for (const char* name : {"b", "A", "", static_cast<const char*>(nullptr)}) {
        LprCgiCtx ctx = request(name, QZ_HTTP_GET, 1);
        EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), 1);
        EXPECT_EQ(resp.code, 0);
        EXPECT_EQ(resp.body, nullptr);
        EXPECT_EQ(resp.bodyLen, 0);
        EXPECT_EQ(resp._priv, nullptr);
    }
    EXPECT_EQ(g_calls, 0);
}

TEST(Dispatch, permission_and_method_tests_decide_the_reply) {
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    ASSERT_EQ(lpr_cgi_register_action("get", handler_ok, 0x1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("post", handler_ok, 0x2, 2), 0);
    ASSERT_EQ(lpr_cgi_register_action("both", handler_ok, 0x6, 3), 0);
    ASSERT_EQ(lpr_cgi_register_action("never", handler_ok, 0, 3), 0);
    const std::string k403 = "{\"code\":403,\"msg\":\"Permission denied\"}";
    const std::string k405 = "{\"code\":405,\"msg\":\"Method not allowed\"}";
    const std::string kOk = "{\"x\":1}";
    struct Row {
        const char* action;
        int32_t method;
        uint32_t perm;
        int code;
        std::string body;
        int calls;
    } rows[] = {
        {"get", QZ_HTTP_GET, 0x1, 200, kOk, 1},   {"get", QZ_HTTP_POST, 0x1, 405, k405, 0},
        {"get", QZ_HTTP_POST, 0x2, 403, k403, 0},  // 403 comes before 405
        {"post", QZ_HTTP_POST, 0x3, 200, kOk, 1}, {"post", QZ_HTTP_GET, 0x2, 405, k405, 0},
        {"both", QZ_HTTP_GET, 0x4, 200, kOk, 1},  {"both", QZ_HTTP_POST, 0xFFFFFFFF, 200, kOk, 1},
        {"both", 2, 0x4, 405, k405, 0},           {"both", -1, 0x4, 405, k405, 0},
        {"both", 40, 0x4, 405, k405, 0},          {"never", QZ_HTTP_GET, 0xFFFFFFFF, 403, k403, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.action) + " method " + std::to_string(row.method));
        g_calls = 0;
        LprCgiCtx ctx = request(row.action, row.method, row.perm);
        LprCgiResp resp{};
        EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), 0);
        EXPECT_EQ(resp.code, row.code);
        EXPECT_EQ(body_of(resp), row.body);
        EXPECT_EQ(resp.bodyLen, static_cast<int32_t>(row.body.size()));
        EXPECT_EQ(g_calls, row.calls);
        lpr_cgi_resp_free(&resp);
    }
    EXPECT_EQ(k403.size(), 38U);
    EXPECT_EQ(k405.size(), 39U);
}

TEST(Dispatch, handler_result_code_and_last_body_reach_the_host) {
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    ASSERT_EQ(lpr_cgi_register_action("fail", handler_fails, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("silent", handler_silent, 1, 1), 0);
    LprCgiCtx ctx = request("fail", QZ_HTTP_GET, 1);
    LprCgiResp resp{};
    EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), 7);
    EXPECT_EQ(resp.code, 500);
    EXPECT_EQ(body_of(resp), "second");
    lpr_cgi_resp_free(&resp);

    ctx = request("silent", QZ_HTTP_GET, 1);
    EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), 0);
    EXPECT_EQ(resp.code, 0);
    EXPECT_EQ(resp.body, nullptr);
    EXPECT_EQ(resp.bodyLen, 0);
    EXPECT_EQ(resp._priv, nullptr);
}

TEST(Dispatch, exported_body_lives_until_release_and_release_is_idempotent) {
    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    ASSERT_EQ(lpr_cgi_register_action("get", handler_ok, 1, 1), 0);
    LprCgiCtx ctx = request("get", QZ_HTTP_GET, 1);
    LprCgiResp resp{};
    ASSERT_EQ(lpr_cgi_handle(&ctx, &resp), 0);
    ASSERT_NE(resp._priv, nullptr);
    EXPECT_EQ(std::string(resp.body), "{\"x\":1}");
    EXPECT_EQ(resp.body[resp.bodyLen], '\0');
    lpr_cgi_resp_free(&resp);
    EXPECT_EQ(resp.code, 0);
    EXPECT_EQ(resp.body, nullptr);
    EXPECT_EQ(resp.bodyLen, 0);
    EXPECT_EQ(resp._priv, nullptr);
    lpr_cgi_resp_free(&resp);
    lpr_cgi_resp_free(nullptr);
}

TEST(Registry, duplicates_are_refused_with_a_log_line_and_the_first_stays) {
    const char first[] = "x";
    const char other[] = "x";  // same text, other pointer
    ASSERT_EQ(lpr_cgi_register_action(first, handler_ok, 1, 1), 0);
    lpr_test::StdoutCapture capture;
    EXPECT_EQ(lpr_cgi_register_action(other, handler_silent, 1, 1), -1);
    EXPECT_EQ(lpr_cgi_register_action(nullptr, handler_silent, 1, 1), -1);
    EXPECT_EQ(lpr_cgi_register_action("y", nullptr, 1, 1), -1);
    std::string out = capture.text();
    auto lines = lpr_test::log_lines(out);
    ASSERT_EQ(lines.size(), 1U) << out;
    EXPECT_EQ(lines[0],
              "lpr_cgi: duplicate action: x==func:lpr_cgi_register_action "
              "file:lib/src/cgi/lpr_cgi.cpp line:35");
    EXPECT_EQ(out.rfind("[", 0), 0U);
    EXPECT_NE(out.find(" " + std::to_string(getpid()) + "] "), std::string::npos);

    ASSERT_EQ(lpr_cgi_init(nullptr), 0);
    g_calls = 0;
    LprCgiCtx ctx = request("x", QZ_HTTP_GET, 1);
    LprCgiResp resp{};
    EXPECT_EQ(lpr_cgi_handle(&ctx, &resp), 0);
    EXPECT_EQ(body_of(resp), "{\"x\":1}");
    lpr_cgi_resp_free(&resp);
}

TEST(Registry, listing_writes_names_in_order_and_cuts_to_the_buffer) {
    char buf[80];
    EXPECT_EQ(lpr_cgi_list_actions(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "[]");
    ASSERT_EQ(lpr_cgi_register_action("a", handler_ok, 1, 1), 0);
    ASSERT_EQ(lpr_cgi_register_action("b", handler_ok, 1, 1), 0);
    struct Row {
        int len;
        const char* text;
    } rows[] = {
        {64, "[\"a\",\"b\"]"}, {10, "[\"a\",\"b\"]"}, {9, "[\"a\",\"b\""}, {2, "["}, {1, ""}};
    for (const Row& row : rows) {
        std::memset(buf, 'Z', sizeof buf);
        EXPECT_EQ(lpr_cgi_list_actions(buf, row.len), 0);
        EXPECT_STREQ(buf, row.text) << "len " << row.len;
        EXPECT_EQ(buf[row.len], 'Z') << "wrote past len " << row.len;
    }
    EXPECT_EQ(lpr_cgi_list_actions(buf, 0), -1);
    EXPECT_EQ(lpr_cgi_list_actions(buf, -3), -1);
    EXPECT_EQ(lpr_cgi_list_actions(nullptr, 10), -1);
}
