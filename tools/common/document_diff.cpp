#include "document_diff.h"

#include <algorithm>

#include "json_tree.h"

namespace settings {
namespace {

using tools::print_compact;

/* The rows of the members inside an object or an array's elements, when the table
 * describes them. */
struct Rows {
    const Member* members = nullptr;
    size_t count = 0;
};

std::string text_of(const cJSON* item) {
    return item != nullptr ? print_compact(item) : std::string();
}

void compare(const std::string& path, const cJSON* before, const cJSON* after, const Member* row,
             std::vector<MemberChange>* changes);

void compare_objects(const std::string& prefix, const cJSON* before, const cJSON* after, Rows rows,
                     std::vector<MemberChange>* changes) {
    // after's members in order, then those only before holds.
    for (const cJSON* item = after->child; item != nullptr; item = item->next) {
        compare(prefix + item->string, cJSON_GetObjectItemCaseSensitive(before, item->string), item,
                find_member(rows.members, rows.count, item->string), changes);
    }
    for (const cJSON* item = before->child; item != nullptr; item = item->next) {
        if (!cJSON_HasObjectItem(after, item->string)) {
            compare(prefix + item->string, item, nullptr,
                    find_member(rows.members, rows.count, item->string), changes);
        }
    }
}

void compare(const std::string& path, const cJSON* before, const cJSON* after, const Member* row,
             std::vector<MemberChange>* changes) {
    const Rows inner = row != nullptr ? Rows{row->fields, row->fieldCount} : Rows{};
    if (cJSON_IsObject(before) && cJSON_IsObject(after)) {
        compare_objects(path + ".", before, after, inner, changes);
        return;
    }
    if (cJSON_IsArray(before) && cJSON_IsArray(after)) {
        const int size = std::max(cJSON_GetArraySize(before), cJSON_GetArraySize(after));
        for (int i = 0; i < size; ++i) {
            const std::string element = path + "[" + std::to_string(i) + "]";
            const cJSON* b = cJSON_GetArrayItem(before, i);
            const cJSON* a = cJSON_GetArrayItem(after, i);
            if (cJSON_IsObject(b) && cJSON_IsObject(a)) {
                compare_objects(element + ".", b, a, inner, changes);
            } else {
                compare(element, b, a, nullptr, changes);
            }
        }
        return;
    }
    std::string was = text_of(before);
    std::string is = text_of(after);
    if (was != is) {
        changes->push_back(
            MemberChange{path, std::move(was), std::move(is), row != nullptr && row->secret});
    }
}

}  // namespace

std::vector<MemberChange> diff_documents(const Document& doc, const cJSON* before,
                                         const cJSON* after) {
    std::vector<MemberChange> changes;
    if (cJSON_IsObject(before) && cJSON_IsObject(after)) {
        compare_objects("", before, after, Rows{doc.members, doc.memberCount}, &changes);
    } else {
        compare("", before, after, nullptr, &changes);
    }
    return changes;
}

std::string masked_value(const std::string& value) {
    if (value.size() > 2 && value.front() == '"') {
        return std::string("\"") + kPasswordPlaceholder + "\"";
    }
    return value;
}

}  // namespace settings
