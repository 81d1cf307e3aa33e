/*
 * A small RAII layer over GNU libmicrohttpd's C API: the daemon stops and a response
 * object is released when its owner goes out of scope.
 */
#ifndef LPR_WEBD_MHD_H
#define LPR_WEBD_MHD_H

#include <microhttpd.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "c_handle.h"

namespace webd {

using MhdDaemonPtr = tools::CHandle<MHD_Daemon, MHD_stop_daemon>;

/* One response object. MHD keeps its own reference once the response is queued, so
 * the object may be dropped right after queue(). */
class MhdResponse {
  public:
    /* A body copied into the response. */
    static MhdResponse copy_of(std::string_view body);

    /* A body that lives as long as the program (static data), sent from where it lies. */
    static MhdResponse persistent(const void* body, size_t size);

    /* A body that stays where it is; release(cls) runs once MHD is done with it, also
     * when the response cannot be made (the body is then released at once). */
    static MhdResponse borrowed(void* body, size_t size, MHD_ContentReaderFreeCallback release,
                                void* cls);

    bool valid() const { return m_response != nullptr; }
    void add_header(const char* name, const char* value);

    /* Queues the response with status on the connection. */
    MHD_Result queue(MHD_Connection* connection, unsigned int status) const;

  private:
    explicit MhdResponse(MHD_Response* response) : m_response(response) {}
    tools::CHandle<MHD_Response, MHD_destroy_response> m_response;
};

/* The client's address as text ("127.0.0.1", "::1"), or "-". */
std::string client_address(MHD_Connection* connection);

/* Value of a request header, or null. */
const char* request_header(MHD_Connection* connection, const char* name);

}  // namespace webd

#endif /* LPR_WEBD_MHD_H */
