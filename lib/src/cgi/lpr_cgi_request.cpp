#include "lpr_cgi_request.h"

#include <cctype>
#include <cstring>

namespace lpr {

namespace {

/* cJSON's comparison of member names: equal when every byte is equal through tolower
 * (names of equal length; tolower maps no byte but NUL to NUL). Equal bytes need no
 * tolower, which spares it for a body written in the keys' own letter case. */
bool same_name(const MemberKey& key, const char* name) {
    if (std::memcmp(key.name, name, key.length) == 0) {
        return true;
    }
    for (std::size_t i = 0; i < key.length; ++i) {
        if (std::tolower(static_cast<unsigned char>(key.name[i])) !=
            std::tolower(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

void find_members(const cJSON* object, const MemberKey* keys, std::size_t count,
                  const cJSON** found) {
    for (std::size_t k = 0; k < count; ++k) {
        found[k] = nullptr;
    }
    if (object == nullptr) {
        return;
    }
    // The members are walked in their order, so the first of two members whose names
    // match one key is the one found. Each member is tried against the keys starting
    // after the key that the previous member matched: a body in the table's order finds
    // every key at the first try.
    std::size_t missing = count;
    std::size_t next = 0;
    for (const cJSON* member = object->child; member != nullptr && missing > 0;
         member = member->next) {
        if (member->string == nullptr) {
            continue;  // an array element: cJSON_GetObjectItem never returns one
        }
        const std::size_t length = std::strlen(member->string);
        for (std::size_t tried = 0; tried < count; ++tried) {
            const std::size_t k = next + tried < count ? next + tried : next + tried - count;
            if (found[k] == nullptr && keys[k].length == length &&
                same_name(keys[k], member->string)) {
                found[k] = member;
                --missing;
                next = k + 1 < count ? k + 1 : 0;
                break;  // distinct keys: no other key can match this member
            }
        }
    }
}

void copy_text(char* field, std::size_t size, const char* text) {
    const std::size_t length = strnlen(text, size - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace lpr
