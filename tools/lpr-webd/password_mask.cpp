#include "password_mask.h"

#include <new>

#include "json_tree.h"
#include "settings_table.h"

namespace webd {
namespace {

using settings::Member;

using tools::CJsonPtr;

bool holds_secret(const Member* members, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (members[i].secret || holds_secret(members[i].fields, members[i].fieldCount)) {
            return true;
        }
    }
    return false;
}

/* Replaces the passwords among the members of object, and in the elements of its
 * lists, as the table's rows say. */
void mask(cJSON* object, const Member* members, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Member& m = members[i];
        cJSON* item = cJSON_GetObjectItemCaseSensitive(object, m.name);
        if (m.secret && cJSON_IsString(item) && item->valuestring[0] != '\0') {
            if (cJSON_SetValuestring(item, settings::kPasswordPlaceholder) == nullptr) {
                throw std::bad_alloc();
            }
        } else if (m.fieldCount > 0 && cJSON_IsArray(item)) {
            cJSON* element = nullptr;
            cJSON_ArrayForEach(element, item) {
                if (cJSON_IsObject(element)) {
                    mask(element, m.fields, m.fieldCount);
                }
            }
        } else if (m.fieldCount > 0 && cJSON_IsObject(item)) {
            mask(item, m.fields, m.fieldCount);
        }
    }
}

}  // namespace

std::string mask_passwords(const std::string& action, const char* body) {
    const settings::Document* doc = settings::document_for_action(action);
    if (doc == nullptr || action != doc->readAction || body == nullptr ||
        !holds_secret(doc->members, doc->memberCount)) {
        return "";
    }
    CJsonPtr root(cJSON_Parse(body));
    if (!cJSON_IsObject(root.get())) {
        return "";
    }
    mask(root.get(), doc->members, doc->memberCount);
    // The library prints unformatted with cJSON too: only the passwords differ.
    return tools::print_compact(root.get());
}

}  // namespace webd
