#include "request_hygiene.h"

#include <strings.h>

#include <cstring>

#include "hex.h"

namespace webd {
namespace {

/* What the rules look at, gathered once per request. */
struct Facts {
    const char* target;
    const char* version;
    unsigned hosts = 0;
    unsigned lengths = 0;
    unsigned encodings = 0;
    const char* encoding = nullptr;
};

MHD_Result count_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* facts = static_cast<Facts*>(cls);
    if (strcasecmp(key, MHD_HTTP_HEADER_HOST) == 0) {
        ++facts->hosts;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_CONTENT_LENGTH) == 0) {
        ++facts->lengths;
    } else if (strcasecmp(key, MHD_HTTP_HEADER_TRANSFER_ENCODING) == 0) {
        ++facts->encodings;
        facts->encoding = value;
    }
    return MHD_YES;
}

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

/* A control character or a blank, sent as it is or percent-encoded (%00 would end the
 * decoded URL early: "/api/v1/get_vehicle_count%00junk" would be served). A decoded
 * blank (%20) is allowed. */
bool bad_target(const Facts& f) {
    for (const char* p = f.target; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (is_control(c) || c == ' ') {
            return true;
        }
        if (c == '%' && hex_digit(p[1]) >= 0 && hex_digit(p[2]) >= 0 &&
            is_control(static_cast<unsigned char>(hex_digit(p[1]) << 4 | hex_digit(p[2])))) {
            return true;
        }
    }
    return false;
}

bool missing_host(const Facts& f) {
    return f.hosts == 0 && std::strcmp(f.version, MHD_HTTP_VERSION_1_1) == 0;
}

bool repeated_host(const Facts& f) {
    return f.hosts > 1;
}

/* The library reads the first of several lengths; anything between it and the client
 * may read another, and then the next request starts somewhere else. */
bool repeated_length(const Facts& f) {
    return f.lengths > 1;
}

/* The library ignores the length when a transfer coding is named, as it must; a peer
 * that does not would see a different body. */
bool length_and_encoding(const Facts& f) {
    return f.lengths > 0 && f.encodings > 0;
}

/* Only chunked is understood; the library would otherwise wait for the body to end
 * with the connection. */
bool unsupported_encoding(const Facts& f) {
    return f.encodings > 1 || (f.encodings == 1 && strcasecmp(f.encoding, "chunked") != 0);
}

struct Rule {
    bool (*applies)(const Facts&);
    Refusal refusal;
};

/* In the order they are tested: the first that applies answers. */
const Rule kRules[] = {
    {bad_target, {400, "Invalid character in the URL"}},
    {missing_host, {400, "Missing Host header"}},
    {repeated_host, {400, "Repeated Host header"}},
    {repeated_length, {400, "Repeated Content-Length header"}},
    {length_and_encoding, {400, "Content-Length with Transfer-Encoding"}},
    {unsupported_encoding, {501, "Unsupported Transfer-Encoding"}},
};

}  // namespace

const Refusal* refuse_request(MHD_Connection* connection, const char* target, const char* version) {
    Facts facts;
    facts.target = target;
    facts.version = version != nullptr ? version : "";
    MHD_get_connection_values(connection, MHD_HEADER_KIND, &count_header, &facts);
    for (const Rule& rule : kRules) {
        if (rule.applies(facts)) {
            return &rule.refusal;
        }
    }
    return nullptr;
}

}  // namespace webd
