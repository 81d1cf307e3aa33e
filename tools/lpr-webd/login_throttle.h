/*
 * Throttling of repeated failed logins per client address: after maxFailures failed
 * logins within window, the address is refused (429) for blockFor. A successful login
 * clears the address's count. The table is bounded; the oldest entries go first.
 */
#ifndef LPR_WEBD_LOGIN_THROTTLE_H
#define LPR_WEBD_LOGIN_THROTTLE_H

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace webd {

class LoginThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    LoginThrottle(unsigned maxFailures, std::chrono::seconds window, std::chrono::seconds blockFor,
                  size_t maxEntries = 4096);

    /* Seconds the address must still wait, 0 when it may try. */
    unsigned blocked_for(const std::string& address);

    /* Counts a failed login; true when this failure blocks the address. */
    bool failed(const std::string& address);

    void succeeded(const std::string& address);

  private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point windowStart;
        Clock::time_point blockedUntil;
    };
    void prune(Clock::time_point now);

    const unsigned m_maxFailures;
    const std::chrono::seconds m_window;
    const std::chrono::seconds m_blockFor;
    const size_t m_maxEntries;
    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_entries;
};

}  // namespace webd

#endif /* LPR_WEBD_LOGIN_THROTTLE_H */
