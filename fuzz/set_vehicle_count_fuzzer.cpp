// Drives the vehicle-count write action with arbitrary bodies and lengths.
//
// After every request: a refusal leaves the cached record byte for byte as it was; a
// success leaves a record whose every field is within the range the write action
// enforces (or still holds what the database loaded), whose fields are those the body
// named (partial update over the previous record), whose alignment gaps are untouched,
// and which the read action reports as exactly the document the record stands for.
#include <cstring>

#include "fuzz_harness.h"

namespace {

using lpr_fuzz::ByteRange;

const std::vector<std::string> kMembers = {
    "enable",        "showInformation", "crossRegionRepeatCounting",
    "countType",     "autoReset",       "resetDayType",
    "resetHour",     "resetMin",        "resetSec",
    "infoTableLeft", "infoTableTop",    "enablePost",
    "postMode",      "attachSnapshot",  "postType",
    "timeHour",      "timeMin",         "timeSec",
    "cameraPort",    "interval",        "httpList.enable"};

const std::vector<ByteRange> kGaps = {{17, 3}, {21, 3}, {37, 3}, {3593, 3}};

VEHICLE_COUNT_SETTING s_initial;

// The numeric members in the order the write action takes them, with their range.
struct Number {
    const char* key;
    long long (*get)(const VEHICLE_COUNT_SETTING&);
    long long min;
    long long max;
};
#define NUM(key, field, min, max)                                                          \
    {                                                                                      \
        key, [](const VEHICLE_COUNT_SETTING& v) -> long long { return v.field; }, min, max \
    }
const Number kNumbers[] = {
    NUM("enable", countInfo.enable, 0, 1),
    NUM("showInformation", countInfo.showInfo, 0, 1),
    NUM("crossRegionRepeatCounting", countInfo.crossRegion, 0, 1),
    NUM("countType", countInfo.countType, 0, 1),
    NUM("autoReset", countInfo.autoReset, 0, 1),
    NUM("resetDayType", countInfo.resetDayType, 0, 7),
    NUM("resetHour", countInfo.resetHour, 0, 23),
    NUM("resetMin", countInfo.resetMin, 0, 59),
    NUM("resetSec", countInfo.resetSec, 0, 59),
    NUM("infoTableLeft", countInfo.infoTableLeft, 0, 100),
    NUM("infoTableTop", countInfo.infoTableTop, 0, 100),
    NUM("enablePost", postSetting.enable, 0, 1),
    NUM("postMode", postSetting.postMode, 0, 1),
    NUM("attachSnapshot", postSetting.attachSnapshot, 0, 1),
    NUM("postType", postSetting.postType, 0, 1),
    NUM("timeHour", postSetting.timeHour, 0, 23),
    NUM("timeMin", postSetting.timeMin, 0, 59),
    NUM("timeSec", postSetting.timeSec, 0, 59),
    NUM("cameraPort", postSetting.cameraPort, 1, 65535),
    NUM("interval", postSetting.postInterval, 0, 1),
};

std::string url_of(const VEHICLE_COUNT_SETTING& v, int i) {
    return lpr_fuzz::text_of(v.postSetting.url[i], sizeof v.postSetting.url[i], "url");
}
std::string user_of(const VEHICLE_COUNT_SETTING& v, int i) {
    return lpr_fuzz::text_of(v.postSetting.user[i], sizeof v.postSetting.user[i], "user");
}
std::string password_of(const VEHICLE_COUNT_SETTING& v, int i) {
    return lpr_fuzz::text_of(v.postSetting.password[i], sizeof v.postSetting.password[i],
                             "password");
}

// The document that the read action makes of a record.
lpr::CJsonPtr document_of(const VEHICLE_COUNT_SETTING& v) {
    const VEHICLE_POST_SETTING& p = v.postSetting;
    lpr::CJsonPtr doc = lpr::create_object();
    cJSON* o = doc.get();
    for (const Number& n : kNumbers) {  // the document's order
        cJSON_AddNumberToObject(o, n.key, static_cast<double>(n.get(v)));
    }
    cJSON_AddStringToObject(o, "httpUrl", url_of(v, 0).c_str());
    cJSON_AddStringToObject(o, "userName", user_of(v, 0).c_str());
    cJSON_AddStringToObject(o, "password", password_of(v, 0).c_str());
    cJSON* list = cJSON_CreateArray();
    for (int i = 0; i < LPR_VEHICLE_POST_SLOTS; ++i) {
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddNumberToObject(entry, "index", i);
        cJSON_AddNumberToObject(entry, "enable", p.httpEnable[i]);
        cJSON_AddStringToObject(entry, "url", url_of(v, i).c_str());
        cJSON_AddStringToObject(entry, "user", user_of(v, i).c_str());
        cJSON_AddStringToObject(entry, "password", password_of(v, i).c_str());
        cJSON_AddItemToArray(list, entry);
    }
    cJSON_AddItemToObject(o, "httpList", list);
    return doc;
}

void check_valid(const VEHICLE_COUNT_SETTING& v) {
    for (const Number& n : kNumbers) {
        const long long value = n.get(v);
        FUZZ_CHECK((value >= n.min && value <= n.max) || value == n.get(s_initial),
                   std::string(n.key) + " = " + std::to_string(value));
    }
    for (int i = 0; i < LPR_VEHICLE_POST_SLOTS; ++i) {
        FUZZ_CHECK(v.postSetting.httpEnable[i] <= 1 ||
                       v.postSetting.httpEnable[i] == s_initial.postSetting.httpEnable[i],
                   "httpEnable of slot " + std::to_string(i));
        url_of(v, i);
        user_of(v, i);
        password_of(v, i);
    }
    lpr_fuzz::check_same_bytes(&s_initial, &v, kGaps, "VEHICLE_COUNT_SETTING");
}

// A text field after a success: the first size - 1 bytes of the member that wrote it,
// or the bytes it had before when no member did.
void check_text(const char* after, const char* before, size_t size, const cJSON* source,
                const std::string& what) {
    if (source == nullptr) {
        FUZZ_CHECK(std::memcmp(after, before, size) == 0, what + " changed without a member");
        return;
    }
    const std::string want = std::string(source->valuestring).substr(0, size - 1);
    FUZZ_CHECK(lpr_fuzz::text_of(after, size, what.c_str()) == want, what + " not stored");
}

const cJSON* string_member(const cJSON* object, const char* key) {
    const cJSON* item = cJSON_GetObjectItem(object, key);
    return cJSON_IsString(item) ? item : nullptr;
}

// The record after a success is the previous record with the body's members applied.
void check_applied(const char* body, const VEHICLE_COUNT_SETTING& before,
                   const VEHICLE_COUNT_SETTING& after) {
    lpr::CJsonPtr root = lpr::parse_json(body);
    for (const Number& n : kNumbers) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), n.key);
        const long long want = cJSON_IsNumber(item) ? item->valueint : n.get(before);
        FUZZ_CHECK(n.get(after) == want, std::string(n.key) + " = " + std::to_string(n.get(after)) +
                                             ", expected " + std::to_string(want));
    }
    const cJSON* list = cJSON_GetObjectItem(root.get(), "httpList");
    const int listSize = cJSON_IsArray(list) ? cJSON_GetArraySize(list) : 0;
    const VEHICLE_POST_SETTING& a = after.postSetting;
    const VEHICLE_POST_SETTING& b = before.postSetting;
    for (int i = 0; i < LPR_VEHICLE_POST_SLOTS; ++i) {
        const cJSON* element = i < listSize ? cJSON_GetArrayItem(list, i) : nullptr;
        const cJSON* enable = cJSON_GetObjectItem(element, "enable");
        const cJSON* url = string_member(element, "url");
        const cJSON* user = string_member(element, "user");
        const cJSON* password = string_member(element, "password");
        int wantEnable = b.httpEnable[i];
        if (i == 0) {
            const cJSON* httpUrl = string_member(root.get(), "httpUrl");
            wantEnable = httpUrl != nullptr ? 1 : wantEnable;
            url = url != nullptr ? url : httpUrl;
            user = user != nullptr ? user : string_member(root.get(), "userName");
            password = password != nullptr ? password : string_member(root.get(), "password");
        }
        wantEnable = cJSON_IsNumber(enable) ? enable->valueint : wantEnable;
        const std::string slot = " of slot " + std::to_string(i);
        FUZZ_CHECK(a.httpEnable[i] == wantEnable, "httpEnable" + slot);
        check_text(a.url[i], b.url[i], sizeof a.url[i], url, "url" + slot);
        check_text(a.user[i], b.user[i], sizeof a.user[i], user, "user" + slot);
        check_text(a.password[i], b.password[i], sizeof a.password[i], password, "password" + slot);
    }
}

}  // namespace

LPR_FUZZ_WRITE_TARGET(VEHICLE_COUNT_SETTING, get_vehicle_count_handler, set_vehicle_count_handler)
