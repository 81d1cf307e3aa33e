#include "strict_refusal.h"

#include <cstring>
#include <new>

#include "json_tree.h"
#include "settings_table.h"
#include "strict_check.h"

namespace webd {
namespace strict {

using tools::attach;
using tools::CJsonPtr;
using tools::print_compact;

std::string refusal_body(const std::string& msg, const std::vector<Problem>& problems) {
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    cJSON_AddNumberToObject(root.get(), "code", 400);
    cJSON_AddStringToObject(root.get(), "msg", msg.c_str());
    cJSON* errors = attach(root.get(), "errors", cJSON_CreateArray());
    for (size_t i = 0; i < problems.size() && i < kMaxListedProblems; ++i) {
        const Problem& p = problems[i];
        cJSON* e = attach(errors, nullptr, cJSON_CreateObject());
        cJSON_AddStringToObject(e, "member", p.member.c_str());
        cJSON_AddStringToObject(e, "reason", p.reason.c_str());
        if (p.received.empty()) {
            cJSON_AddNullToObject(e, "received");
        } else {
            cJSON_AddStringToObject(e, "received", p.received.c_str());
        }
        cJSON_AddStringToObject(e, "allowed", p.allowed.c_str());
        cJSON_AddStringToObject(e, "hint", p.hint.c_str());
    }
    return print_compact(root.get());
}

std::string body_refusal(const char* reason, const std::string& received, const std::string& hint) {
    return refusal_body("Invalid JSON",
                        {{"", reason, received, "one JSON object and nothing after it", hint, ""}});
}

}  // namespace strict

std::string explain_refusal(const std::string& action, const char* body) {
    static const char kPrefix[] = "Invalid parameter: ";
    const settings::Document* doc = settings::document_for_action(action);
    if (doc == nullptr || action != doc->writeAction || body == nullptr) {
        return "";
    }
    tools::CJsonPtr reply(cJSON_Parse(body));
    const cJSON* msg = cJSON_GetObjectItemCaseSensitive(reply.get(), "msg");
    if (!cJSON_IsString(msg) || std::strncmp(msg->valuestring, kPrefix, sizeof kPrefix - 1) != 0) {
        return "";
    }
    const std::string name = msg->valuestring + sizeof kPrefix - 1;
    // The library's names: a top-level key, or a dotted name of a list element's member.
    const settings::Member* rule = nullptr;
    for (size_t i = 0; i < doc->memberCount && rule == nullptr; ++i) {
        const settings::Member& m = doc->members[i];
        if (name == m.name) {
            rule = &m;
        }
        for (size_t f = 0; f < m.fieldCount && rule == nullptr; ++f) {
            if (m.fields[f].errorName != nullptr && name == m.fields[f].errorName) {
                rule = &m.fields[f];
            }
        }
    }
    if (rule == nullptr) {
        return "";
    }
    return strict::refusal_body(
        msg->valuestring, {{name, "refused", "", settings::allowed_text(*rule),
                            std::string(rule->description) +
                                " The first member, in the order the settings library examines "
                                "them, that breaks this rule; nothing was stored.",
                            name}});
}

}  // namespace webd
