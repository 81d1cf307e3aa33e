/*
 * cJSON trees in the programs: owned by CJsonPtr, so that a tree is freed once on every
 * way out, and printed compactly as the settings library prints.
 */
#ifndef LPR_TOOLS_JSON_TREE_H
#define LPR_TOOLS_JSON_TREE_H

#include <cjson/cJSON.h>

#include <new>
#include <string>

#include "c_handle.h"

namespace tools {

using CJsonPtr = CHandle<cJSON, cJSON_Delete>;

/* The compact text of item; std::bad_alloc when the printer runs out of memory. */
inline std::string print_compact(const cJSON* item) {
    CHandle<char, cJSON_free> text(cJSON_PrintUnformatted(item));
    if (!text) {
        throw std::bad_alloc();
    }
    return text.get();
}

/* item added to the object parent as name, or to the array parent when name is null;
 * the item is freed and std::bad_alloc thrown when either fails. */
inline cJSON* attach(cJSON* parent, const char* name, cJSON* item) {
    bool added = item != nullptr && (name != nullptr ? cJSON_AddItemToObject(parent, name, item)
                                                     : cJSON_AddItemToArray(parent, item));
    if (!added) {
        cJSON_Delete(item);
        throw std::bad_alloc();
    }
    return item;
}

}  // namespace tools

#endif /* LPR_TOOLS_JSON_TREE_H */
