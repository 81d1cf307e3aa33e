#include "strict_rules.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "strict_text.h"

namespace webd {
namespace strict {
namespace {

using settings::Form;
using settings::Member;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

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

std::string range_of(const Member& m) {
    return "send a whole number from " + std::to_string(m.minimum) + " to " +
           std::to_string(m.maximum);
}

Finding found(const char* reason, std::string received, std::string hint) {
    Finding f;
    f.reason = reason;
    f.received = std::move(received);
    f.hint = std::move(hint);
    return f;
}

}  // namespace

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

Finding check_integer(const Member& m, Scalar type, const char* text, size_t size, long position,
                      bool* rewrite) {
    if (type == Scalar::kBool && m.isSwitch) {
        *rewrite = true;
        return {};
    }
    if (type != Scalar::kNumber) {
        std::string hint =
            range_of(m) + ", as a JSON number; the settings library would skip this member";
        const std::string value(text, size);
        if (type == Scalar::kString) {
            char* end = nullptr;
            std::strtoll(value.c_str(), &end, 10);
            if (end != value.c_str() && *end == '\0') {
                hint = "send the number without quotes: " + value +
                       "; the settings library skips a number sent as a string";
            }
        } else if (type == Scalar::kNull) {
            hint = "leave the member out to keep the stored value, or " + range_of(m);
        }
        return found("wrong type", type == Scalar::kString ? shown_text(text, size) : value, hint);
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
        return found("not a whole number", excerpt(shown),
                     range_of(m) + "; the settings library would drop the fraction and store " +
                         std::to_string(stored));
    }
    if (!(value >= static_cast<double>(m.minimum) && value <= static_cast<double>(m.maximum))) {
        return found("out of range", excerpt(shown), range_of(m));
    }
    if (m.isPosition && position >= 0 && value != static_cast<double>(position)) {
        Finding f = found("wrong position", excerpt(shown),
                          "elements are applied by position: element " + std::to_string(position) +
                              " changes destination " + std::to_string(position) +
                              "; move this element to position " + shown + " or leave \"" + m.name +
                              "\" out");
        f.allowed = "the element's position in the array, " + std::to_string(position);
        return f;
    }
    return {};
}

Finding check_text_bytes(const Member& m, const char* text, size_t size) {
    size_t bad = invalid_utf8_at(text, size);
    if (bad != std::string::npos) {
        return found("not UTF-8", shown_text(text, size),
                     "byte " + std::to_string(bad) +
                         " of the text starts no UTF-8 character; send text in UTF-8");
    }
    if (m.maxBytes > 0 && size > m.maxBytes) {
        return found("too long", shown_text(text, size),
                     "shorten it to " + std::to_string(m.maxBytes) + " bytes (it has " +
                         std::to_string(size) +
                         "; a character outside ASCII takes 2 to 4); the settings library "
                         "would store only the first " +
                         std::to_string(m.maxBytes) + " bytes");
    }
    if (std::strlen(text) != size) {
        return found("bad form", shown_text(text, size),
                     "\\u0000 would end the text for the settings library; leave it out");
    }
    return {};
}

Finding check_text_form(const Member& m, const char* text, size_t size) {
    std::string problem;
    switch (m.form) {
        case Form::kAny:
            return {};
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
    if (problem.empty()) {
        return {};
    }
    return found(size == 0 ? "empty" : "bad form", shown_text(text, size), problem);
}

}  // namespace strict
}  // namespace webd
