#include "strict_text.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "json_tree.h"

namespace webd {
namespace strict {
namespace {

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

}  // namespace

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

std::string excerpt(const std::string& text, size_t limit) {
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

std::string shown_text(const char* text, size_t size) {
    const std::string whole(text, size);
    const std::string shortened = excerpt(whole);
    tools::CJsonPtr literal(cJSON_CreateString(shortened.c_str()));
    if (!literal) {
        throw std::bad_alloc();
    }
    std::string out = tools::print_compact(literal.get());
    if (shortened.size() != size) {
        out += " (" + std::to_string(size) + " bytes)";
    }
    return out;
}

}  // namespace strict
}  // namespace webd
