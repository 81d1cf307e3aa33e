// Drives the advanced-settings write action with arbitrary bodies and lengths.
//
// After every request: a refusal leaves the cached record byte for byte as it was; a
// success leaves a record whose every field is within the range the write action
// enforces (or still holds what the database loaded), whose numeric members hold the
// values of the body, whose unnamed bytes are untouched, and which the read action
// reports as exactly the document the record stands for.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "fuzz_harness.h"
#include "lpr_osd_fields.h"

namespace {

using lpr_fuzz::ByteRange;

const std::vector<std::string> kMembers = {"osdSort",
                                           "osdFontSize",
                                           "osdFontColor",
                                           "osdBkgEnable",
                                           "osdBkgColor",
                                           "osdPosition",
                                           "osdSpaceList",
                                           "osdPositionName",
                                           "osdDeviceId",
                                           "lineBreakCharNum",
                                           "snapSeparator",
                                           "snapSort",
                                           "snapPosition",
                                           "snapDeviceId",
                                           "osdDateTimeFormat",
                                           "fileDateTimeFormat",
                                           "snapshotResolution",
                                           "snapshotResInfo"};

// Bytes that no member names: osd_height, the spacing of lineBreak, countryRegion and
// vehicleBrand, the unused tail of osd_space, snapshotQuality and the alignment gaps.
const std::vector<ByteRange> kUnnamed = {{262, 2},       {264, 4}, {328 + 9, 1}, {328 + 15, 2},
                                         {328 + 21, 39}, {593, 3}, {601, 3},     {604, 4}};

lpr_advanced_t s_initial;

std::string colour(uint8_t r, uint8_t g, uint8_t b) {
    char text[16];
    std::snprintf(text, sizeof text, "%d:%d:%d", r, g, b);
    return text;
}

#define TEXT(rec, field) lpr_fuzz::text_of((rec).field, sizeof(rec).field, #field)

// The document that the read action makes of a record.
lpr::CJsonPtr document_of(const lpr_advanced_t& r) {
    lpr::CJsonPtr doc = lpr::create_object();
    cJSON* o = doc.get();
    cJSON_AddStringToObject(o, "osdSort", TEXT(r, osd_sort).c_str());
    cJSON_AddNumberToObject(o, "osdFontSize", r.osd_font_size);
    cJSON_AddStringToObject(
        o, "osdFontColor", colour(r.osd_fontcolor_r, r.osd_fontcolor_g, r.osd_fontcolor_b).c_str());
    cJSON_AddNumberToObject(o, "osdBkgEnable", r.osd_bkgcolor_enable);
    cJSON_AddStringToObject(o, "osdBkgColor",
                            colour(r.osd_bkgcolor_r, r.osd_bkgcolor_g, r.osd_bkgcolor_b).c_str());
    cJSON_AddNumberToObject(o, "osdPosition", r.osd_show_pos);
    cJSON* list = cJSON_CreateArray();
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        if (i == lpr::kOsdLineBreak) {
            continue;
        }
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddStringToObject(entry, "fileName", lpr::kOsdFieldNames[i]);
        const char c = r.osd_space[i];
        cJSON_AddNumberToObject(entry, "spaces", c >= '0' && c <= '9' ? c - '0' : 0);
        cJSON_AddItemToArray(list, entry);
    }
    cJSON_AddItemToObject(o, "osdSpaceList", list);
    cJSON_AddStringToObject(o, "osdPositionName", TEXT(r, osd_position).c_str());
    cJSON_AddStringToObject(o, "osdDeviceId", TEXT(r, osd_device_id).c_str());
    cJSON_AddNumberToObject(o, "snapSeparator", r.snap_separator);
    cJSON_AddStringToObject(o, "snapSort", TEXT(r, snap_sort).c_str());
    cJSON_AddStringToObject(o, "snapPosition", TEXT(r, snap_position).c_str());
    cJSON_AddStringToObject(o, "snapDeviceId", TEXT(r, snap_device_id).c_str());
    cJSON_AddNumberToObject(o, "snapshotResolution", static_cast<uint32_t>(r.snapRes));
    cJSON_AddNumberToObject(o, "fileDateTimeFormat", r.fileTimeFormat);
    cJSON_AddNumberToObject(o, "osdDateTimeFormat", r.osdTimeFormat);
    cJSON_AddNumberToObject(o, "lineBreakCharNum", r.osd_space_num);
    cJSON* res = cJSON_CreateObject();
    cJSON_AddNumberToObject(res, "width", r.snapshotResInfo.width);
    cJSON_AddNumberToObject(res, "height", r.snapshotResInfo.height);
    cJSON_AddItemToObject(o, "snapshotResInfo", res);
    return doc;
}

// A field is valid when within the write range or still as the database loaded it.
#define RANGE(field, max)                                                             \
    FUZZ_CHECK(static_cast<uint32_t>(r.field) <= (max) || r.field == s_initial.field, \
               #field " = " + std::to_string(static_cast<long long>(r.field)))
#define NON_EMPTY(field) \
    FUZZ_CHECK(!TEXT(r, field).empty() || TEXT(s_initial, field).empty(), #field " empty")
#define ORDER(field, lineBreak, empty)                                    \
    FUZZ_CHECK(lpr_fuzz::valid_order(TEXT(r, field), lineBreak, empty) || \
                   TEXT(r, field) == TEXT(s_initial, field),              \
               #field " = " + TEXT(r, field))

void check_valid(const lpr_advanced_t& r) {
    RANGE(snap_separator, 2U);
    RANGE(osd_font_size, 5U);
    RANGE(osd_bkgcolor_enable, 1U);
    RANGE(osd_show_pos, 4U);
    RANGE(snapRes, 4U);
    RANGE(osd_space_num, 6U);
    RANGE(fileTimeFormat, 2U);
    RANGE(osdTimeFormat, 2U);
    ORDER(osd_sort, true, true);
    ORDER(snap_sort, false, false);
    NON_EMPTY(osd_position);
    NON_EMPTY(osd_device_id);
    NON_EMPTY(snap_position);
    NON_EMPTY(snap_device_id);
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        const char c = r.osd_space[i];
        FUZZ_CHECK((c >= '0' && c <= '9') || c == s_initial.osd_space[i],
                   "osd_space byte " + std::to_string(i));
    }
    lpr_fuzz::check_same_bytes(&s_initial, &r, kUnnamed, "lpr_advanced_t");
}

// After a success, each numeric member of the body holds its integer value in the
// record, and each numeric field that the body does not name keeps its value.
void check_applied(const char* body, const lpr_advanced_t& before, const lpr_advanced_t& after) {
    lpr::CJsonPtr root = lpr::parse_json(body);
    const struct {
        const char* key;
        long long (*get)(const lpr_advanced_t&);
    } numbers[] = {
#define NUM(key, field)                                                   \
    {                                                                     \
        key, [](const lpr_advanced_t& a) -> long long { return a.field; } \
    }
        NUM("osdFontSize", osd_font_size),         NUM("osdBkgEnable", osd_bkgcolor_enable),
        NUM("osdPosition", osd_show_pos),          NUM("lineBreakCharNum", osd_space_num),
        NUM("snapSeparator", snap_separator),      NUM("osdDateTimeFormat", osdTimeFormat),
        NUM("fileDateTimeFormat", fileTimeFormat), NUM("snapshotResolution", snapRes),
#undef NUM
    };
    for (const auto& n : numbers) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), n.key);
        const long long want = cJSON_IsNumber(item) ? item->valueint : n.get(before);
        FUZZ_CHECK(n.get(after) == want, std::string(n.key) + " = " + std::to_string(n.get(after)) +
                                             ", expected " + std::to_string(want));
    }
}

}  // namespace

LPR_FUZZ_WRITE_TARGET(lpr_advanced_t, get_lpr_advanced_handler, set_lpr_advanced_handler)
