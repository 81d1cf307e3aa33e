#include "request_deadline.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "mhd.h"
#include "program_log.h"

namespace webd {

RequestDeadline::RequestDeadline(std::chrono::seconds limit, std::chrono::seconds idle)
    : m_limit(limit), m_idle(idle), m_thread(&RequestDeadline::watch, this) {}

RequestDeadline::~RequestDeadline() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void RequestDeadline::opened(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info == nullptr) {
        return;
    }
    try {
        Entry entry;
        entry.fd = info->connect_fd;
        entry.client = client_address(connection);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries[connection] = std::move(entry);
    } catch (const std::exception&) {
        // Called from libmicrohttpd, which cannot pass an exception on. A connection
        // that cannot be watched is not served.
        ::shutdown(info->connect_fd, SHUT_RDWR);
        return;
    }
    arm(connection, Clock::now() + m_limit, false);
}

void RequestDeadline::request_line(MHD_Connection* connection) {
    arm(connection, Clock::now() + m_limit, true);
}

void RequestDeadline::request_received(MHD_Connection* connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(connection);
    if (it != m_entries.end()) {
        it->second.armed = false;
    }
}

void RequestDeadline::request_done(MHD_Connection* connection) {
    arm(connection, Clock::now() + m_idle + m_limit, false);
}

void RequestDeadline::closed(MHD_Connection* connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.erase(connection);
}

bool RequestDeadline::cut(MHD_Connection* connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(connection);
    return it != m_entries.end() && it->second.cut;
}

void RequestDeadline::arm(MHD_Connection* connection, Clock::time_point deadline,
                          bool onlyEarlier) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_entries.find(connection);
        if (it == m_entries.end()) {
            return;
        }
        Entry& entry = it->second;
        if (!entry.armed || !onlyEarlier || deadline < entry.deadline) {
            entry.deadline = deadline;
        }
        entry.armed = true;
        wake = entry.deadline < m_wakeAt;
    }
    if (wake) {
        m_wake.notify_one();
    }
}

void RequestDeadline::watch() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const Clock::time_point now = Clock::now();
        Clock::time_point next = Clock::time_point::max();
        for (auto& item : m_entries) {
            Entry& entry = item.second;
            if (!entry.armed || entry.cut) {
                continue;
            }
            if (entry.deadline > now) {
                next = std::min(next, entry.deadline);
                continue;
            }
            // Under the lock: closed() cannot run, so the descriptor is still this
            // connection's.
            ::shutdown(entry.fd, SHUT_RDWR);
            entry.cut = true;
            tools::log_line("deadline", "%s request not complete within %lld s, closed",
                            entry.client.c_str(), static_cast<long long>(m_limit.count()));
        }
        m_wakeAt = next;
        if (next == Clock::time_point::max()) {
            m_wake.wait(lock);
        } else {
            m_wake.wait_until(lock, next);
        }
        m_wakeAt = Clock::time_point::max();
    }
}

}  // namespace webd
