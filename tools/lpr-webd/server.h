/*
 * The HTTP side of lpr-webd: libmicrohttpd with an internal epoll thread pool, request
 * hygiene and the whole-request deadline, Digest authentication against the users file,
 * login throttling, routing of /api/v1/ to the library's actions, and one access-log
 * line per request.
 */
#ifndef LPR_WEBD_SERVER_H
#define LPR_WEBD_SERVER_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "cgi/lpr_cgi.h"
#include "change_log.h"
#include "digest_auth.h"
#include "login_throttle.h"
#include "mhd.h"
#include "options.h"
#include "request_deadline.h"
#include "status.h"
#include "users.h"
#include "write_ack.h"

namespace webd {

/* One action the host registers with the library. */
struct ActionRoute {
    const char* name; /* the action name and the last part of its URL */
    LprCgiHandler handler;
    uint32_t permission; /* the bit a user needs */
    int methodMask;      /* bit n allows HTTP_METHODS value n */
};

/* The four settings actions, in the order they are registered. */
const ActionRoute* action_routes(size_t* count);

/* The reply envelope {"code":N,"msg":"..."} of the library, for the host's own replies. */
std::string envelope(int code, const std::string& msg);

class Server {
  public:
    /* Settings writes are answered once acks confirms them (write_ack.h); status counts
     * every request and answers /api/v1/status, changes logs every accepted write and
     * answers /api/v1/changes. */
    Server(const Options& options, UserTable users, WriteAcks& acks, ServerStatus& status,
           ChangeLog& changes);
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    /* Starts listening; false with a message on stderr when it cannot. */
    bool start();
    /* The port actually bound (for --port 0). */
    unsigned port() const;
    /* Stops accepting and waits for the worker threads; idempotent. */
    void stop();

  private:
    struct Request;

    static void* on_uri(void* cls, const char* uri, MHD_Connection* connection);
    static MHD_Result on_access(void* cls, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                size_t* uploadSize, void** requestContext);
    static void on_completed(void* cls, MHD_Connection* connection, void** requestContext,
                             MHD_RequestTerminationCode code);
    static void on_connection(void* cls, MHD_Connection* connection, void** socketContext,
                              MHD_ConnectionNotificationCode code);

    MHD_Result begin(MHD_Connection* connection, Request& req, const char* url, const char* method,
                     const char* version);
    MHD_Result authenticate(MHD_Connection* connection, Request& req);
    MHD_Result finish(MHD_Connection* connection, Request& req);
    MHD_Result route(MHD_Connection* connection, Request& req);
    MHD_Result reply_too_large(MHD_Connection* connection, Request& req);
    MHD_Result dispatch(MHD_Connection* connection, Request& req);
    MHD_Result reply_library(MHD_Connection* connection, Request& req);
    MHD_Result answer_write(MHD_Connection* connection, Request& req);
    MHD_Result reply(MHD_Connection* connection, Request& req, unsigned status,
                     const std::string& body, const char* header = nullptr,
                     const char* value = nullptr);
    MHD_Result reply_throttled(MHD_Connection* connection, Request& req, unsigned seconds);
    MHD_Result reply_whoami(MHD_Connection* connection, Request& req);
    MHD_Result reply_listing(MHD_Connection* connection, Request& req);
    MHD_Result reply_page(MHD_Connection* connection, Request& req);

    const Options m_options;
    const UserTable m_users;
    WriteAcks& m_acks;
    ServerStatus& m_status;
    ChangeLog& m_changes;
    LoginThrottle m_throttle;
    DigestAuth m_digest;
    sockaddr_storage m_bindAddress{};
    RequestDeadline m_deadline; /* outlives the daemon, whose callbacks use it */
    MhdDaemonPtr m_daemon;
};

}  // namespace webd

#endif /* LPR_WEBD_SERVER_H */
