#include "lpr_cgi_request.h"

#include <cstring>

namespace lpr {

void copy_text(char* field, std::size_t size, const char* text) {
    const std::size_t length = strnlen(text, size - 1);
    std::memcpy(field, text, length);
    field[length] = '\0';
}

}  // namespace lpr
