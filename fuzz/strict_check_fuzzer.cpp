// Drives lpr-webd's strict check of a write body with arbitrary bytes and hands what it
// lets through to the real library's write action (LPR_FUZZ_ACTION: set_vehicle_count
// or set_lpr_advanced). Invariants: a body the check passes is one the library accepts
// (200), so the settings table never asks less than the library; a body it passes,
// re-printed or not, passes again unchanged; a refused body is left as it came, and the
// refusal is a 400 envelope in JSON naming at least one problem.
//
// Input layout as for the other targets: byte 0 is not part of the body (the seeds are
// those of the library's own targets: a blank, then JSON).
#include <cstring>

#include "fuzz_harness.h"
#include "strict_check.h"

namespace {

constexpr const char kAction[] = LPR_FUZZ_ACTION;

bool vehicle_count() {
    return std::strcmp(kAction, "set_vehicle_count") == 0;
}

void check_refusal(const std::string& refusal) {
    lpr::CJsonPtr reply = lpr::parse_json(refusal.c_str());
    const cJSON* code = cJSON_GetObjectItemCaseSensitive(reply.get(), "code");
    const cJSON* msg = cJSON_GetObjectItemCaseSensitive(reply.get(), "msg");
    const cJSON* errors = cJSON_GetObjectItemCaseSensitive(reply.get(), "errors");
    FUZZ_CHECK(cJSON_IsNumber(code) && code->valueint == 400, refusal);
    FUZZ_CHECK(
        cJSON_IsString(msg) && (std::strcmp(msg->valuestring, "Invalid JSON") == 0 ||
                                std::strncmp(msg->valuestring, "Invalid parameter: ", 19) == 0),
        refusal);
    FUZZ_CHECK(cJSON_IsArray(errors) && cJSON_GetArraySize(errors) >= 1, refusal);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started =
        (vehicle_count() ? lpr_fuzz::start(get_vehicle_count_handler, set_vehicle_count_handler)
                         : lpr_fuzz::start(get_lpr_advanced_handler, set_lpr_advanced_handler),
         true);
    (void)started;
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string sent(size > 0 ? bytes + 1 : bytes, bytes + size);
    std::string body = sent;
    std::string refusal;
    if (!webd::strict_check_write(kAction, &body, &refusal)) {
        FUZZ_CHECK(body == sent, "a refused body was changed");
        check_refusal(refusal);
        return 0;
    }
    if (body.empty()) {
        return 0;  // the library answers "Empty body" itself
    }
    std::string again = body;
    FUZZ_CHECK(webd::strict_check_write(kAction, &again, &refusal), body + " -> " + refusal);
    FUZZ_CHECK(again == body, body + " -> " + again);
    lpr_fuzz::Reply reply = lpr_fuzz::call(lpr_fuzz::kWriteAction, QZ_HTTP_POST, &body[0],
                                           static_cast<int32_t>(body.size()));
    FUZZ_CHECK(reply.code == 200, body + " -> " + reply.body);
    return 0;
}
