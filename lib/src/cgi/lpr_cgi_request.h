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
#include <cctype>
#include <cstddef>
#include <cstring>

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
 * one key, which find_members relies on (tolower changes no letter of one key into a
 * different letter of another). Tables are checked when they are compiled. */
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

namespace detail {

/* cJSON's comparison of member names: equal when every byte is equal through tolower up
 * to the NUL (tolower maps no byte but NUL to NUL). Names equal byte for byte, as a body
 * written in the keys' own letter case has them, need no tolower. Neither comparison
 * reads name past its NUL: strncmp stops there, and a key holds no NUL, so the NUL
 * differs from the key's byte through tolower too. */
inline bool same_name(const MemberKey& key, const char* name) {
    if (std::strncmp(key.name, name, key.length) == 0) {
        return name[key.length] == '\0';
    }
    for (std::size_t i = 0; i < key.length; ++i) {
        if (std::tolower(static_cast<unsigned char>(key.name[i])) !=
            std::tolower(static_cast<unsigned char>(name[i]))) {
            return false;
        }
    }
    return name[key.length] == '\0';
}

}  // namespace detail

/*
 * found[k] becomes the member of object that cJSON_GetObjectItem(object, keys[k].name)
 * returns, or null; object may be null or not an object (then nothing is found). The
 * keys must be distinct (keys_are_distinct).
 *
 * The members are walked once, in their order, so of two members whose names match one
 * key the first is found. Each member is tried against the keys from the one after the
 * key that the previous member matched: a body that lists its members in the order of
 * the keys finds each at the first try.
 */
template <std::size_t N>
void find_members(const cJSON* object, const std::array<MemberKey, N>& keys,
                  std::array<const cJSON*, N>& found) {
    found.fill(nullptr);
    if (object == nullptr) {
        return;
    }
    std::size_t missing = N;
    std::size_t next = 0;
    for (const cJSON* member = object->child; member != nullptr && missing > 0;
         member = member->next) {
        if (member->string == nullptr) {
            continue;  // an array element: cJSON_GetObjectItem never returns one
        }
        for (std::size_t tried = 0; tried < N; ++tried) {
            const std::size_t k = next + tried < N ? next + tried : next + tried - N;
            if (found[k] == nullptr && detail::same_name(keys[k], member->string)) {
                found[k] = member;
                --missing;
                next = k + 1 < N ? k + 1 : 0;
                break;  // distinct keys: no other key can match this member
            }
        }
    }
}

/* Copies text into a field of size bytes (size >= 1), cut byte-wise to size - 1 bytes
 * and always ended with a NUL; the bytes after the NUL keep their values. */
void copy_text(char* field, std::size_t size, const char* text);

}  // namespace lpr

#endif /* LPR_CGI_REQUEST_H */
