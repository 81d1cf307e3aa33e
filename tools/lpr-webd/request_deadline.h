/*
 * The whole-request deadline: a request's line, headers and body must have arrived
 * within a bound of their own, whatever the pace. libmicrohttpd has only an idle timer,
 * which a client that sends one byte now and then never trips; this watchdog closes such
 * connections.
 *
 * The clock of a request starts when the connection is accepted (first request) or when
 * the request line arrives, whichever is earlier; on a keep-alive connection the next
 * request's clock starts when the previous one ended, with the idle timeout added (the
 * connection may rest that long before the client starts the next request). It stops
 * once the whole request has arrived. When it runs out, the watchdog thread shuts the
 * socket down (shutdown(2)): libmicrohttpd sees the end of the stream and closes the
 * connection itself, as if the client had gone.
 *
 * The server calls the hooks from libmicrohttpd's callbacks on its worker threads. A
 * socket is shut down only while its connection is registered, under the same lock that
 * closed() takes; libmicrohttpd notifies the close before it closes the descriptor, so
 * the watchdog never touches a descriptor number that was already reused.
 */
#ifndef LPR_WEBD_REQUEST_DEADLINE_H
#define LPR_WEBD_REQUEST_DEADLINE_H

#include <microhttpd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

namespace webd {

class RequestDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    /* Starts the watchdog thread. */
    RequestDeadline(std::chrono::seconds limit, std::chrono::seconds idle);
    /* Stops and joins the watchdog; the HTTP server must have stopped before. */
    ~RequestDeadline();
    RequestDeadline(const RequestDeadline&) = delete;
    RequestDeadline& operator=(const RequestDeadline&) = delete;

    void opened(MHD_Connection* connection);
    void request_line(MHD_Connection* connection);
    void request_received(MHD_Connection* connection);
    void request_done(MHD_Connection* connection);
    void closed(MHD_Connection* connection);
    /* Whether the watchdog closed this connection. */
    bool cut(MHD_Connection* connection);

  private:
    struct Entry {
        int fd = -1;
        std::string client;
        bool armed = false;
        bool cut = false;
        Clock::time_point deadline;
    };

    /* Sets the deadline of a registered connection, and wakes the watchdog when it is
     * earlier than the one the watchdog sleeps towards. */
    void arm(MHD_Connection* connection, Clock::time_point deadline, bool onlyEarlier);
    void watch();

    const std::chrono::seconds m_limit;
    const std::chrono::seconds m_idle;
    std::mutex m_mutex; /* guards everything below */
    std::condition_variable m_wake;
    bool m_stopping = false;
    Clock::time_point m_wakeAt = Clock::time_point::max();
    std::unordered_map<const MHD_Connection*, Entry> m_entries;
    std::thread m_thread; /* last: starts when everything above exists */
};

}  // namespace webd

#endif /* LPR_WEBD_REQUEST_DEADLINE_H */
