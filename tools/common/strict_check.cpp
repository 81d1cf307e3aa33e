#include "strict_check.h"

#include <cstring>
#include <new>

#include "json_tree.h"
#include "settings_table.h"
#include "strict_reader.h"
#include "strict_refusal.h"
#include "strict_text.h"

// After strict_reader.h, which sets RapidJSON up.
#include <rapidjson/error/en.h>

namespace webd {
namespace {

using settings::Member;

using strict::body_refusal;
using strict::excerpt;
using strict::kMaxDepth;
using tools::CJsonPtr;
using tools::print_compact;

/* The body with the switches sent as false/true made 0 and 1 and the passwords sent as
 * the placeholder left out, printed as cJSON prints; the rest keeps its meaning. Only
 * for a body that passed the check. */
void rewrite_members(cJSON* object, const Member* members, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Member& m = members[i];
        cJSON* item = cJSON_GetObjectItemCaseSensitive(object, m.name);
        if (m.isSwitch && cJSON_IsBool(item)) {
            const double value = cJSON_IsTrue(item) ? 1 : 0;
            item->type = cJSON_Number;  // in place: the member keeps its key and position
            cJSON_SetNumberHelper(item, value);
        } else if (m.secret && cJSON_IsString(item) &&
                   std::strcmp(item->valuestring, settings::kPasswordPlaceholder) == 0) {
            cJSON_Delete(cJSON_DetachItemViaPointer(object, item));
        } else if (m.fieldCount > 0 && (cJSON_IsArray(item) || cJSON_IsObject(item))) {
            if (cJSON_IsObject(item)) {
                rewrite_members(item, m.fields, m.fieldCount);
                continue;
            }
            cJSON* element = nullptr;
            cJSON_ArrayForEach(element, item) {
                rewrite_members(element, m.fields, m.fieldCount);
            }
        }
    }
}

bool json_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

bool strict_check_write(const std::string& action, std::string* body, std::string* refusal) {
    const settings::Document* doc = settings::document_for_action(action);
    if (doc == nullptr || action != doc->writeAction || body->empty()) {
        return true;
    }
    // The library skips a UTF-8 byte order mark, as cJSON does.
    const size_t bom = body->compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const char* text = body->data() + bom;
    // Parsed in place, in a copy: the texts are decoded where they lie, without copies,
    // and the body stays as it came for the library and for the excerpts of values.
    // RapidJSON's SSE2 scans load whole aligned 16-byte blocks, up to 15 bytes beyond
    // the NUL that ends the text: those bytes must belong to the buffer.
    std::string copy(text, body->size() - bom);
    copy.append(16, '\0');
    rapidjson::InsituStringStream in(&copy[0]);
    strict::Checker checker(*doc, text, in);
    rapidjson::Reader reader;
    // Numbers as their text: the check tells a fraction and a 64-bit number apart itself.
    // Stop after the value: what follows is looked at below, up to the body's length (the
    // reader, like the library, would stop at a NUL).
    const rapidjson::ParseResult parsed =
        reader.Parse<rapidjson::kParseInsituFlag | rapidjson::kParseStopWhenDoneFlag |
                     rapidjson::kParseNumbersAsStringsFlag>(in, checker);
    if (checker.notObject) {
        *refusal = body_refusal("not an object", excerpt(*body),
                                "send the members to change inside { }; the settings library "
                                "would change nothing and answer 200");
        return false;
    }
    if (checker.tooDeep) {
        *refusal = body_refusal("nested too deeply",
                                "\"" + excerpt(body->substr(bom + in.Tell() - 1)) + "\"",
                                "the settings documents nest objects and arrays three levels "
                                "deep; this body nests more than " +
                                    std::to_string(kMaxDepth));
        return false;
    }
    if (parsed.IsError()) {
        const size_t at = bom + parsed.Offset();
        const bool ended = at >= body->size();
        *refusal = body_refusal(
            "syntax error",
            "\"" +
                excerpt(ended ? body->substr(body->size() > 20 ? body->size() - 20 : 0)
                              : body->substr(at)) +
                "\"",
            ended ? "the body ends before the JSON is complete; check for a missing } or ]"
                  : "the body is not JSON at byte " + std::to_string(at) + ": " +
                        rapidjson::GetParseError_En(parsed.Code()));
        return false;
    }
    size_t rest = bom + in.Tell();
    while (rest < body->size() && json_blank((*body)[rest])) {
        ++rest;
    }
    if (rest < body->size()) {
        *refusal =
            body_refusal("trailing data", "\"" + excerpt(body->substr(rest)) + "\"",
                         "remove everything after the JSON object (from byte " +
                             std::to_string(rest) + "); the settings library would ignore it");
        return false;
    }
    if (!checker.problems.empty()) {
        *refusal = strict::refusal_body("Invalid parameter: " + checker.problems.front().name,
                                        checker.problems);
        return false;
    }
    if (checker.rewrite) {
        CJsonPtr root(cJSON_ParseWithLength(body->data(), body->size()));
        if (!root) {
            throw std::bad_alloc();  // it parsed above: only memory can fail here
        }
        rewrite_members(root.get(), doc->members, doc->memberCount);
        *body = print_compact(root.get());
    }
    return true;
}

}  // namespace webd
