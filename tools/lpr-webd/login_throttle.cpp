#include "login_throttle.h"

#include <algorithm>

namespace webd {

LoginThrottle::LoginThrottle(unsigned maxFailures, std::chrono::seconds window,
                             std::chrono::seconds blockFor, size_t maxEntries)
    : m_maxFailures(maxFailures),
      m_window(window),
      m_blockFor(blockFor),
      m_maxEntries(maxEntries) {}

unsigned LoginThrottle::blocked_for(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(address);
    if (it == m_entries.end()) {
        return 0;
    }
    Clock::time_point now = Clock::now();
    if (it->second.blockedUntil <= now) {
        return 0;
    }
    auto left = std::chrono::duration_cast<std::chrono::seconds>(it->second.blockedUntil - now);
    // Round up: a client that waits the announced seconds is let in.
    return static_cast<unsigned>(left.count()) + 1;
}

bool LoginThrottle::failed(const std::string& address) {
    if (m_maxFailures == 0) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    Clock::time_point now = Clock::now();
    if (m_entries.size() >= m_maxEntries && m_entries.find(address) == m_entries.end()) {
        prune(now);
    }
    Entry& entry = m_entries[address];
    if (entry.failures == 0 || now - entry.windowStart > m_window) {
        entry.failures = 0;
        entry.windowStart = now;
    }
    ++entry.failures;
    if (entry.failures >= m_maxFailures) {
        entry.blockedUntil = now + m_blockFor;
        entry.failures = 0;
        return true;
    }
    return false;
}

void LoginThrottle::succeeded(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(address);
    if (it != m_entries.end() && it->second.blockedUntil <= Clock::now()) {
        m_entries.erase(it);
    }
}

void LoginThrottle::prune(Clock::time_point now) {
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        bool stale = it->second.blockedUntil <= now && now - it->second.windowStart > m_window;
        it = stale ? m_entries.erase(it) : std::next(it);
    }
    if (m_entries.size() < m_maxEntries) {
        return;
    }
    // Still full of live entries: drop the one whose window started first.
    auto oldest = std::min_element(m_entries.begin(), m_entries.end(), [](auto& a, auto& b) {
        return a.second.windowStart < b.second.windowStart;
    });
    m_entries.erase(oldest);
}

}  // namespace webd
