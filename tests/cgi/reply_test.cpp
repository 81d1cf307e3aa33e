// The reply envelope, the JSON toolkit and the reading of request members, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"
#include "lpr_cgi_request.h"

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

TEST(JsonToolkit, find_members_finds_what_cJSON_GetObjectItem_finds) {
    constexpr std::array<lpr::MemberKey, 4> keys = {
        lpr::member_key("osdSort"), lpr::member_key("enable"), lpr::member_key("httpList.enable"),
        lpr::member_key("a")};
    static_assert(lpr::keys_are_distinct(keys), "distinct keys");
    static_assert(!lpr::keys_are_distinct(std::array<lpr::MemberKey, 2>{
                      lpr::member_key("osdSort"), lpr::member_key("OSDSORT")}),
                  "letter case does not make keys distinct");
    const char* const bodies[] = {
        R"({"osdSort":1,"enable":2,"httpList.enable":3,"a":4})",
        R"({"a":4,"httpList.enable":3,"enable":2,"osdSort":1})",
        R"({"OSDSORT":1,"osdsort":2,"ENABLE":3,"Enable":4,"A":5,"a":6})",
        R"({"osdSor":1,"osdSortt":2,"enabl":3,"":4,"b":5,"httpList":{"enable":6}})",
        R"({"\u00c9nable":1,"enable\u0000x":2,"osdSort":{"enable":3}})",
        R"({"a":1,"a":2,"enable":3,"osdSort":4,"a":5,"enable":6})",
        R"([{"a":1},{"enable":2}])",
        R"("enable")",
        "{}",
    };
    for (const char* body : bodies) {
        lpr::CJsonPtr root = lpr::parse_json(body);
        ASSERT_TRUE(root) << body;
        std::array<const cJSON*, keys.size()> found;
        lpr::find_members(root.get(), keys, found);
        for (size_t k = 0; k < keys.size(); ++k) {
            EXPECT_EQ(found[k], cJSON_GetObjectItem(root.get(), keys[k].name))
                << body << " key " << keys[k].name;
        }
    }
    std::array<const cJSON*, keys.size()> found;
    lpr::find_members(nullptr, keys, found);
    EXPECT_EQ(found, (std::array<const cJSON*, keys.size()>{}));
}

TEST(JsonToolkit, copy_text_stores_what_snprintf_of_percent_s_stores) {
    const std::string texts[] = {
        "", "a", "abcd", "abcde", "abcdef", std::string(300, 'x'), "ab\xc3\xa9z"};
    for (size_t size : {1U, 2U, 5U, 6U, 96U}) {
        for (const std::string& text : texts) {
            std::string copied(size + 4, '#');
            std::string printed(size + 4, '#');
            lpr::copy_text(&copied[0], size, text.c_str());
            std::snprintf(&printed[0], size, "%s", text.c_str());
            EXPECT_EQ(copied, printed) << "size " << size << " text " << text;
        }
    }
}
