// The reply envelope and the JSON toolkit, byte for byte.
#include <gtest/gtest.h>

#include <string>

#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"

namespace {

std::string body(const LprCgiRespInternal& resp) {
    return resp.m_bodyHolder ? *resp.m_bodyHolder : std::string("<none>");
}

}  // namespace

TEST(Reply, envelopes_are_printed_compact_and_escaped) {
    struct Row {
        int code;
        const char* msg;
        const char* field;  // non-null: invalid-parameter reply
        std::string expected;
    } rows[] = {
        {400, "Empty body", nullptr, "{\"code\":400,\"msg\":\"Empty body\"}"},
        {400, "Invalid JSON", nullptr, "{\"code\":400,\"msg\":\"Invalid JSON\"}"},
        {400, nullptr, "osdSort", "{\"code\":400,\"msg\":\"Invalid parameter: osdSort\"}"},
        {400, nullptr, "httpList.enable",
         "{\"code\":400,\"msg\":\"Invalid parameter: httpList.enable\"}"},
        {400, nullptr, "", "{\"code\":400,\"msg\":\"Invalid parameter: \"}"},
        {400, "a\"b\\c", nullptr, "{\"code\":400,\"msg\":\"a\\\"b\\\\c\"}"},
    };
    for (const Row& row : rows) {
        LprCgiRespInternal resp;
        resp.m_code = 999;
        resp.set_body("earlier");
        int rc = row.field != nullptr ? lpr::return_invalid_param(&resp, row.field)
                                      : lpr::return_error(&resp, row.code, row.msg);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(resp.m_code, row.code);
        EXPECT_EQ(body(resp), row.expected);
    }
    EXPECT_EQ(std::string("{\"code\":400,\"msg\":\"Empty body\"}").size(), 31U);
    EXPECT_EQ(std::string("{\"code\":400,\"msg\":\"Invalid parameter: osdSort\"}").size(), 47U);
}

TEST(Reply, success_reply_is_the_fixed_23_bytes) {
    LprCgiRespInternal resp;
    EXPECT_EQ(lpr::return_ok(&resp), 0);
    EXPECT_EQ(resp.m_code, 200);
    EXPECT_EQ(body(resp), "{\"code\":200,\"msg\":\"OK\"}");
    EXPECT_EQ(body(resp).size(), 23U);
}

TEST(JsonToolkit, print_parse_and_null_trees) {
    lpr::CJsonPtr none;
    EXPECT_EQ(lpr::print_json(none, false), "");
    lpr::CJsonPtr bad = lpr::parse_json("{\"a\":");
    EXPECT_FALSE(bad);

    lpr::CJsonPtr root = lpr::create_object();
    ASSERT_TRUE(root);
    cJSON_AddNumberToObject(root.get(), "a", 1);
    cJSON_AddStringToObject(root.get(), "b", "x");
    EXPECT_EQ(lpr::print_json(root, false), "{\"a\":1,\"b\":\"x\"}");
    EXPECT_NE(lpr::print_json(root, true).find('\n'), std::string::npos);

    lpr::CJsonPtr parsed = lpr::parse_json("{ \"A\" : 2 , \"a\" : 3 }");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(cJSON_GetObjectItem(parsed.get(), "a")->valueint, 2);  // case ignored, first wins
}
