#include "digest_auth.h"

#include <nettle/memops.h>
#include <sys/random.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "hex.h"

namespace webd {
namespace {

/* Bytes of a nonce: issue time (8), serial (8), HMAC-SHA-256 of both cut to 16. */
constexpr size_t kNonceStamp = 16;
constexpr size_t kNonceMac = 16;
constexpr size_t kNonceBytes = kNonceStamp + kNonceMac;
/* Counters below the highest one that a nonce still accepts once each. */
constexpr uint32_t kCounterWindow = 64;

bool fill_random(uint8_t* data, size_t size) {
    return getrandom(data, size, 0) == static_cast<ssize_t>(size);
}

void put_u64(uint8_t* out, uint64_t value) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<uint8_t>(value & 0xff);
        value >>= 8;
    }
}

uint64_t get_u64(const uint8_t* in) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value = value << 8 | in[i];
    }
    return value;
}

bool equal_caseless(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0;
}

bool is_token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

/* The auth-params that a check reads. */
enum Param : size_t {
    kUsername,
    kRealm,
    kNonce,
    kUri,
    kResponse,
    kAlgorithm,
    kCnonce,
    kQop,
    kNc,
    kUserhash,
    kParamCount
};
constexpr std::string_view kParamNames[kParamCount] = {
    "username", "realm", "nonce", "uri", "response", "algorithm", "cnonce", "qop", "nc", "userhash",
};

/* The auth-params of one Authorization header: a value per parameter that a check reads
 * (unquoted), and the names of the others, so that a parameter named twice is seen. Every
 * worker thread keeps one (thread_local below) and refills it per request: the strings
 * keep their capacity, so a check allocates nothing once warm. */
class Params {
  public:
    /* Reads the auth-params after "Digest "; false when the header is malformed or names
     * a parameter twice. Names are compared without regard to case. */
    bool parse(const char* p);

    /* The value of a parameter, or null when the header does not have it. */
    const std::string* find(Param param) const {
        return m_present[param] ? &m_values[param] : nullptr;
    }
    /* The value of a parameter, empty when the header does not have it. */
    const std::string& operator[](Param param) const { return m_values[param]; }

  private:
    /* Where the value of the parameter named m_name goes; null when it is named twice. */
    std::string* value_of_name();

    std::string m_values[kParamCount];
    bool m_present[kParamCount] = {};
    std::string m_name;
    std::vector<std::string> m_others; /* names of parameters no check reads */
    size_t m_otherCount = 0;
    std::string m_otherValue; /* their values, each dropped when the next is read */
};

std::string* Params::value_of_name() {
    for (size_t i = 0; i < kParamCount; ++i) {
        if (m_name == kParamNames[i]) {
            if (m_present[i]) {
                return nullptr;
            }
            m_present[i] = true;
            return &m_values[i];
        }
    }
    for (size_t i = 0; i < m_otherCount; ++i) {
        if (m_others[i] == m_name) {
            return nullptr;
        }
    }
    if (m_otherCount == m_others.size()) {
        m_others.emplace_back();
    }
    m_others[m_otherCount++] = m_name;
    m_otherValue.clear();
    return &m_otherValue;
}

bool Params::parse(const char* p) {
    for (size_t i = 0; i < kParamCount; ++i) {
        m_values[i].clear();
        m_present[i] = false;
    }
    m_otherCount = 0;
    auto skip_blanks = [&p] {
        while (*p == ' ' || *p == '\t') {
            ++p;
        }
    };
    while (true) {
        while (*p == ' ' || *p == '\t' || *p == ',') {
            ++p;
        }
        if (*p == '\0') {
            return true;
        }
        const char* start = p;
        while (is_token_char(*p)) {
            ++p;
        }
        m_name.assign(start, p);
        for (char& c : m_name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        skip_blanks();
        if (m_name.empty() || *p++ != '=') {
            return false;
        }
        skip_blanks();
        std::string* value = value_of_name();
        if (value == nullptr) {
            return false;
        }
        if (*p == '"') {
            // A quoted string: runs of plain characters, a backslash taking the next one.
            ++p;
            while (*p != '"') {
                const char* run = p;
                while (*p != '"' && *p != '\\' && *p != '\0') {
                    ++p;
                }
                value->append(run, p);
                if (*p == '\\') {
                    ++p;
                    if (*p == '\0') {
                        return false;
                    }
                    value->push_back(*p++);
                } else if (*p == '\0') {
                    return false;
                }
            }
            ++p;
        } else {
            start = p;
            while (is_token_char(*p)) {
                ++p;
            }
            if (p == start) {
                return false;
            }
            value->append(start, p);
        }
        skip_blanks();
        if (*p != ',' && *p != '\0') {
            return false;
        }
    }
}

/* nc: exactly 8 hex digits, not zero. */
bool parse_counter(const std::string& text, uint32_t* nc) {
    if (text.size() != 8) {
        return false;
    }
    uint32_t value = 0;
    for (char c : text) {
        int digit = hex_digit(c);
        if (digit < 0) {
            return false;
        }
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    *nc = value;
    return value != 0;
}

}  // namespace

DigestAuth::DigestAuth(std::string realm, Algorithm algorithm, std::chrono::seconds nonceLifetime,
                       size_t maxNonces)
    : m_realm(std::move(realm)),
      m_algorithm(algorithm),
      m_lifetime(nonceLifetime),
      m_maxNonces(maxNonces) {}

bool DigestAuth::init(std::string* error) {
    if (!fill_random(m_secret.data(), m_secret.size()) ||
        !fill_random(m_unknownUserHa1.data(), m_unknownUserHa1.size())) {
        *error = std::string("no random bytes for Digest nonces: ") + std::strerror(errno);
        return false;
    }
    hmac_sha256_set_key(&m_nonceKey, m_secret.size(), m_secret.data());
    return true;
}

std::string DigestAuth::make_nonce(uint64_t serial, Clock::time_point issued) const {
    uint8_t nonce[kNonceBytes];
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(issued.time_since_epoch());
    put_u64(nonce, static_cast<uint64_t>(seconds.count()));
    put_u64(nonce + 8, serial);
    hmac_sha256_ctx mac = m_nonceKey;
    hmac_sha256_update(&mac, kNonceStamp, nonce);
    hmac_sha256_digest(&mac, kNonceMac, nonce + kNonceStamp);
    return to_hex(nonce, sizeof nonce);
}

bool DigestAuth::open_nonce(const std::string& text, uint64_t* serial,
                            Clock::time_point* issued) const {
    uint8_t nonce[kNonceBytes];
    if (!from_hex(text, nonce, sizeof nonce)) {
        return false;
    }
    uint8_t expected[kNonceMac];
    hmac_sha256_ctx mac = m_nonceKey;
    hmac_sha256_update(&mac, kNonceStamp, nonce);
    hmac_sha256_digest(&mac, kNonceMac, expected);
    if (!memeql_sec(expected, nonce + kNonceStamp, kNonceMac)) {
        return false;
    }
    *issued = Clock::time_point(std::chrono::seconds(get_u64(nonce)));
    *serial = get_u64(nonce + 8);
    return true;
}

std::string DigestAuth::challenge(bool stale) {
    const uint64_t serial = m_nextSerial.fetch_add(1, std::memory_order_relaxed);
    // The form libmicrohttpd used before this class took over, which clients know:
    // the opaque value is the realm; clients send it back and nothing checks it.
    return "Digest realm=\"" + m_realm + "\",qop=\"auth\",nonce=\"" +
           make_nonce(serial, Clock::now()) + "\",opaque=\"" + m_realm +
           "\",algorithm=" + (m_algorithm == Algorithm::kSha256 ? "sha-256" : "md5") +
           (stale ? ",stale=\"true\"" : "");
}

DigestAuth::Verdict DigestAuth::check(const char* authorization, const std::string& method,
                                      const std::string& target, const UserTable& users,
                                      const User** user, std::string* tried) {
    *user = nullptr;
    if (authorization == nullptr || strncasecmp(authorization, "Digest ", 7) != 0) {
        return Verdict::kNoCredentials;
    }
    thread_local Params p;
    if (!p.parse(authorization + 7)) {
        return Verdict::kRefused;
    }
    if (tried != nullptr) {
        *tried = p[kUsername];
    }
    const bool sha256 = m_algorithm == Algorithm::kSha256;
    const std::string* algorithm = p.find(kAlgorithm);
    const bool algorithmOk = algorithm == nullptr
                                 ? !sha256  // RFC 7616: no algorithm means MD5
                                 : equal_caseless(*algorithm, sha256 ? "SHA-256" : "MD5");
    uint32_t nc = 0;
    const std::string* userhash = p.find(kUserhash);
    if (!algorithmOk || p[kRealm] != m_realm || !equal_caseless(p[kQop], "auth") ||
        !parse_counter(p[kNc], &nc) || p[kCnonce].empty() || p[kUri] != target ||
        (userhash != nullptr && !equal_caseless(*userhash, "false"))) {
        return Verdict::kRefused;
    }
    const User* found = users.find(p[kUsername]);
    const uint8_t* ha1 = m_unknownUserHa1.data();
    if (found != nullptr && (sha256 || found->hasMd5)) {
        ha1 = sha256 ? found->ha1Sha256.data() : found->ha1Md5.data();
    }
    const nettle_hash& hash = sha256 ? nettle_sha256 : nettle_md5;
    char ha1Hex[kMaxHexDigest];
    put_hex(ha1, hash.digest_size, ha1Hex);
    char ha2[kMaxHexDigest];
    const size_t hexSize = hex_digest(hash, {method, ":", target}, ha2);
    char expected[kMaxHexDigest];
    hex_digest(hash,
               {{ha1Hex, hexSize},
                ":",
                p[kNonce],
                ":",
                p[kNc],
                ":",
                p[kCnonce],
                ":",
                p[kQop],
                ":",
                {ha2, hexSize}},
               expected);
    const std::string& response = p[kResponse];
    if (found == nullptr || ha1 == m_unknownUserHa1.data() || response.size() != hexSize ||
        !memeql_sec(response.data(), expected, hexSize)) {
        return Verdict::kRefused;
    }
    // The password is proven. The nonce decides between a login and a fresh challenge.
    uint64_t serial = 0;
    Clock::time_point issued;
    if (!open_nonce(p[kNonce], &serial, &issued) || Clock::now() - issued >= m_lifetime ||
        !record_use(serial, issued, nc)) {
        return Verdict::kStale;
    }
    *user = found;
    return Verdict::kAccepted;
}

bool DigestAuth::record_use(uint64_t serial, Clock::time_point issued, uint32_t nc) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_uses.find(serial);
    if (it == m_uses.end()) {
        make_room(Clock::now());
        if (serial <= m_forgottenUpTo) {
            return false;
        }
        m_uses.emplace(serial, NonceUse{issued, nc, 1});
        return true;
    }
    NonceUse& use = it->second;
    if (nc > use.highest) {
        const uint32_t shift = nc - use.highest;
        use.seen = shift >= kCounterWindow ? 1 : (use.seen << shift | 1);
        use.highest = nc;
        return true;
    }
    const uint32_t back = use.highest - nc;
    const uint64_t bit = uint64_t{1} << back;
    if (back >= kCounterWindow || (use.seen & bit) != 0) {
        return false;
    }
    use.seen |= bit;
    return true;
}

void DigestAuth::make_room(Clock::time_point now) {
    // Expired nonces are refused by their time anyway; forgetting them costs nothing.
    while (!m_uses.empty() && now - m_uses.begin()->second.issued >= m_lifetime) {
        m_forgottenUpTo = std::max(m_forgottenUpTo, m_uses.begin()->first);
        m_uses.erase(m_uses.begin());
    }
    if (m_uses.size() >= m_maxNonces) {
        m_forgottenUpTo = std::max(m_forgottenUpTo, m_uses.begin()->first);
        m_uses.erase(m_uses.begin());
    }
}

}  // namespace webd
