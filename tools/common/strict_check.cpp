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

// RapidJSON skips blanks 16 bytes at a time where the processor can.
#if defined(__SSE2__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

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
/* Deepest nesting of objects and arrays read; the documents have three levels. */
constexpr size_t kMaxDepth = 32;

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
        uint64_t eight = 0;
        if (end - q >= 8 && (std::memcpy(&eight, q, 8), (eight & 0x8080808080808080u) == 0)) {
            q += 8;  // eight ASCII bytes
            continue;
        }
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

/* A string received, as JSON text: in quotes, escaped, shortened, with its size when
 * shortened; "5" in quotes was a string, 5 without a number. */
std::string shown_text(const char* text, size_t size) {
    const std::string whole(text, size);
    const std::string shortened = excerpt(whole);
    CJsonPtr literal(cJSON_CreateString(shortened.c_str()));
    if (!literal) {
        throw std::bad_alloc();
    }
    std::string out = print_compact(literal.get());
    if (shortened.size() != size) {
        out += " (" + std::to_string(size) + " bytes)";
    }
    return out;
}

/* A member that sets the same field as a list element's member: "httpList[0].url" read
 * as list "httpList", element 0, field "url". */
struct SameField {
    const char* sameFieldAs;
    size_t listLength;
    long element;
    const char* field;
};

SameField same_field(const char* sameFieldAs) {
    SameField s{sameFieldAs, std::strcspn(sameFieldAs, "["), 0, ""};
    const char* p = sameFieldAs + s.listLength + (sameFieldAs[s.listLength] != '\0' ? 1 : 0);
    for (; *p >= '0' && *p <= '9'; ++p) {
        s.element = s.element * 10 + (*p - '0');
    }
    s.field = p[0] == ']' && p[1] == '.' ? p + 2 : "";
    return s;
}

/* A text met during the check, where the reader decoded it (valid for the whole check). */
struct Met {
    const char* sameFieldAs;
    const char* text;
    size_t size;
    bool operator==(const Met& other) const {
        return size == other.size && std::memcmp(text, other.text, size) == 0;
    }
};

/* The check, as one pass of RapidJSON's event reader over the body: no tree, and no
 * text made unless a problem is found, so that a body that passes costs little beside
 * the library's own parse. Each object or array being read is a frame on a stack. */
class Checker : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, Checker> {
  public:
    /* text: the bytes that in reads, for the excerpts of values. */
    Checker(const settings::Document& doc, const char* text, rapidjson::InsituStringStream& in)
        : m_doc(doc), m_text(text), m_in(in) {
        m_stack.reserve(8);
        for (size_t i = 0; i < doc.memberCount; ++i) {
            if (doc.members[i].sameFieldAs != nullptr) {
                m_targets.push_back(same_field(doc.members[i].sameFieldAs));
            }
        }
    }

    std::vector<Problem> problems;
    /* A switch came as false/true, or a password as the placeholder: the body goes to
     * the library re-printed (rewritten()). */
    bool rewrite = false;
    /* The body is JSON but not an object. */
    bool notObject = false;
    /* Objects and arrays nested deeper than kMaxDepth: reading stopped there. */
    bool tooDeep = false;

    bool Null() { return scalar(Scalar::kNull, "null", 4); }
    bool Bool(bool b) {
        return b ? scalar(Scalar::kBool, "true", 4) : scalar(Scalar::kBool, "false", 5);
    }
    bool RawNumber(const char* text, rapidjson::SizeType size, bool) {
        return scalar(Scalar::kNumber, text, size);
    }
    bool String(const char* text, rapidjson::SizeType size, bool) {
        return scalar(Scalar::kString, text, size);
    }
    bool StartObject() { return start(true); }
    bool StartArray() { return start(false); }
    bool Key(const char* key, rapidjson::SizeType size, bool);
    bool EndObject(rapidjson::SizeType) { return end(); }
    bool EndArray(rapidjson::SizeType) { return end(); }

  private:
    enum class Scalar { kNull, kBool, kNumber, kString };
    enum class Kind { kObject, kList, kSkip };

    struct Frame {
        Kind kind;
        const Member* rows; /* object: its rows; list: its elements' rows */
        size_t count;
        const Member* owner;       /* the member whose value this is; null: the document */
        const char* name;          /* the library's name for members inside (null: their own) */
        long position;             /* element index of an object in a list, else -1 */
        size_t start;              /* problems.size() when the frame began */
        size_t begin;              /* offset of its first byte in the body */
        std::vector<size_t> ranks; /* per problem from start: the row it belongs to */
        /* objects */
        uint32_t seen = 0;
        size_t next = 0;    /* bodies mostly follow the table's order: the row to try first */
        size_t unknown = 0; /* rank of the next unknown member */
        const Member* current = nullptr; /* the row of the value that comes next */
        size_t currentRank = 0;
        std::string unknownKey; /* the key of an unknown member's value */
        /* lists */
        long index = -1;                                   /* the element being read */
        std::vector<std::pair<std::string, long>> uniques; /* values of a unique field */
        /* skips: the problem whose "received" is this value's text */
        size_t problem = std::string::npos;
    };

    /* What the value that starts now is for. */
    struct Target {
        const Member* m; /* null: an unknown member, or a value being skipped */
        Frame* frame;    /* the object or list it is in */
    };

    std::string path_of(const Frame* upto, const char* last) const;
    std::string path(const Member& m) const { return path_of(&m_stack.back(), m.name); }
    static const char* library_name(const Member& m, const Frame& f) {
        return m.errorName != nullptr ? m.errorName : f.name != nullptr ? f.name : m.name;
    }
    std::string name_of(const Member& m, const Frame& f) const { return library_name(m, f); }
    void add(std::string member, const char* reason, std::string received, std::string allowed,
             std::string hint, std::string name) {
        problems.push_back({std::move(member), reason, std::move(received), std::move(allowed),
                            std::move(hint), std::move(name)});
    }
    void fail(const Member& m, const char* reason, std::string received, const std::string& hint) {
        add(path(m), reason, std::move(received), settings::allowed_text(m), hint,
            name_of(m, m_stack.back()));
    }
    /* The value in the top frame is complete: its problems get the frame's rank. */
    void value_done() {
        Frame& f = m_stack.back();
        if (f.kind != Kind::kSkip) {
            f.ranks.resize(problems.size() - f.start, f.currentRank);
        }
    }
    Target target();
    bool scalar(Scalar type, const char* text, size_t size);
    void check_integer(const Member& m, Scalar type, const char* text, size_t size);
    void check_text(const Member& m, const char* text, size_t size);
    bool start(bool object);
    bool end();
    void finish_object(Frame& f);
    void push(Kind kind, const Member* rows, size_t count, const Member* owner, const char* name,
              long position, size_t problem = std::string::npos);

    const settings::Document& m_doc;
    const char* m_text;
    rapidjson::InsituStringStream& m_in; /* read only for positions */
    std::vector<Frame> m_stack;
    /* Values of the members that set the same field as a list element's member, and
     * of those elements' members: {sameFieldAs, value}. */
    std::vector<SameField> m_targets;
    std::vector<Met> m_sameField;
    std::vector<Met> m_twins;
};

std::string Checker::path_of(const Frame* upto, const char* last) const {
    std::string out;
    for (const Frame& f : m_stack) {
        if (f.owner != nullptr) {
            if (f.position >= 0) {
                out += "[" + std::to_string(f.position) + "]";
            } else {
                out += (out.empty() ? "" : ".") + std::string(f.owner->name);
            }
        }
        if (&f == upto) {
            break;
        }
    }
    if (last != nullptr) {
        out += (out.empty() ? "" : ".") + std::string(last);
    }
    return out;
}

void Checker::push(Kind kind, const Member* rows, size_t count, const Member* owner,
                   const char* name, long position, size_t problem) {
    Frame f;
    f.kind = kind;
    f.rows = rows;
    f.count = count;
    f.owner = owner;
    f.name = name;
    f.position = position;
    f.start = problems.size();
    f.begin = m_in.Tell() - 1;  // the reader has taken the { or [
    f.unknown = count;
    f.problem = problem;
    m_stack.push_back(std::move(f));
}

Checker::Target Checker::target() {
    Frame& f = m_stack.back();
    switch (f.kind) {
        case Kind::kObject:
            return {f.current, &f};
        case Kind::kList:
            if (static_cast<size_t>(++f.index) == f.owner->maxItems) {
                add(path_of(&f, nullptr), "too many elements", "", settings::allowed_text(*f.owner),
                    "send at most " + std::to_string(f.owner->maxItems) +
                        " elements; the settings library would ignore the rest",
                    f.name);
                f.problem = problems.size() - 1;  // received: the array, at its end
            }
            return {f.owner, &f};
        case Kind::kSkip:
            break;
    }
    return {nullptr, &f};
}

bool Checker::Key(const char* key, rapidjson::SizeType size, bool) {
    Frame& f = m_stack.back();
    const Member* m = nullptr;
    if (std::strlen(key) == size) {  // a key with \u0000 in it is no member's
        m = f.next < f.count && std::strcmp(f.rows[f.next].name, key) == 0
                ? &f.rows[f.next]
                : settings::find_member(f.rows, f.count, key);
    }
    f.current = m;
    if (m == nullptr) {
        f.unknownKey.assign(key, size);
        f.currentRank = f.unknown++;
        return true;
    }
    const size_t row = static_cast<size_t>(m - f.rows);
    f.next = row + 1;
    f.currentRank = row;
    if (f.seen & (1u << row)) {
        f.current = nullptr;  // the value is reported, not checked again
        f.unknownKey = std::string("\x01") + m->name;
    } else {
        f.seen |= 1u << row;
    }
    return true;
}

bool Checker::scalar(Scalar type, const char* text, size_t size) {
    if (m_stack.empty()) {
        notObject = true;
        return false;
    }
    const Target t = target();
    Frame& f = *t.frame;
    auto received = [&] {
        return type == Scalar::kString ? shown_text(text, size) : excerpt(std::string(text, size));
    };
    if (f.kind == Kind::kSkip) {
        return true;
    }
    if (f.kind == Kind::kList) {
        add(path_of(&f, nullptr) + "[" + std::to_string(f.index) + "]", "wrong type", received(),
            settings::allowed_text(*f.owner),
            "each element is a JSON object; the settings library would skip this one", f.name);
        return true;
    }
    if (t.m == nullptr) {
        const bool duplicate = !f.unknownKey.empty() && f.unknownKey[0] == '\x01';
        if (duplicate) {
            const Member& m = *settings::find_member(f.rows, f.count, f.unknownKey.c_str() + 1);
            add(path(m), "duplicate member", received(), "each member once",
                std::string("\"") + m.name +
                    "\" is sent twice; the settings library would take the first and skip "
                    "this one",
                name_of(m, f));
        } else {
            const std::string key = excerpt(f.unknownKey, 64);
            const char* near = nearest(f.unknownKey, f.rows, f.count, &Member::name);
            std::string hint =
                near == nullptr ? "not a member of this document; see docs/api.md"
                : strcasecmp(f.unknownKey.c_str(), near) == 0
                    ? std::string("member names are case-sensitive: did you mean \"") + near + "\"?"
                    : std::string("did you mean \"") + near + "\"?";
            add(path_of(&f, key.c_str()), "unknown member", received(), "a member of this document",
                hint, f.name != nullptr ? f.name : key);
        }
        value_done();
        return true;
    }
    const Member& m = *t.m;
    switch (m.type) {
        case Type::kInteger:
            check_integer(m, type, text, size);
            break;
        case Type::kString:
            if (type != Scalar::kString) {
                fail(m, "wrong type", received(),
                     "send a JSON string, in double quotes; the settings library would skip "
                     "this member");
            } else {
                check_text(m, text, size);
            }
            break;
        case Type::kArray:
            fail(m, "wrong type", received(),
                 "send a JSON array; the settings library would skip this member");
            break;
        case Type::kObject:
            fail(m, "wrong type", received(),
                 "send a JSON object; the settings library would skip this member");
            break;
    }
    value_done();
    return true;
}

void Checker::check_integer(const Member& m, Scalar type, const char* text, size_t size) {
    auto range = [&] {
        return "send a whole number from " + std::to_string(m.minimum) + " to " +
               std::to_string(m.maximum);
    };
    if (type == Scalar::kBool && m.isSwitch) {
        rewrite = true;
        return;
    }
    if (type != Scalar::kNumber) {
        std::string hint =
            range() + ", as a JSON number; the settings library would skip this member";
        const std::string value(text, size);
        if (type == Scalar::kString) {
            char* end = nullptr;
            std::strtoll(value.c_str(), &end, 10);
            if (end != value.c_str() && *end == '\0') {
                hint = "send the number without quotes: " + value +
                       "; the settings library skips a number sent as a string";
            }
        } else if (type == Scalar::kNull) {
            hint = "leave the member out to keep the stored value, or " + range();
        }
        fail(m, "wrong type", type == Scalar::kString ? shown_text(text, size) : value, hint);
        return;
    }
    // RapidJSON has checked the number's form: digits, then maybe a fraction or exponent.
    double value = 0;
    bool whole = std::find_if(text, text + size, [](char c) {
                     return c == '.' || c == 'e' || c == 'E';
                 }) == text + size;
    if (whole && size <= 18) {
        long long digits = 0;
        for (size_t i = text[0] == '-' ? 1 : 0; i < size; ++i) {
            digits = digits * 10 + (text[i] - '0');
        }
        value = static_cast<double>(text[0] == '-' ? -digits : digits);
    } else {
        value = std::strtod(std::string(text, size).c_str(), nullptr);
        whole = std::isfinite(value) && value == std::floor(value);
        whole = whole || !std::isfinite(value);  // too large: out of range below
    }
    const std::string shown(text, size);
    if (!whole) {
        const double kept = std::trunc(value);
        const long long stored = kept >= INT32_MAX   ? INT32_MAX
                                 : kept <= INT32_MIN ? INT32_MIN
                                                     : static_cast<long long>(kept);
        fail(m, "not a whole number", excerpt(shown),
             range() + "; the settings library would drop the fraction and store " +
                 std::to_string(stored));
        return;
    }
    if (!(value >= static_cast<double>(m.minimum) && value <= static_cast<double>(m.maximum))) {
        fail(m, "out of range", excerpt(shown), range());
        return;
    }
    const long position = m_stack.back().position;
    if (m.isPosition && position >= 0 && value != static_cast<double>(position)) {
        add(path(m), "wrong position", excerpt(shown),
            "the element's position in the array, " + std::to_string(position),
            "elements are applied by position: element " + std::to_string(position) +
                " changes destination " + std::to_string(position) +
                "; move this element to position " + shown + " or leave \"" + m.name + "\" out",
            name_of(m, m_stack.back()));
    }
}

void Checker::check_text(const Member& m, const char* text, size_t size) {
    Frame& f = m_stack.back();
    size_t bad = invalid_utf8_at(text, size);
    if (bad != std::string::npos) {
        fail(m, "not UTF-8", shown_text(text, size),
             "byte " + std::to_string(bad) +
                 " of the text starts no UTF-8 character; send text in UTF-8");
        return;
    }
    if (m.maxBytes > 0 && size > m.maxBytes) {
        fail(m, "too long", shown_text(text, size),
             "shorten it to " + std::to_string(m.maxBytes) + " bytes (it has " +
                 std::to_string(size) +
                 "; a character outside ASCII takes 2 to 4); the settings library would store "
                 "only the first " +
                 std::to_string(m.maxBytes) + " bytes");
        return;
    }
    if (std::strlen(text) != size) {
        fail(m, "bad form", shown_text(text, size),
             "\\u0000 would end the text for the settings library; leave it out");
        return;
    }
    const bool placeholder = m.secret && std::strcmp(text, settings::kPasswordPlaceholder) == 0;
    rewrite = rewrite || placeholder;
    // Members that set the same field as a list element's member, and those members.
    if (m.sameFieldAs != nullptr && f.owner == nullptr && !placeholder) {
        m_sameField.push_back({m.sameFieldAs, text, size});
    }
    for (const SameField& target : m_targets) {
        if (target.element == f.position && !placeholder &&
            std::strcmp(target.field, m.name) == 0 &&
            std::strncmp(target.sameFieldAs, f.owner->name, target.listLength) == 0 &&
            f.owner->name[target.listLength] == '\0') {
            m_twins.push_back({target.sameFieldAs, text, size});
        }
    }
    if (m.unique) {
        Frame& list = m_stack[m_stack.size() - 2];
        for (const auto& earlier : list.uniques) {
            if (earlier.first == text) {
                add(path(m), "duplicate element", shown_text(text, size),
                    std::string("each ") + m.name + " once",
                    "element " + std::to_string(earlier.second) + " has the same " + m.name +
                        "; the later one would overwrite it",
                    name_of(m, f));
            }
        }
        list.uniques.emplace_back(text, f.position);
    }
    if (placeholder) {
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
        fail(m, size == 0 ? "empty" : "bad form", shown_text(text, size), problem);
    }
}

bool Checker::start(bool object) {
    if (m_stack.empty()) {
        if (!object) {
            notObject = true;
            return false;
        }
        push(Kind::kObject, m_doc.members, m_doc.memberCount, nullptr, nullptr, -1);
        return true;
    }
    if (m_stack.size() >= kMaxDepth) {
        tooDeep = true;  // the reader recurses per level: stop before the stack runs out
        return false;
    }
    const Target t = target();
    Frame& f = *t.frame;
    const std::string wrong = object ? "send a JSON object" : "send a JSON array";
    if (f.kind == Kind::kSkip) {
        push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1);
        return true;
    }
    if (f.kind == Kind::kList) {
        const Member& list = *f.owner;
        const std::string name = f.name;
        if (!object) {
            add(path_of(&f, nullptr) + "[" + std::to_string(f.index) + "]", "wrong type", "",
                settings::allowed_text(list),
                "each element is a JSON object; the settings library would skip this one", name);
            push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
            return true;
        }
        push(Kind::kObject, list.fields, list.fieldCount, f.owner, f.name, f.index);
        return true;
    }
    if (t.m == nullptr) {  // an unknown or repeated member: reported with its whole text
        scalar(Scalar::kNull, "", 0);
        push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
        return true;
    }
    const Member& m = *t.m;
    if (object && m.type == Type::kObject) {
        push(Kind::kObject, m.fields, m.fieldCount, &m, library_name(m, f), -1);
        return true;
    }
    if (!object && m.type == Type::kArray) {
        push(Kind::kList, m.fields, m.fieldCount, &m, library_name(m, f), -1);
        return true;
    }
    fail(m, "wrong type", "", wrong + "; the settings library would skip this member");
    push(Kind::kSkip, nullptr, 0, nullptr, nullptr, -1, problems.size() - 1);
    return true;
}

void Checker::finish_object(Frame& f) {
    for (size_t row = 0; row < f.count; ++row) {
        const Member& m = f.rows[row];
        if (m.required && !(f.seen & (1u << row))) {
            fail(m, "missing member", "",
                 std::string("send \"") + m.name +
                     "\" too; without it the settings library ignores or refuses this object");
            f.ranks.resize(problems.size() - f.start, row);
        }
    }
    if (f.owner == nullptr) {  // the document: members that set a list element's field
        for (const auto& same : m_sameField) {
            for (const auto& twin : m_twins) {
                if (same.sameFieldAs != twin.sameFieldAs || same == twin) {
                    continue;
                }
                const Member* m = nullptr;
                for (size_t row = 0; row < f.count; ++row) {
                    if (f.rows[row].sameFieldAs == same.sameFieldAs) {
                        m = &f.rows[row];
                        f.currentRank = row;
                    }
                }
                add(m->name, "conflict", shown_text(same.text, same.size),
                    "the same text as " + std::string(same.sameFieldAs) +
                        ", or only one of the two",
                    std::string(same.sameFieldAs) + " sets the same field and is applied after \"" +
                        m->name + "\", which would be lost; send one of them",
                    m->name);
                value_done();
            }
        }
    }
    if (f.ranks.size() < 2) {
        return;
    }
    // Stable: problems of one row keep their order (elements, then their members).
    std::vector<size_t> order(f.ranks.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return f.ranks[a] < f.ranks[b]; });
    std::vector<Problem> sorted;
    sorted.reserve(order.size());
    for (size_t i : order) {
        sorted.push_back(std::move(problems[f.start + i]));
    }
    std::move(sorted.begin(), sorted.end(), problems.begin() + static_cast<long>(f.start));
}

bool Checker::end() {
    Frame& f = m_stack.back();
    if (f.kind == Kind::kObject) {
        finish_object(f);
    }
    if (f.problem != std::string::npos && problems[f.problem].received.empty()) {
        problems[f.problem].received =
            excerpt(std::string(m_text + f.begin, m_in.Tell() - f.begin));
    }
    m_stack.pop_back();
    if (!m_stack.empty()) {
        value_done();
    }
    return true;
}

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
    Checker checker(*doc, text, in);
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
        *refusal =
            refusal_body("Invalid parameter: " + checker.problems.front().name, checker.problems);
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
