#include "mhd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace webd {

MhdResponse MhdResponse::copy_of(std::string_view body) {
    // MUST_COPY: the response owns its bytes, the string may go away.
    return MhdResponse(MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                       MHD_RESPMEM_MUST_COPY));
}

MhdResponse MhdResponse::persistent(const void* body, size_t size) {
    // PERSISTENT: MHD neither copies nor frees the bytes.
    return MhdResponse(
        MHD_create_response_from_buffer(size, const_cast<void*>(body), MHD_RESPMEM_PERSISTENT));
}

MhdResponse MhdResponse::borrowed(void* body, size_t size, MHD_ContentReaderFreeCallback release,
                                  void* cls) {
    MHD_Response* response =
        MHD_create_response_from_buffer_with_free_callback_cls(size, body, release, cls);
    if (response == nullptr) {
        release(cls);
    }
    return MhdResponse(response);
}

void MhdResponse::add_header(const char* name, const char* value) {
    if (m_response) {
        MHD_add_response_header(m_response.get(), name, value);
    }
}

MHD_Result MhdResponse::queue(MHD_Connection* connection, unsigned int status) const {
    if (!m_response) {
        return MHD_NO;
    }
    return MHD_queue_response(connection, status, m_response.get());
}

std::string client_address(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return "-";
    }
    char text[INET6_ADDRSTRLEN] = {};
    const sockaddr* addr = info->client_addr;
    // Copied out rather than cast: the cast raises the required alignment, which
    // -Wcast-align refuses on ARM.
    if (addr->sa_family == AF_INET) {
        sockaddr_in in4;
        std::memcpy(&in4, addr, sizeof in4);
        inet_ntop(AF_INET, &in4.sin_addr, text, sizeof text);
    } else if (addr->sa_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, addr, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
    } else {
        return "-";
    }
    return text;
}

const char* request_header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
}

}  // namespace webd
