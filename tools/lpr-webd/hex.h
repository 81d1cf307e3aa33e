/*
 * Lower-case hexadecimal text of bytes, as HA1 values, nonces and Digest responses are
 * written.
 */
#ifndef LPR_WEBD_HEX_H
#define LPR_WEBD_HEX_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace webd {

std::string to_hex(const uint8_t* data, size_t size);

/* The size * 2 hex digits of data at out (no NUL). */
void put_hex(const uint8_t* data, size_t size, char* out);

/* The value of one hex digit (either case), or -1. */
int hex_digit(char c);

/* Exactly size * 2 hex digits into out[size]; false otherwise. */
bool from_hex(const std::string& hex, uint8_t* out, size_t size);

}  // namespace webd

#endif /* LPR_WEBD_HEX_H */
