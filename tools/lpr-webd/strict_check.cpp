#include "strict_check.h"

#include <strings.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <numeric>
#include <vector>

#include "json_tree.h"
#include "settings_table.h"

namespace webd {
namespace {

using settings::Form;
using settings::Member;
using settings::Type;

using tools::attach;
using tools::CJsonPtr;
using tools::print_compact;

/* Longest excerpt of a received value shown in a refusal, in bytes. */
constexpr size_t kShownBytes = 40;

/* ---- UTF-8 ---- */

/* Bytes of the well-formed UTF-8 character at p (no overlong forms, no surrogates,
 * nothing above U+10FFFF), or 0 when none starts there. */
size_t utf8_char(const unsigned char* p, const unsigned char* end) {
    if (p[0] < 0x80) {
        return 1;
    }
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        lo = p[0] == 0xE0 ? 0xA0 : 0x80;
        hi = p[0] == 0xED ? 0x9F : 0xBF;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        lo = p[0] == 0xF0 ? 0x90 : 0x80;
        hi = p[0] == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < n || p[1] < lo || p[1] > hi) {
        return 0;
    }
    for (size_t i = 2; i < n; ++i) {
        if (p[i] < 0x80 || p[i] > 0xBF) {
            return 0;
        }
    }
    return n;
}

/* Offset of the first byte of text that starts no UTF-8 character, or npos. */
size_t invalid_utf8_at(const char* text, size_t size) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const auto* end = p + size;
    for (const auto* q = p; q < end;) {
        if (*q < 0x80) {
            ++q;
            continue;
        }
        size_t n = utf8_char(q, end);
        if (n == 0) {
            return static_cast<size_t>(q - p);
        }
        q += n;
    }
    return std::string::npos;
}

/* text as valid UTF-8 (a byte that starts no character becomes U+FFFD), cut to at most
 * limit bytes between characters, "…" appended when cut. */
std::string excerpt(const std::string& text, size_t limit = kShownBytes) {
    std::string out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        size_t n = utf8_char(p, end);
        const char* piece = n ? reinterpret_cast<const char*>(p) : "\xEF\xBF\xBD";
        size_t size = n ? n : 3;
        if (out.size() + size > limit) {
            return out + "\xE2\x80\xA6";
        }
        out.append(piece, size);
        p += n ? n : 1;
    }
    return out;
}

/* A received value as JSON text, shortened: the string "5" shows as "5" in quotes,
 * the number 5 without, so that the two can be told apart. */
std::string shown(const cJSON* item) {
    if (!cJSON_IsString(item)) {
        return excerpt(print_compact(item));
    }
    std::string text = item->valuestring;
    std::string shortened = excerpt(text);
    CJsonPtr literal(cJSON_CreateString(shortened.c_str()));
    if (!literal) {
        throw std::bad_alloc();
    }
    std::string out = print_compact(literal.get());
    if (shortened.size() != text.size()) {
        out += " (" + std::to_string(text.size()) + " bytes)";
    }
    return out;
}

/* ---- Nearest names ---- */

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/* Edits (insert, delete, replace, swap of neighbours) from a to b, letter case
 * ignored. */
size_t distance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                lower(a[i - 2]) == lower(b[j - 1])) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

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

/* ---- Field codes of the order strings ---- */

/* Index of a field code in the overlay field table (0-9, a-k), or -1. */
int field_index(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'k') {
        return c - 'a' + 10;
    }
    return -1;
}

/* "" when an order string is well formed, else what is wrong with it. */
std::string order_problem(const std::string& order, bool fileName) {
    if (fileName && order.empty()) {
        return "name at least one field";
    }
    bool seen[21] = {};
    for (char c : order) {
        int index = field_index(c);
        std::string code(1, c);
        if (index < 0) {
            if (c >= 'A' && c <= 'K') {
                return "field codes are lower case: write " + std::string(1, lower(c)) + ", not " +
                       code;
            }
            return "\"" + excerpt(code) + "\" is not a field code; codes are 0-9 and a-k";
        }
        if (index == 9) {
            if (fileName) {
                return "9 (line break) belongs only in the overlay order, osdSort";
            }
            continue;
        }
        if (seen[index]) {
            return "code " + code + " appears twice; each field may appear once" +
                   (fileName ? "" : " (only 9, the line break, may repeat)");
        }
        seen[index] = true;
    }
    return "";
}

/* true when text is "r:g:b" with three whole numbers 0-255 and nothing else. */
bool well_formed_colour(const std::string& text) {
    const char* p = text.c_str();
    for (int part = 0; part < 3; ++part) {
        if (part > 0 && *p++ != ':') {
            return false;
        }
        int value = 0, digits = 0;
        for (; *p >= '0' && *p <= '9' && digits < 4; ++p, ++digits) {
            value = value * 10 + (*p - '0');
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
    }
    return *p == '\0';
}

/* ---- The check ---- */

struct Problem {
    std::string member;   /* path: httpList[1].enable */
    std::string reason;   /* one of the fixed reasons listed in docs/api.md */
    std::string received; /* the value as JSON text, shortened; empty: nothing */
    std::string allowed;
    std::string hint;
    std::string name; /* for "Invalid parameter: <name>" */
};

std::string path_of(const std::string& prefix, const char* key) {
    return prefix.empty() ? key : prefix + "." + key;
}

/* A member where it was met: the path of its object and its parent's library name. The
 * texts of a problem are made only once there is one: a body that passes costs no
 * string. */
struct Where {
    const std::string& prefix;
    const Member& m;
    const char* parentName;

    std::string path() const { return path_of(prefix, m.name); }
    /* The name after "Invalid parameter: ". */
    std::string name() const {
        return m.errorName != nullptr ? m.errorName : parentName != nullptr ? parentName : m.name;
    }
    std::string allowed() const { return settings::allowed_text(m); }
};

class Checker {
  public:
    std::vector<Problem> problems;
    /* Switches sent as JSON booleans, made 0 and 1 after the check. */
    std::vector<cJSON*> booleans;
    /* Passwords sent back as the placeholder (parent, item), left out after the check. */
    std::vector<std::pair<cJSON*, cJSON*>> placeholders;

    /* Checks the members of object against members (one table level). position: the
     * element's index when object is an array element, else -1. Problems are listed
     * in the order of the table's rows, unknown members after them in body order. */
    void check_object(cJSON* object, const Member* members, size_t count, const std::string& prefix,
                      const char* parentName, long position);

  private:
    void add(std::string member, const char* reason, const cJSON* item, std::string allowed,
             std::string hint, std::string name) {
        problems.push_back({std::move(member), reason, item != nullptr ? shown(item) : "",
                            std::move(allowed), std::move(hint), std::move(name)});
    }
    void fail(const Where& w, const char* reason, const cJSON* item, const std::string& hint) {
        add(w.path(), reason, item, w.allowed(), hint, w.name());
    }
    void check_value(cJSON* parent, cJSON* item, const Where& w, long position);
    void check_integer(cJSON* item, const Where& w, long position);
    void check_text(cJSON* parent, cJSON* item, const Where& w);
    void check_list(cJSON* item, const Where& w);
    void check_same_field(cJSON* object, cJSON* item, const Where& w);
};

void Checker::check_object(cJSON* object, const Member* members, size_t count,
                           const std::string& prefix, const char* parentName, long position) {
    const size_t start = problems.size();
    std::vector<size_t> ranks;  // per problem from start: the row it belongs to
    auto rank_new = [&](size_t rank) { ranks.resize(problems.size() - start, rank); };
    cJSON* seenRows[32] = {};  // the documents' objects have at most 24 members
    std::vector<cJSON*> seenMore(count > 32 ? count : 0, nullptr);
    cJSON** seen = count > 32 ? seenMore.data() : seenRows;
    size_t unknown = count;
    size_t next = 0;  // bodies mostly follow the table's order: try the next row first
    for (cJSON* child = object->child; child != nullptr; child = child->next) {
        const char* key = child->string != nullptr ? child->string : "";
        const Member* m = next < count && std::strcmp(members[next].name, key) == 0
                              ? &members[next]
                              : settings::find_member(members, count, key);
        if (m == nullptr) {
            const std::string shownKey = excerpt(key, 64);
            const char* near = nearest(key, members, count, &Member::name);
            std::string hint =
                near == nullptr ? "not a member of this document; see docs/api.md"
                : strcasecmp(key, near) == 0
                    ? std::string("member names are case-sensitive: did you mean \"") + near + "\"?"
                    : std::string("did you mean \"") + near + "\"?";
            add(path_of(prefix, shownKey.c_str()), "unknown member", child,
                "a member of this document", hint, parentName != nullptr ? parentName : shownKey);
            rank_new(unknown++);
            continue;
        }
        const size_t row = static_cast<size_t>(m - members);
        next = row + 1;
        const Where w{prefix, *m, parentName};
        if (seen[row] != nullptr) {
            add(w.path(), "duplicate member", child, "each member once",
                std::string("\"") + m->name +
                    "\" is sent twice; the settings library would take the first and skip this "
                    "one",
                w.name());
        } else {
            seen[row] = child;
            check_value(object, child, w, position);
        }
        rank_new(row);
    }
    for (size_t row = 0; row < count; ++row) {
        const Where w{prefix, members[row], parentName};
        if (w.m.required && seen[row] == nullptr) {
            fail(w, "missing member", nullptr,
                 std::string("send \"") + w.m.name +
                     "\" too; without it the settings library ignores or refuses this object");
        }
        if (w.m.sameFieldAs != nullptr && seen[row] != nullptr) {
            check_same_field(object, seen[row], w);
        }
        rank_new(row);
    }
    if (ranks.size() < 2) {
        return;
    }
    // Stable: problems of one row keep their order (elements, then their members).
    std::vector<size_t> order(ranks.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return ranks[a] < ranks[b]; });
    std::vector<Problem> sorted;
    sorted.reserve(order.size());
    for (size_t i : order) {
        sorted.push_back(std::move(problems[start + i]));
    }
    std::move(sorted.begin(), sorted.end(), problems.begin() + static_cast<long>(start));
}

void Checker::check_value(cJSON* parent, cJSON* item, const Where& w, long position) {
    switch (w.m.type) {
        case Type::kInteger:
            check_integer(item, w, position);
            return;
        case Type::kString:
            if (!cJSON_IsString(item)) {
                fail(w, "wrong type", item,
                     "send a JSON string, in double quotes; the settings library would skip "
                     "this member");
                return;
            }
            check_text(parent, item, w);
            return;
        case Type::kArray:
            check_list(item, w);
            return;
        case Type::kObject:
            if (!cJSON_IsObject(item)) {
                fail(w, "wrong type", item,
                     "send a JSON object; the settings library would skip this member");
                return;
            }
            check_object(item, w.m.fields, w.m.fieldCount, w.path(), w.name().c_str(), -1);
            return;
    }
}

void Checker::check_integer(cJSON* item, const Where& w, long position) {
    const Member& m = w.m;
    auto range = [&] {
        return "send a whole number from " + std::to_string(m.minimum) + " to " +
               std::to_string(m.maximum);
    };
    if (cJSON_IsBool(item) && m.isSwitch) {
        booleans.push_back(item);
        return;
    }
    if (!cJSON_IsNumber(item)) {
        std::string hint =
            range() + ", as a JSON number; the settings library would skip this member";
        if (cJSON_IsString(item)) {
            char* end = nullptr;
            std::strtoll(item->valuestring, &end, 10);
            if (end != item->valuestring && *end == '\0') {
                hint = std::string("send the number without quotes: ") + item->valuestring +
                       "; the settings library skips a number sent as a string";
            }
        } else if (cJSON_IsNull(item)) {
            hint = "leave the member out to keep the stored value, or " + range();
        }
        fail(w, "wrong type", item, hint);
        return;
    }
    const double value = item->valuedouble;
    if (std::isfinite(value) && value != std::floor(value)) {
        fail(w, "not a whole number", item,
             range() + "; the settings library would drop the fraction and store " +
                 std::to_string(item->valueint));
        return;
    }
    if (!(value >= static_cast<double>(m.minimum) && value <= static_cast<double>(m.maximum))) {
        fail(w, "out of range", item, range());
        return;
    }
    if (m.isPosition && position >= 0 && value != static_cast<double>(position)) {
        add(w.path(), "wrong position", item,
            "the element's position in the array, " + std::to_string(position),
            "elements are applied by position: element " + std::to_string(position) +
                " changes destination " + std::to_string(position) +
                "; move this element to position " + print_compact(item) + " or leave \"" + m.name +
                "\" out",
            w.name());
    }
}

void Checker::check_text(cJSON* parent, cJSON* item, const Where& w) {
    const Member& m = w.m;
    const char* text = item->valuestring;
    const size_t size = std::strlen(text);
    size_t bad = invalid_utf8_at(text, size);
    if (bad != std::string::npos) {
        fail(w, "not UTF-8", item,
             "byte " + std::to_string(bad) +
                 " of the text starts no UTF-8 character; send text in UTF-8");
        return;
    }
    if (m.maxBytes > 0 && size > m.maxBytes) {
        fail(w, "too long", item,
             "shorten it to " + std::to_string(m.maxBytes) + " bytes (it has " +
                 std::to_string(size) +
                 "; a character outside ASCII takes 2 to 4); the settings library would store "
                 "only the first " +
                 std::to_string(m.maxBytes) + " bytes");
        return;
    }
    if (m.secret && std::strcmp(text, settings::kPasswordPlaceholder) == 0) {
        placeholders.emplace_back(parent, item);
        return;
    }
    std::string problem;
    switch (m.form) {
        case Form::kAny:
            return;
        case Form::kNotEmpty:
            if (size == 0) {
                problem = "send at least one character";
            }
            break;
        case Form::kColour:
            if (!well_formed_colour(text)) {
                problem =
                    "write red, green and blue as whole numbers 0 to 255 separated by "
                    "colons, nothing else: \"255:128:0\"";
            }
            break;
        case Form::kOverlayOrder:
        case Form::kFileNameOrder:
            problem = order_problem(text, m.form == Form::kFileNameOrder);
            break;
        case Form::kWord: {
            bool known = false;
            for (size_t i = 0; i < m.wordCount && !known; ++i) {
                known = std::strcmp(text, m.words[i].text) == 0;
            }
            if (!known) {
                const char* near = nearest(text, m.words, m.wordCount, &settings::Word::text);
                problem = std::strcmp(text, "lineBreak") == 0
                              ? "lineBreak has no spacing; leave this element out"
                          : near != nullptr ? std::string("did you mean \"") + near + "\"?"
                                            : "not a name of this list";
            }
            break;
        }
    }
    if (!problem.empty()) {
        fail(w, size == 0 ? "empty" : "bad form", item, problem);
    }
}

void Checker::check_list(cJSON* item, const Where& w) {
    const Member& m = w.m;
    if (!cJSON_IsArray(item)) {
        fail(w, "wrong type", item,
             "send a JSON array; the settings library would skip this member");
        return;
    }
    const std::string path = w.path();
    const std::string name = w.name();
    const size_t size = static_cast<size_t>(cJSON_GetArraySize(item));
    if (size > m.maxItems) {
        fail(w, "too many elements", item,
             "send at most " + std::to_string(m.maxItems) +
                 " elements; the settings library would ignore the rest");
    }
    long index = 0;
    for (cJSON* element = item->child; element != nullptr; element = element->next, ++index) {
        const std::string elementPath = path + "[" + std::to_string(index) + "]";
        if (!cJSON_IsObject(element)) {
            add(elementPath, "wrong type", element, w.allowed(),
                "each element is a JSON object; the settings library would skip this one", name);
            continue;
        }
        check_object(element, m.fields, m.fieldCount, elementPath, name.c_str(), index);
    }
    // A field that must differ between elements: a later element would overwrite.
    for (size_t f = 0; f < m.fieldCount; ++f) {
        if (!m.fields[f].unique) {
            continue;
        }
        const char* key = m.fields[f].name;
        std::vector<const char*> values;
        index = 0;
        for (cJSON* element = item->child; element != nullptr; element = element->next, ++index) {
            const cJSON* value = cJSON_GetObjectItemCaseSensitive(element, key);
            if (!cJSON_IsString(value)) {
                continue;
            }
            auto earlier = std::find_if(values.begin(), values.end(), [&](const char* v) {
                return std::strcmp(v, value->valuestring) == 0;
            });
            if (earlier != values.end()) {
                add(path + "[" + std::to_string(index) + "]." + key, "duplicate element", value,
                    std::string("each ") + key + " once",
                    "element " + std::to_string(std::distance(values.begin(), earlier)) +
                        " has the same " + key + "; the later one would overwrite it",
                    name);
            }
            values.push_back(value->valuestring);
        }
    }
}

/* A member that sets the same field as a member of a list element ("httpUrl" and
 * "httpList[0].url"): the library applies the element last, so two different texts
 * would lose the first one. */
void Checker::check_same_field(cJSON* object, cJSON* item, const Where& w) {
    const char* other = w.m.sameFieldAs;  // "list[element].field"
    const char* open = std::strchr(other, '[');
    const char* close = std::strstr(other, "].");
    if (!cJSON_IsString(item) || open == nullptr || close == nullptr) {
        return;
    }
    const std::string listName(other, open);
    const cJSON* list = cJSON_GetObjectItemCaseSensitive(object, listName.c_str());
    const cJSON* element =
        cJSON_IsArray(list) ? cJSON_GetArrayItem(list, std::atoi(open + 1)) : nullptr;
    const cJSON* twin =
        cJSON_IsObject(element) ? cJSON_GetObjectItemCaseSensitive(element, close + 2) : nullptr;
    if (!cJSON_IsString(twin) || std::strcmp(twin->valuestring, item->valuestring) == 0 ||
        std::strcmp(twin->valuestring, settings::kPasswordPlaceholder) == 0 ||
        std::strcmp(item->valuestring, settings::kPasswordPlaceholder) == 0) {
        return;
    }
    add(w.path(), "conflict", item,
        "the same text as " + std::string(other) + ", or only one of the two",
        std::string(other) + " sets the same field and is applied after \"" + w.m.name +
            "\", which would be lost; send one of them",
        w.name());
}

/* ---- Replies ---- */

/* {"code":400,"msg":msg,"errors":[...]} */
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

/* A problem of the body as a whole: "Invalid JSON", as the library says of a body it
 * cannot read. */
std::string body_refusal(const char* reason, const std::string& received, const std::string& hint) {
    return refusal_body("Invalid JSON",
                        {{"", reason, received, "one JSON object and nothing after it", hint, ""}});
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
    // With the length, not up to a NUL: bytes after a NUL are seen as trailing data
    // (the library would stop reading at the NUL).
    const char* end = nullptr;
    CJsonPtr root(cJSON_ParseWithLengthOpts(body->data(), body->size(), &end, false));
    const size_t at = end != nullptr ? static_cast<size_t>(end - body->data()) : 0;
    if (!root) {
        const bool ended = at + 1 >= body->size();  // cJSON points at the last byte then
        *refusal = body_refusal(
            "syntax error", "\"" + excerpt(body->substr(std::min(at, body->size()))) + "\"",
            ended ? "the body ends before the JSON is complete; check for a missing } or ]"
                  : "the body is not JSON from byte " + std::to_string(at) +
                        " on; check quotes, commas and brackets there");
        return false;
    }
    size_t rest = at;
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
    if (!cJSON_IsObject(root.get())) {
        *refusal = body_refusal("not an object", shown(root.get()),
                                "send the members to change inside { }; the settings library "
                                "would change nothing and answer 200");
        return false;
    }
    Checker checker;
    checker.check_object(root.get(), doc->members, doc->memberCount, "", nullptr, -1);
    if (!checker.problems.empty()) {
        *refusal =
            refusal_body("Invalid parameter: " + checker.problems.front().name, checker.problems);
        return false;
    }
    if (checker.booleans.empty() && checker.placeholders.empty()) {
        return true;
    }
    for (cJSON* b : checker.booleans) {
        const double value = cJSON_IsTrue(b) ? 1 : 0;
        b->type = cJSON_Number;  // in place: the member keeps its key and position
        cJSON_SetNumberHelper(b, value);
    }
    for (const auto& p : checker.placeholders) {
        cJSON_Delete(cJSON_DetachItemViaPointer(p.first, p.second));
    }
    *body = print_compact(root.get());
    return true;
}

std::string explain_refusal(const std::string& action, const char* body) {
    static const char kPrefix[] = "Invalid parameter: ";
    const settings::Document* doc = settings::document_for_action(action);
    if (doc == nullptr || action != doc->writeAction || body == nullptr) {
        return "";
    }
    CJsonPtr reply(cJSON_Parse(body));
    const cJSON* msg = cJSON_GetObjectItemCaseSensitive(reply.get(), "msg");
    if (!cJSON_IsString(msg) || std::strncmp(msg->valuestring, kPrefix, sizeof kPrefix - 1) != 0) {
        return "";
    }
    const std::string name = msg->valuestring + sizeof kPrefix - 1;
    // The library's names: a top-level key, or a dotted name of a list element's member.
    const Member* rule = nullptr;
    for (size_t i = 0; i < doc->memberCount && rule == nullptr; ++i) {
        const Member& m = doc->members[i];
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
    return refusal_body(msg->valuestring,
                        {{name, "refused", "", settings::allowed_text(*rule),
                          std::string(rule->description) +
                              " The first member, in the order the settings library examines "
                              "them, that breaks this rule; nothing was stored.",
                          name}});
}

}  // namespace webd
