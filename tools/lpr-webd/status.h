/*
 * GET /api/v1/status (permission view): whether the web server is healthy, in one JSON
 * object without secrets: the program and its uptime, the settings library (started, its
 * bus client running), the settings daemon as last heard on the bus (heartbeat and
 * acknowledgement, with their ages), the settings database (path, schema version, records
 * it is behind on), the change log, and counters of the requests answered. docs/host.md
 * ("Status") lists every member.
 *
 * Thread-safety: count and json may run on any number of threads at once; the counters
 * are atomic, everything else is read from its owner under the owner's lock.
 */
#ifndef LPR_WEBD_STATUS_H
#define LPR_WEBD_STATUS_H

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "change_log.h"
#include "options.h"
#include "write_ack.h"

namespace webd {

/* No heartbeat for this long: the daemon is reported silent (three missed heartbeats). */
constexpr std::chrono::milliseconds kDaemonSilentAfter(3000);

class ServerStatus {
  public:
    /* The objects it reports on must outlive it. */
    ServerStatus(const Options& options, WriteAcks& acks, const ChangeLog& changes);
    ServerStatus(const ServerStatus&) = delete;
    ServerStatus& operator=(const ServerStatus&) = delete;

    /* One request answered with this HTTP status; 0 when the HTTP server answered by
     * itself or the request ended without a reply. */
    void count(unsigned status);

    /* The status document. Throws std::bad_alloc when memory runs out. */
    std::string json() const;

  private:
    static constexpr unsigned kStatusLimit = 600;

    const Options& m_options;
    WriteAcks& m_acks;
    const ChangeLog& m_changes;
    const std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::atomic<uint64_t> m_requests{0};
    std::array<std::atomic<uint64_t>, kStatusLimit> m_byStatus{};
};

}  // namespace webd

#endif /* LPR_WEBD_STATUS_H */
