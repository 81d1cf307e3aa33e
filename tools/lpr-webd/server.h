/*
 * The HTTP side of lpr-webd: libmicrohttpd with an internal epoll thread pool, and the
 * life of each request through libmicrohttpd's callbacks: request hygiene and the
 * whole-request deadline, the body, authentication (authentication.h), the route
 * (routes.h), the wait of a write, and one access-log line.
 *
 * Error policy: no exception passes into libmicrohttpd. Each callback catches at its top;
 * a request whose handling fails is answered 500 (or, when no answer can be sent, its
 * connection is closed), the failure is logged once, and the server goes on with the next
 * request.
 */
#ifndef LPR_WEBD_SERVER_H
#define LPR_WEBD_SERVER_H

#include "authentication.h"
#include "mhd.h"
#include "options.h"
#include "request.h"
#include "request_deadline.h"
#include "status.h"
#include "users.h"
#include "write_ack.h"

namespace webd {

class Server {
  public:
    /* Settings writes are answered once acks confirms them (write_ack.h); status counts
     * every request and answers /api/v1/status, changes logs every accepted write and
     * answers /api/v1/changes. */
    Server(const Options& options, const ListenAddress& listen, UserTable users, WriteAcks& acks,
           ServerStatus& status, ChangeLog& changes);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /* Starts listening; false with a message on stderr when it cannot. */
    bool start();
    /* The port actually bound (for --port 0). */
    unsigned port() const;
    /* Stops accepting and waits for the worker threads; idempotent. */
    void stop();

  private:
    static void* on_uri(void* cls, const char* uri, MHD_Connection* connection);
    static MHD_Result on_access(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                size_t* uploadSize, void** requestContext);
    static void on_completed(void* cls, MHD_Connection* connection, void** requestContext,
                             MHD_RequestTerminationCode code);
    static void on_connection(void* cls, MHD_Connection* connection, void** socketContext,
                              MHD_ConnectionNotificationCode code);

    MHD_Result access(MHD_Connection* connection, Request& req, const char* url, const char* method,
                      const char* version, const char* uploadData, size_t* uploadSize);
    MHD_Result begin(MHD_Connection* connection, Request& req, const char* url, const char* method,
                     const char* version);
    MHD_Result finish(MHD_Connection* connection, Request& req);
    MHD_Result fail(MHD_Connection* connection, Request& req) noexcept;
    void log_access(MHD_Connection* connection, const Request& req,
                    MHD_RequestTerminationCode code);

    const Options m_options;
    ListenAddress m_listen;
    WriteAcks& m_acks;
    ServerStatus& m_status;
    ChangeLog& m_changes;
    Authentication m_auth;
    RequestDeadline m_deadline; /* outlives the daemon, whose callbacks use it */
    MhdDaemonPtr m_daemon;
};

}  // namespace webd

#endif /* LPR_WEBD_SERVER_H */
