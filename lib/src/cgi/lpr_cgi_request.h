/*
 * Reading the members of a write request into a record, shared by the write actions.
 *
 * find_members finds a whole table of keys in one walk over an object's members, with the
 * result that cJSON_GetObjectItem gives for each key alone: the first member whose name
 * equals the key when ASCII letter case is ignored, compared through the C library's
 * tolower as cJSON compares. copy_text stores a request text into a fixed array as
 * snprintf(field, size, "%s", text) does, byte for byte.
 */
#ifndef LPR_CGI_REQUEST_H
#define LPR_CGI_REQUEST_H

#include <cjson/cJSON.h>

#include <array>
#include <cstddef>

namespace lpr {

/* A member name and its length in bytes, both known when the tables are compiled. */
struct MemberKey {
    const char* name;
    std::size_t length;
};

constexpr MemberKey member_key(const char* name) {
    std::size_t length = 0;
    while (name[length] != '\0') {
        ++length;
    }
    return {name, length};
}

/* Whether two keys are the same name when ASCII letter case is ignored. */
constexpr bool same_name_ignoring_case(const MemberKey& a, const MemberKey& b) {
    if (a.length != b.length) {
        return false;
    }
    for (std::size_t i = 0; i < a.length; ++i) {
        char x = a.name[i];
        char y = b.name[i];
        x = x >= 'A' && x <= 'Z' ? static_cast<char>(x - 'A' + 'a') : x;
        y = y >= 'A' && y <= 'Z' ? static_cast<char>(y - 'A' + 'a') : y;
        if (x != y) {
            return false;
        }
    }
    return true;
}

/* Whether no two keys of a table name the same member: then a member matches at most
 * one key, which find_members relies on. Tables are checked when they are compiled. */
template <std::size_t N>
constexpr bool keys_are_distinct(const std::array<MemberKey, N>& keys) {
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) {
            if (same_name_ignoring_case(keys[i], keys[j])) {
                return false;
            }
        }
    }
    return true;
}

/*
 * found[k] becomes the member of object that cJSON_GetObjectItem(object, keys[k].name)
 * returns, or null; object may be null or not an object (then nothing is found). The
 * keys must be distinct (keys_are_distinct). A body that lists its members in the
 * table's order costs one comparison per member.
 */
void find_members(const cJSON* object, const MemberKey* keys, std::size_t count,
                  const cJSON** found);

template <std::size_t N>
void find_members(const cJSON* object, const std::array<MemberKey, N>& keys,
                  std::array<const cJSON*, N>& found) {
    find_members(object, keys.data(), N, found.data());
}

/* Copies text into a field of size bytes (size >= 1), cut byte-wise to size - 1 bytes
 * and always ended with a NUL; the bytes after the NUL keep their values. */
void copy_text(char* field, std::size_t size, const char* text);

}  // namespace lpr

#endif /* LPR_CGI_REQUEST_H */
