#include "digest_auth.h"

#include <nettle/md5.h>
#include <nettle/memops.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha2.h>
#include <sys/random.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>
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

/* The auth-params of one Authorization header: names in lower case, values unquoted.
 * Every worker thread keeps one (thread_local below) and refills it per request, so the
 * strings keep their capacity and a check allocates nothing once warm. */
class Params {
  public:
    void clear() { m_count = 0; }

    /* A new parameter, name and value empty. */
    std::pair<std::string, std::string>& add() {
        if (m_count == m_items.size()) {
            m_items.emplace_back();
        }
        auto& item = m_items[m_count++];
        item.first.clear();
        item.second.clear();
        return item;
    }

    /* Whether the last parameter added has the name of an earlier one. */
    bool last_is_repeated() const {
        for (size_t i = 0; i + 1 < m_count; ++i) {
            if (m_items[i].first == m_items[m_count - 1].first) {
                return true;
            }
        }
        return false;
    }

    /* The value of name, or null. */
    const std::string* find(const char* name) const {
        for (size_t i = 0; i < m_count; ++i) {
            if (m_items[i].first == name) {
                return &m_items[i].second;
            }
        }
        return nullptr;
    }

    /* The value of name, empty when the header does not have it. */
    const std::string& operator[](const char* name) const {
        static const std::string kNone;
        const std::string* value = find(name);
        return value != nullptr ? *value : kNone;
    }

  private:
    std::vector<std::pair<std::string, std::string>> m_items;
    size_t m_count = 0;
};

/* The auth-params of a Digest Authorization header into *params; false when the header is
 * malformed or names a parameter twice. */
bool parse_params(const char* p, Params* params) {
    params->clear();
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
        auto& param = params->add();
        std::string& name = param.first;
        while (is_token_char(*p)) {
            name.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*p++))));
        }
        skip_blanks();
        if (name.empty() || *p++ != '=') {
            return false;
        }
        skip_blanks();
        std::string& value = param.second;
        if (*p == '"') {
            for (++p; *p != '"'; ++p) {
                if (*p == '\\') {
                    ++p;
                }
                if (*p == '\0') {
                    return false;
                }
                value.push_back(*p);
            }
            ++p;
        } else {
            while (is_token_char(*p)) {
                value.push_back(*p++);
            }
            if (value.empty()) {
                return false;
            }
        }
        if (params->last_is_repeated()) {
            return false;
        }
        skip_blanks();
        if (*p != ',' && *p != '\0') {
            return false;
        }
    }
}

/* The largest digest in hex: SHA-256's. */
constexpr size_t kMaxHex = 2 * SHA256_DIGEST_SIZE;

/* The lower-case hex digest of the parts joined, with hash, at out; returns its length. */
size_t hex_digest(const nettle_hash& hash, std::initializer_list<std::string_view> parts,
                  char* out) {
    union {
        sha256_ctx sha256;
        md5_ctx md5;
    } ctx;
    static_assert(sizeof ctx >= SHA256_DIGEST_SIZE, "room for the digest");
    hash.init(&ctx);
    for (std::string_view part : parts) {
        hash.update(&ctx, part.size(), reinterpret_cast<const uint8_t*>(part.data()));
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    hash.digest(&ctx, hash.digest_size, digest);
    put_hex(digest, hash.digest_size, out);
    return 2 * hash.digest_size;
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
    if (!parse_params(authorization + 7, &p)) {
        return Verdict::kRefused;
    }
    if (tried != nullptr) {
        *tried = p["username"];
    }
    const bool sha256 = m_algorithm == Algorithm::kSha256;
    const std::string* algorithm = p.find("algorithm");
    const bool algorithmOk = algorithm == nullptr
                                 ? !sha256  // RFC 7616: no algorithm means MD5
                                 : equal_caseless(*algorithm, sha256 ? "SHA-256" : "MD5");
    uint32_t nc = 0;
    const std::string* userhash = p.find("userhash");
    if (!algorithmOk || p["realm"] != m_realm || !equal_caseless(p["qop"], "auth") ||
        !parse_counter(p["nc"], &nc) || p["cnonce"].empty() || p["uri"] != target ||
        (userhash != nullptr && !equal_caseless(*userhash, "false"))) {
        return Verdict::kRefused;
    }
    const User* found = users.find(p["username"]);
    const uint8_t* ha1 = m_unknownUserHa1.data();
    if (found != nullptr && (sha256 || found->hasMd5)) {
        ha1 = sha256 ? found->ha1Sha256.data() : found->ha1Md5.data();
    }
    const nettle_hash& hash = sha256 ? nettle_sha256 : nettle_md5;
    char ha1Hex[kMaxHex];
    put_hex(ha1, hash.digest_size, ha1Hex);
    char ha2[kMaxHex];
    const size_t hexSize = hex_digest(hash, {method, ":", target}, ha2);
    char expected[kMaxHex];
    hex_digest(hash,
               {{ha1Hex, hexSize},
                ":",
                p["nonce"],
                ":",
                p["nc"],
                ":",
                p["cnonce"],
                ":",
                p["qop"],
                ":",
                {ha2, hexSize}},
               expected);
    const std::string& response = p["response"];
    if (found == nullptr || ha1 == m_unknownUserHa1.data() || response.size() != hexSize ||
        !memeql_sec(response.data(), expected, hexSize)) {
        return Verdict::kRefused;
    }
    // The password is proven. The nonce decides between a login and a fresh challenge.
    uint64_t serial = 0;
    Clock::time_point issued;
    if (!open_nonce(p["nonce"], &serial, &issued) || Clock::now() - issued >= m_lifetime ||
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
