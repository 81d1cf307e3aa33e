#include "hex.h"

namespace webd {

void put_hex(const uint8_t* data, size_t size, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < size; ++i) {
        *out++ = kDigits[data[i] >> 4];
        *out++ = kDigits[data[i] & 0xf];
    }
}

std::string to_hex(const uint8_t* data, size_t size) {
    std::string hex(size * 2, '\0');
    put_hex(data, size, &hex[0]);
    return hex;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool from_hex(const std::string& hex, uint8_t* out, size_t size) {
    if (hex.size() != size * 2) {
        return false;
    }
    for (size_t i = 0; i < size; ++i) {
        int hi = hex_digit(hex[2 * i]);
        int lo = hex_digit(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return true;
}

}  // namespace webd
