/*
 * The member rules of strict mode: what a value of a member of the settings table must be
 * (settings_table.h), checked on the value alone. Where a value sits (its element, other
 * elements, other members) is the checker's part (strict_check.cpp).
 */
#ifndef LPR_WEBD_STRICT_RULES_H
#define LPR_WEBD_STRICT_RULES_H

#include <algorithm>
#include <cstddef>
#include <string>

#include "settings_table.h"

namespace webd {
namespace strict {

/* The JSON type of a value that is not an object or an array. */
enum class Scalar { kNull, kBool, kNumber, kString };

/* What a rule found wrong with a value; reason null: nothing. */
struct Finding {
    const char* reason = nullptr; /* one of the fixed reasons listed in docs/api.md */
    std::string received;         /* the value as shown in the refusal */
    std::string hint;
    std::string allowed; /* empty: what the member allows (settings::allowed_text) */
};

/* A value of an integer member, sent as type with the text text (a number's as it was
 * sent). position: the index of the element the member is in, -1 outside a list.
 * *rewrite is set when an on/off switch came as false or true, which the library would
 * skip: the body is then re-printed with 0 or 1. */
Finding check_integer(const settings::Member& m, Scalar type, const char* text, size_t size,
                      long position, bool* rewrite);

/* A text member's bytes: UTF-8, within the member's byte limit, without a NUL. */
Finding check_text_bytes(const settings::Member& m, const char* text, size_t size);

/* A text member's form (settings::Form), for a text that passed check_text_bytes. */
Finding check_text_form(const settings::Member& m, const char* text, size_t size);

/* Edits (insert, delete, replace, swap of neighbours) from a to b, letter case ignored. */
size_t distance(const std::string& a, const std::string& b);

/* The name among candidates closest to name, when it is close enough to be a slip
 * (at most a third of its letters, at least 2), else null. */
template <typename Name>
const char* nearest(const std::string& name, const Name* candidates, size_t count,
                    const char* Name::*field) {
    const char* best = nullptr;
    size_t bestDistance = std::max<size_t>(2, name.size() / 3) + 1;
    for (size_t i = 0; i < count; ++i) {
        size_t d = distance(name, candidates[i].*field);
        if (d < bestDistance) {
            best = candidates[i].*field;
            bestDistance = d;
        }
    }
    return best;
}

}  // namespace strict
}  // namespace webd

#endif /* LPR_WEBD_STRICT_RULES_H */
