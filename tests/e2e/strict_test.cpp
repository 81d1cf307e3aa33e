/*
 * lpr-webd's strict and lenient writes over real HTTP: every trap of the settings
 * library's looser rules refused in strict mode with the member and the reason, and
 * the library's exact behaviour with --lenient; documents read and sent back; passwords
 * hidden from viewers.
 */
#include <cstdio>
#include <cstring>

#include "e2e_support.h"
#include "json_tree.h"

namespace e2e {
namespace {

using tools::CJsonPtr;
using tools::print_compact;

const std::string kAdvanced = "/api/v1/get_lpr_advanced";
const std::string kCount = "/api/v1/get_vehicle_count";

CJsonPtr parse(const std::string& text) {
    return CJsonPtr(cJSON_Parse(text.c_str()));
}

std::string text_of(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, key);
    return cJSON_IsString(item) ? item->valuestring : cJSON_IsNull(item) ? "null" : "(absent)";
}

/* doc with the member at path ("httpList[0].url", "snapshotResInfo.width") set to the
 * JSON value, printed as the library prints. */
std::string with_member(const std::string& doc, const std::string& path, const std::string& value) {
    CJsonPtr root = parse(doc);
    if (!root) {
        return "(not JSON: " + doc + ")";
    }
    cJSON* object = root.get();
    std::string rest = path;
    for (size_t dot; (dot = rest.find('.')) != std::string::npos; rest.erase(0, dot + 1)) {
        std::string part = rest.substr(0, dot);
        size_t open = part.find('[');
        object = cJSON_GetObjectItemCaseSensitive(object, part.substr(0, open).c_str());
        if (open != std::string::npos) {
            object = cJSON_GetArrayItem(object, std::stoi(part.substr(open + 1)));
        }
    }
    CJsonPtr item(cJSON_Parse(value.c_str()));
    if (cJSON_ReplaceItemInObjectCaseSensitive(object, rest.c_str(), item.get())) {
        item.release();  // the document owns it now
    }
    return print_compact(root.get());
}

struct Change {
    const char* path;
    std::string value;  // JSON
};

/* What one mode does with a write. */
struct Outcome {
    long status;
    const char* msg;
    const char* member;           // errors[0].member, or null when no "errors"
    const char* reason;           // errors[0].reason; for a library refusal the rule's "allowed"
    std::vector<Change> changes;  // what the next read shows changed
    const char* hint = nullptr;   // a part of errors[0].hint
};

class StrictTest : public ::testing::Test {
  protected:
    std::string read(const std::string& path, const Credentials& who = kAdmin) {
        HttpReply reply = cam.as(&who, "GET", path);
        EXPECT_EQ(reply.status, 200);
        return reply.body;
    }
    HttpReply write(const std::string& action, const std::string& body) {
        return cam.as(&kAdmin, "POST", "/api/v1/" + action, &body);
    }
    Camera cam;
};

TEST_F(StrictTest, TrapsAreRefusedWhenStrictAndFollowTheLibrarysRulesWhenLenient) {
    std::string eacute;
    for (int i = 0; i < 60; ++i) {
        eacute += "\xC3\xA9";  // 120 bytes of é
    }
    const Outcome ok = {200, "OK", nullptr, nullptr, {}};
    const std::string codes =
        "field codes 0-9 and a-k (lower case), at most 59 bytes, each at most once except 9 "
        "(line break); may be empty";
    // clang-format off
    const struct {
        const char* what;
        const char* action;
        std::string body;
        Outcome strict;
        Outcome lenient;
    } traps[] = {
        {"a switch sent as a JSON boolean", "set_vehicle_count", R"({"enable":true})",
         {200, "OK", nullptr, nullptr, {{"enable", "1"}}}, ok},
        {"a number sent as a string", "set_vehicle_count", R"({"resetHour":"5"})",
         {400, "Invalid parameter: resetHour", "resetHour", "wrong type", {}}, ok},
        {"a misspelt member", "set_vehicle_count", R"({"resetHuor":4})",
         {400, "Invalid parameter: resetHuor", "resetHuor", "unknown member", {},
          "did you mean \"resetHour\"?"}, ok},
        {"text after the JSON", "set_vehicle_count", R"({"resetHour":4} this is not json)",
         {400, "Invalid JSON", "", "trailing data", {}},
         {200, "OK", nullptr, nullptr, {{"resetHour", "4"}}}},
        {"an element whose index is not its position", "set_vehicle_count",
         R"({"httpList":[{"index":2,"url":"http://third/"}]})",
         {400, "Invalid parameter: httpList", "httpList[0].index", "wrong position", {}},
         {200, "OK", nullptr, nullptr,
          {{"httpUrl", R"("http://third/")"}, {"httpList[0].url", R"("http://third/")"}}}},
        {"a text longer than its field", "set_lpr_advanced",
         R"({"osdPositionName":")" + eacute + R"("})",
         {400, "Invalid parameter: osdPositionName", "osdPositionName", "too long", {}},
         {200, "OK", nullptr, nullptr, {{"osdPositionName", "\"" + eacute.substr(0, 95) + "\""}}}},
        {"a text one byte longer than its field", "set_lpr_advanced",
         R"({"osdDeviceId":")" + std::string(96, 'd') + R"("})",
         {400, "Invalid parameter: osdDeviceId", "osdDeviceId", "too long", {}},
         {200, "OK", nullptr, nullptr, {{"osdDeviceId", "\"" + std::string(95, 'd') + "\""}}}},
        {"a number beyond 32 bits", "set_lpr_advanced",
         R"({"snapshotResInfo":{"width":1e20,"height":2056}})",
         {400, "Invalid parameter: snapshotResInfo", "snapshotResInfo.width", "out of range", {}},
         {200, "OK", nullptr, nullptr, {{"snapshotResInfo.width", "2147483647"}}}},
        {"a field code twice", "set_lpr_advanced", R"({"osdSort":"00"})",
         {400, "Invalid parameter: osdSort", "osdSort", "bad form", {}, "code 0 appears twice"},
         {400, "Invalid parameter: osdSort", "osdSort", codes.c_str(), {}}},
        {"a number out of range", "set_vehicle_count", R"({"resetHour":24})",
         {400, "Invalid parameter: resetHour", "resetHour", "out of range", {}},
         {400, "Invalid parameter: resetHour", "resetHour", "integer 0 to 23 (hour)", {}}},
        {"a member twice", "set_vehicle_count", R"({"resetHour":4,"resetHour":5})",
         {400, "Invalid parameter: resetHour", "resetHour", "duplicate member", {}},
         {200, "OK", nullptr, nullptr, {{"resetHour", "4"}}}},
        {"a text that is not UTF-8", "set_vehicle_count", "{\"userName\":\"\xE9t\xE9\"}",
         {400, "Invalid parameter: userName", "userName", "not UTF-8", {}},
         {200, "OK", nullptr, nullptr,
          {{"userName", "\"\xE9t\xE9\""}, {"httpList[0].user", "\"\xE9t\xE9\""}}}},
        {"a colour with a fourth number", "set_lpr_advanced", R"({"osdFontColor":"1:2:3:4"})",
         {400, "Invalid parameter: osdFontColor", "osdFontColor", "bad form", {}},
         {200, "OK", nullptr, nullptr, {{"osdFontColor", R"("1:2:3")"}}}},
    };
    // clang-format on
    for (bool lenient : {false, true}) {
        if (lenient) {
            ASSERT_NO_FATAL_FAILURE(cam.start_webd({"--lenient"}));
        } else {
            ASSERT_NO_FATAL_FAILURE(cam.start());
        }
        for (const auto& t : traps) {
            SCOPED_TRACE(std::string(lenient ? "lenient: " : "strict: ") + t.what);
            const Outcome& want = lenient ? t.lenient : t.strict;
            const std::string& doc = t.action[4] == 'v' ? kCount : kAdvanced;
            std::string expected = read(doc);
            for (const Change& c : want.changes) {
                expected = with_member(expected, c.path, c.value);
            }
            HttpReply reply = write(t.action, t.body);
            EXPECT_EQ(reply.status, want.status) << reply.body;
            CJsonPtr body = parse(reply.body);
            EXPECT_EQ(text_of(body.get(), "msg"), want.msg) << reply.body;
            const cJSON* first = cJSON_GetArrayItem(cJSON_GetObjectItem(body.get(), "errors"), 0);
            if (want.member == nullptr) {
                EXPECT_EQ(first, nullptr) << reply.body;
            } else {
                EXPECT_EQ(text_of(first, "member"), want.member) << reply.body;
                EXPECT_EQ(text_of(first, lenient ? "allowed" : "reason"), want.reason);
            }
            if (want.hint != nullptr) {
                EXPECT_NE(text_of(first, "hint").find(want.hint), std::string::npos) << reply.body;
            }
            EXPECT_EQ(read(doc), expected);
        }
        EXPECT_EQ(cam.stop_webd(), 0);
    }
}

TEST_F(StrictTest, DocumentsReadAndSentBackAreStoredUnchangedAndViewersSeeNoPassword) {
    ASSERT_NO_FATAL_FAILURE(cam.start());
    const std::string setup =
        R"({"enable":true,"cameraPort":8080,"userName":"cam","password":"top-secret",)"
        R"("httpList":[{"enable":1,"url":"http://a/"},{"enable":false,"password":"p\"1"}]})";
    ASSERT_EQ(write("set_vehicle_count", setup).status, 200);
    for (const std::string& doc : {kAdvanced, kCount}) {
        SCOPED_TRACE(doc);
        const std::string action = "set_" + doc.substr(doc.find("get_") + 4);
        const std::string before = read(doc);
        HttpReply back = write(action, before);
        EXPECT_EQ(back.status, 200) << back.body;
        EXPECT_EQ(read(doc), before);
    }
    // A viewer reads the stored passwords as the placeholder (an empty one stays empty);
    // its document sent back keeps them.
    const std::string clear = read(kCount);
    const std::string masked = read(kCount, kViewer);
    std::string expected = with_member(clear, "password", R"("********")");
    expected = with_member(expected, "httpList[0].password", R"("********")");
    expected = with_member(expected, "httpList[1].password", R"("********")");
    EXPECT_EQ(masked, expected);
    EXPECT_NE(masked.find(R"("index":2,"enable":0,"url":"","user":"","password":""})"),
              std::string::npos);
    EXPECT_EQ(write("set_vehicle_count", masked).status, 200);
    EXPECT_EQ(read(kCount), clear);
    EXPECT_EQ(read(kAdvanced, kViewer), read(kAdvanced));
}

}  // namespace
}  // namespace e2e
