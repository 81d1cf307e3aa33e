/*
 * HTTP Digest authentication (RFC 7616, qop=auth, SHA-256 or MD5) with replay protection
 * that this program owns, not the HTTP library.
 *
 * Nonces are made here: an issue time, a serial number that grows with every challenge,
 * and an HMAC of both under a secret drawn at start-up. Every challenge gets a nonce of
 * its own, a nonce that this run did not issue fails its HMAC, and the time in it makes
 * it expire. Each (nonce, nc) pair is accepted at most once, whatever the method and URI:
 * a table keyed by the nonce's serial keeps its highest counter and a window of the 64
 * counters below it (so a client's requests may arrive somewhat out of order). The table
 * is bounded; when it is full, the oldest nonce is forgotten and every nonce up to it is
 * refused as stale from then on, so forgetting never reopens a counter.
 *
 * Thread-safe: check() may run on every worker thread at once. A check allocates nothing
 * once its thread has seen a few requests: the header's parameters go to strings of the
 * thread's own that keep their capacity, and the hashes are fed the parts in place.
 */
#ifndef LPR_WEBD_DIGEST_AUTH_H
#define LPR_WEBD_DIGEST_AUTH_H

#include <nettle/hmac.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "users.h"

namespace webd {

class DigestAuth {
  public:
    using Clock = std::chrono::steady_clock;
    enum class Algorithm { kMd5, kSha256 };

    enum class Verdict {
        kNoCredentials, /* no Digest Authorization header: the first step of a login */
        kRefused,       /* credentials that do not prove the password: a failed login */
        kStale,         /* the password is proven, the nonce is not usable (expired, not
                           issued by this run, forgotten, or this counter already used):
                           the client may retry at once with a fresh nonce */
        kAccepted,
    };

    DigestAuth(std::string realm, Algorithm algorithm, std::chrono::seconds nonceLifetime,
               size_t maxNonces = 4096);

    /* Draws the nonce secret and the stand-in HA1 for unknown users; false with *error
     * when the system has no random bytes. */
    bool init(std::string* error);

    /* The WWW-Authenticate value of a 401 reply, with a fresh nonce. */
    std::string challenge(bool stale);

    /* Checks an Authorization header (null: none) of a request with this method and
     * request target (as in the request line). *user is the logged-in user when the
     * verdict is kAccepted, null otherwise; *tried (if not null) the user name the header
     * gives, for the log of a failed login. An unknown user, or in MD5 mode a user
     * without an MD5 HA1, is checked against a random HA1: it costs the same and fails. */
    Verdict check(const char* authorization, const std::string& method, const std::string& target,
                  const UserTable& users, const User** user, std::string* tried = nullptr);

    Algorithm algorithm() const { return m_algorithm; }

  private:
    struct NonceUse {
        Clock::time_point issued;
        uint32_t highest; /* largest nc accepted */
        uint64_t seen;    /* bit i: nc == highest - i was accepted */
    };

    std::string make_nonce(uint64_t serial, Clock::time_point issued) const;
    bool open_nonce(const std::string& nonce, uint64_t* serial, Clock::time_point* issued) const;
    bool record_use(uint64_t serial, Clock::time_point issued, uint32_t nc);
    void make_room(Clock::time_point now);

    const std::string m_realm;
    const Algorithm m_algorithm;
    const std::chrono::seconds m_lifetime;
    const size_t m_maxNonces;
    std::array<uint8_t, 32> m_secret{};
    hmac_sha256_ctx m_nonceKey{}; /* keyed with m_secret once; copied for every nonce */
    std::array<uint8_t, 32> m_unknownUserHa1{};
    std::atomic<uint64_t> m_nextSerial{1};

    std::mutex m_mutex;                  /* guards the two members below */
    std::map<uint64_t, NonceUse> m_uses; /* by serial, so the oldest comes first */
    uint64_t m_forgottenUpTo = 0;        /* serials up to this one are refused */
};

}  // namespace webd

#endif /* LPR_WEBD_DIGEST_AUTH_H */
