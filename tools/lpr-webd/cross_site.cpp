#include "cross_site.h"

#include <cstring>
#include <string>

#include "mhd.h"

namespace webd {

bool from_another_site(MHD_Connection* connection) {
    const char* site = request_header(connection, "Sec-Fetch-Site");
    if (site != nullptr &&
        (std::strcmp(site, "cross-site") == 0 || std::strcmp(site, "same-site") == 0)) {
        return true;
    }
    const char* origin = request_header(connection, "Origin");
    if (origin == nullptr) {
        return false;
    }
    // The server speaks plain HTTP only; request hygiene has made sure of one Host.
    const char* host = request_header(connection, MHD_HTTP_HEADER_HOST);
    return host == nullptr || std::string("http://") + host != origin;
}

}  // namespace webd
