// The advanced settings actions through the real start-up, dispatch, cache and bus:
// exact reply bytes, the whole 608-byte record after every write, and the bus messages
// each write leaves (one carrying the cached record after a success, none after an error).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "library_call.h"
#include "lpr_osd_fields.h"

namespace {

using lpr_test::bytes_of;
using lpr_test::invalid_reply;
using lpr_test::kOk;

std::string post(const std::string& body) {
    return lpr_test::post("advanced.set", body).body;
}

std::string read_document() {
    return lpr_test::get("advanced.get").body;
}

// Bytes a write leaves at an offset of the record. A text is written with its NUL only.
struct Patch {
    size_t offset;
    std::string bytes;
};
std::string i32(int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}

// T: a text, B: a byte, I: a 32-bit value, RGB: three colour bytes, at field f.
// clang-format off
#define AT(f) offsetof(lpr_advanced_t, f)
#define T(f, s) Patch{AT(f), std::string(s) + '\0'}
#define B(f, v) Patch{AT(f), std::string(1, static_cast<char>(v))}
#define I(f, v) Patch{AT(f), i32(v)}
#define RGB(f, r, g, b) Patch{AT(f), {char(r), char(g), char(b)}}
// clang-format on

void apply(lpr_advanced_t& adv, const std::vector<Patch>& patches) {
    for (const Patch& p : patches) {
        std::memcpy(reinterpret_cast<char*>(&adv) + p.offset, p.bytes.data(), p.bytes.size());
    }
}

// A camera's settings; every other byte (gaps, text tails, osd_space 21..59) holds fill.
lpr_advanced_t base_record(unsigned char fill) {
    lpr_advanced_t a;
    std::memset(&a, fill, sizeof a);
    apply(a, {B(snap_separator, 1), T(snap_sort, "01278"), T(snap_position, "Gate 3"),
              T(snap_device_id, "CAM-0042"),
              Patch{AT(osd_font_size), "\x02\x0a\x14\x1e\x01\x28\x32\x3c\x03"}, I(osd_height, -77),
              T(osd_sort, "0196a8"), T(osd_space, "012345678901234567890"),
              T(osd_position, "North lane"), T(osd_device_id, "Unit 7"), I(snapRes, 2),
              I(snapshotResInfo.width, 1920), I(snapshotResInfo.height, 1080), B(osd_space_num, 3),
              I(fileTimeFormat, 1), B(osdTimeFormat, 2), I(snapshotQuality, 85)});
    return a;
}

// "osdSpaceList" of the spacing digits of fields 0..20 (field 9 is not listed).
std::string space_list(const char* digits) {
    std::string list;
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        if (i != lpr::kOsdLineBreak) {
            list += std::string(list.empty() ? "[" : ",") + R"({"fileName":")" +
                    lpr::kOsdFieldNames[i] + R"(","spaces":)" + digits[i] + "}";
        }
    }
    return list + "]";
}

std::string document(const std::string& head, const char* spaces, const std::string& tail) {
    return "{" + head + R"(,"osdSpaceList":)" + space_list(spaces) + "," + tail + "}";
}

const std::string kBaseDocument =
    document(R"("osdSort":"0196a8","osdFontSize":2,"osdFontColor":"10:20:30","osdBkgEnable":1,)"
             R"("osdBkgColor":"40:50:60","osdPosition":3)",
             "012345678901234567890",
             R"("osdPositionName":"North lane","osdDeviceId":"Unit 7","snapSeparator":1,)"
             R"("snapSort":"01278","snapPosition":"Gate 3","snapDeviceId":"CAM-0042",)"
             R"("snapshotResolution":2,"fileDateTimeFormat":1,"osdDateTimeFormat":2,)"
             R"("lineBreakCharNum":3,"snapshotResInfo":{"width":1920,"height":1080})");

class AdvancedSettings : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(lib.listen()); }
    lpr_test::SettingsLibrary lib;
};

struct WriteCase {
    std::string body;
    const char* refused;  // the key the error names; nullptr when the write succeeds
    std::vector<Patch> changes;
};

// Refused values of each member, in the order in which the write examines the members:
// bounds, forms, and spacings above 9 for any name.
// clang-format off
const std::vector<std::pair<const char*, std::vector<std::string>>> kRefused = {
    {"osdSort", {R"("00")", R"("0A")", R"("l")", R"("0 1")", R"("01\n")"}},
    {"osdFontSize", {"6", "-1", "4294967301"}},
    {"osdFontColor", {R"("256:0:0")", R"("-1:0:0")", R"("1:2")", R"("1;2;3")", R"("1 :2:3")",
                      R"("4294967296:0:0")", R"("1:2:")", R"(":1:2:3")", R"("- 1:2:3")",
                      R"("0x1:2:3")", R"("1:2:+")"}},
    {"osdBkgEnable", {"2"}}, {"osdBkgColor", {R"("0:0:256")", R"("")"}}, {"osdPosition", {"5"}},
    {"osdSpaceList", {R"([{"fileName":"time","spaces":1},{"fileName":"gps","spaces":10}])",
                      R"([{"fileName":"lineBreak","spaces":12}])",
                      R"([{"fileName":"nosuch","spaces":10}])",
                      R"([{"fileName":"vehicleBrand","spaces":10}])",
                      R"([{"fileName":"time","spaces":-1}])"}},
    {"osdPositionName", {R"("")"}}, {"osdDeviceId", {R"("")"}}, {"lineBreakCharNum", {"7"}},
    {"snapSeparator", {"3"}}, {"snapSort", {R"("")", R"("09")", R"("0120")", R"("K")"}},
    {"snapPosition", {R"("")"}}, {"snapDeviceId", {R"("")"}}, {"osdDateTimeFormat", {"3"}},
    {"fileDateTimeFormat", {"3", "-1"}}, {"snapshotResolution", {"5"}},
    {"snapshotResInfo", {R"({"width":1})", R"({"width":1,"height":"2"})"}},
};
// clang-format on

std::vector<WriteCase> write_cases() {
    const std::string x58(58, '9'), x94(94, 'a'), x95(95, 'x'), x200(200, 'x');
    // clang-format off
    std::vector<WriteCase> cases = {
        // Numbers at their upper bounds; fractions drop toward zero; other types are skipped.
        {R"({"osdFontSize":5,"osdBkgEnable":1,"osdPosition":4,"lineBreakCharNum":6})", nullptr,
         {B(osd_font_size, 5), B(osd_bkgcolor_enable, 1), B(osd_show_pos, 4), B(osd_space_num, 6)}},
        {R"({"snapSeparator":2,"osdDateTimeFormat":2,"fileDateTimeFormat":2,)"
         R"("snapshotResolution":4})", nullptr,
         {B(snap_separator, 2), B(osdTimeFormat, 2), I(fileTimeFormat, 2), I(snapRes, 4)}},
        {R"({"osdFontSize":0,"snapshotResolution":0})", nullptr,
         {B(osd_font_size, 0), I(snapRes, 0)}},
        {R"({"osdFontSize":4.7,"osdPosition":-0.5})", nullptr,
         {B(osd_font_size, 4), B(osd_show_pos, 0)}},
        {R"({"osdFontSize":"5","osdBkgEnable":true,"osdPosition":null,"snapshotResInfo":5})",
         nullptr, {}},
        {R"({"snapshotResInfo":{"width":-5,"height":0}})", nullptr,
         {I(snapshotResInfo.width, -5), I(snapshotResInfo.height, 0)}},
        {R"({"snapshotResInfo":{"HEIGHT":1e12,"width":-1e12}})", nullptr,
         {I(snapshotResInfo.width, INT32_MIN), I(snapshotResInfo.height, INT32_MAX)}},
        // Colour texts.
        {R"({"osdFontColor":"255:0:128","osdBkgColor":" 7: 8:9x"})", nullptr,
         {RGB(osd_fontcolor_r, 255, 0, 128), RGB(osd_bkgcolor_r, 7, 8, 9)}},
        {R"({"osdFontColor":"1:2:3:4"})", nullptr, {RGB(osd_fontcolor_r, 1, 2, 3)}},
        {R"({"osdFontColor":"+1:+02:+3","osdBkgColor":"\t4:\n5:\r6"})", nullptr,
         {RGB(osd_fontcolor_r, 1, 2, 3), RGB(osd_bkgcolor_r, 4, 5, 6)}},
        // Order strings and the resets they make; a name in the same body overrides them.
        {R"({"osdSort":""})", nullptr,
         {T(osd_sort, ""), T(osd_position, "Position"), T(osd_device_id, "Device ID")}},
        {R"({"osdSort":"0699"})", nullptr, {T(osd_sort, "0699"), T(osd_device_id, "Device ID")}},
        {R"({"osdSort":"9k8"})", nullptr, {T(osd_sort, "9k8"), T(osd_position, "Position")}},
        {R"({"osdSort":"012","osdPositionName":"Lane 2"})", nullptr, {T(osd_sort, "012"),
         T(osd_position, "Position"), T(osd_position, "Lane 2"), T(osd_device_id, "Device ID")}},
        {R"({"osdSort":")" + x58 + R"(68"})", nullptr,  // cut to 59 bytes before the scan
         {T(osd_sort, x58 + "6"), T(osd_device_id, "Device ID")}},
        {R"({"osdSort":68})", nullptr, {}},
        {R"({"snapSort":"012345678abcdefghijk"})", nullptr, {T(snap_sort, "012345678abcdefghijk")}},
        {R"({"snapSort":"0126"})", nullptr, {T(snap_sort, "0126"), T(snap_device_id, "Device ID")}},
        {R"({"snapSort":"k","snapDeviceId":"Cam B"})", nullptr, {T(snap_sort, "k"),
         T(snap_position, "Position"), T(snap_device_id, "Device ID"), T(snap_device_id, "Cam B")}},
        // Name texts are cut to 95 bytes, not characters.
        {R"({"osdPositionName":")" + x200 + R"(","osdDeviceId":"Unit 9"})", nullptr,
         {T(osd_position, x95), T(osd_device_id, "Unit 9")}},
        {R"({"snapPosition":"Exit","snapDeviceId":")" + x94 + "\u00e9\"}", nullptr,
         {T(snap_position, "Exit"), T(snap_device_id, x94 + "\xc3")}},
        // Spacing list: only the named bytes change.
        {R"({"osdSpaceList":[{"fileName":"time","spaces":3}]})", nullptr, {B(osd_space[0], '3')}},
        {R"({"osdSpaceList":[{"fileName":"adrPlate","spaces":9},{"FILENAME":"gps","Spaces":1},)"
         R"({"fileName":"gps","spaces":0}]})", nullptr,
         {B(osd_space[20], '9'), B(osd_space[17], '0')}},
        {R"({"osdSpaceList":[{"fileName":"lineBreak","spaces":4},{"fileName":"countryRegion",)"
         R"("spaces":4},{"fileName":"vehicleBrand","spaces":4},{"fileName":"Time","spaces":4},)"
         R"({"fileName":"nosuch","spaces":4},{"fileName":"time","spaces":"4"},{"fileName":4,)"
         R"("spaces":4},{"fileName":"time"},[],1,"time"]})", nullptr, {}},
        {R"({"osdSpaceList":[]})", nullptr, {}},
        {R"({"osdSpaceList":{"fileName":"time","spaces":1}})", nullptr, {}},
        // Keys ignore letter case; of duplicate keys only the first is looked at.
        {R"({"OSDFONTSIZE":3,"osdfontsize":9})", nullptr, {B(osd_font_size, 3)}},
        {R"({"osdfontsize":9,"osdFontSize":3})", "osdFontSize", {}},
        {R"({"osdFontSize":"x","osdFontSize":3})", nullptr, {}},
        // The examination order decides which error is reported, not the body's order.
        {R"({"snapSeparator":7,"osdFontSize":9})", "osdFontSize", {}},
        {R"({"osdSort":"01","snapSeparator":7})", "snapSeparator", {}},
        // Bodies without members store the cached record unchanged.
        {"{}", nullptr, {}}, {"[1,2]", nullptr, {}}, {R"("text")", nullptr, {}},
        {R"({"unknown":1,"osd_height":5,"snapshotQuality":1})", nullptr, {}},
    };
    // clang-format on
    for (const auto& member : kRefused) {
        for (const std::string& value : member.second) {
            cases.push_back(
                {"{\"" + std::string(member.first) + "\":" + value + "}", member.first, {}});
        }
    }
    return cases;
}

}  // namespace

TEST_F(AdvancedSettings, each_write_replies_stores_and_publishes_as_its_members_say) {
    const lpr_advanced_t base = base_record(0xA5);
    auto check = [&](const char* body, int32_t len, const std::string& reply,
                     const std::vector<Patch>& changes) {
        lpr_test::put_cached(base);
        lpr_advanced_t expected = base;
        apply(expected, changes);
        lib.expect_write("advanced.set", body, len, reply, expected, LPR_BUS_TOPIC_ADVANCED);
    };
    for (WriteCase& c : write_cases()) {
        SCOPED_TRACE(c.body);
        check(c.body.c_str(), static_cast<int32_t>(c.body.size()),
              c.refused != nullptr ? invalid_reply(c.refused) : std::string(kOk), c.changes);
    }
    const std::string empty = lpr_test::refused("Empty body");
    const std::string unparsable = lpr_test::refused("Invalid JSON");
    const char object[] = R"({"osdFontSize":1})";
    check(nullptr, 5, empty, {});
    check(object, 0, empty, {});
    check(object, -1, empty, {});
    check("{", 1, unparsable, {});
    check("", 1, unparsable, {});
}

TEST_F(AdvancedSettings, the_first_invalid_member_in_examination_order_is_reported) {
    const std::string before = bytes_of(lpr_test::cached<lpr_advanced_t>());
    ASSERT_EQ(kRefused.size(), 18u);
    for (size_t first = 0; first < 18; ++first) {
        std::string body;  // a refused value of each member from first on, last to first
        for (size_t i = 18; i-- > first;) {
            body += (body.empty() ? "{\"" : ",\"") + std::string(kRefused[i].first) +
                    "\":" + kRefused[i].second.front();
        }
        EXPECT_EQ(post(body + "}"), invalid_reply(kRefused[first].first)) << body;
        EXPECT_EQ(bytes_of(lpr_test::cached<lpr_advanced_t>()), before);
    }
}

TEST_F(AdvancedSettings, reads_any_record_and_a_document_sent_back_stores_it_again) {
    lpr_test::put_cached(base_record(0));
    EXPECT_EQ(read_document(), kBaseDocument);
    lpr_advanced_t odd = base_record(0);
    const char spaces[] =
        "\0\0\0x7\x01"
        "0005"
        "08";  // 12 bytes, byte 9 not reported
    apply(odd,
          {Patch{AT(osd_space), std::string(spaces, 12)}, I(snapRes, -1), I(fileTimeFormat, -3),
           I(snapshotResInfo.height, INT32_MIN), RGB(osd_fontcolor_r, 255, 0, 128)});
    std::memset(odd.osd_sort, 'A', sizeof odd.osd_sort);  // no NUL in the array
    std::memset(odd.snap_device_id, 'B', sizeof odd.snap_device_id);
    lpr_test::put_cached(odd);
    // clang-format off
    EXPECT_EQ(read_document(), document(R"("osdSort":")" + std::string(60, 'A') +
        R"(","osdFontSize":2,"osdFontColor":"255:0:128","osdBkgEnable":1,"osdBkgColor":"40:50:60",)"
        R"("osdPosition":3)", "000070000?08234567890", R"("osdPositionName":"North lane",)"
        R"("osdDeviceId":"Unit 7","snapSeparator":1,"snapSort":"01278","snapPosition":"Gate 3",)"
        R"("snapDeviceId":")" + std::string(96, 'B') + R"(","snapshotResolution":4294967295,)"
        R"("fileDateTimeFormat":-3,"osdDateTimeFormat":2,"lineBreakCharNum":3,)"
        R"("snapshotResInfo":{"width":1920,"height":-2147483648})"));
    // clang-format on
    // A document sent back stores the record it came from.
    lpr_advanced_t seed = base_record(0xA5);
    seed.osd_space[3] = 'x';   // comes back as the digit 0
    seed.osd_space[15] = 'x';  // countryRegion: never written
    lpr_test::put_cached(seed);
    EXPECT_EQ(post(read_document()), kOk);
    // "snapSort" 01278 resets the position text; "snapPosition" writes it back over it.
    apply(seed, {B(osd_space[3], '0'), T(snap_position, "Position"), T(snap_position, "Gate 3")});
    EXPECT_EQ(bytes_of(lpr_test::cached<lpr_advanced_t>()), bytes_of(seed));
    // An all-zero record, sent back, is refused at the first empty text in examination order.
    lpr_test::put_cached(lpr_advanced_t{});
    EXPECT_EQ(post(read_document()), invalid_reply("osdPositionName"));
}
