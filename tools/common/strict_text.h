/*
 * Texts of strict mode: the UTF-8 check of a received text, and the excerpts of received
 * values that refusals show (always valid UTF-8, cut between characters).
 */
#ifndef LPR_WEBD_STRICT_TEXT_H
#define LPR_WEBD_STRICT_TEXT_H

#include <cstddef>
#include <string>

namespace webd {
namespace strict {

/* Longest excerpt of a received value shown in a refusal, in bytes. */
constexpr size_t kShownBytes = 40;

/* Offset of the first byte of text that starts no well-formed UTF-8 character (no
 * overlong forms, no surrogates, nothing above U+10FFFF), or npos. */
size_t invalid_utf8_at(const char* text, size_t size);

/* text as valid UTF-8 (a byte that starts no character becomes U+FFFD), cut to at most
 * limit bytes between characters, "…" appended when cut. */
std::string excerpt(const std::string& text, size_t limit = kShownBytes);

/* A string received, as JSON text: in quotes, escaped, shortened, with its size when
 * shortened; "5" in quotes was a string, 5 without a number. */
std::string shown_text(const char* text, size_t size);

}  // namespace strict
}  // namespace webd

#endif /* LPR_WEBD_STRICT_TEXT_H */
