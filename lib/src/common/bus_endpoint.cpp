#include "bus_endpoint.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "bus_log.h"
#include "lpr_zmq.h"

namespace lpr_bus {
namespace {

constexpr char kIpcScheme[] = "ipc://";
constexpr size_t kIpcSchemeLen = sizeof kIpcScheme - 1;
constexpr char kIpcDirVariable[] = "LPR_ZMQ_IPC_DIR";

bool is_ipc(const std::string& endpoint) {
    return endpoint.compare(0, kIpcSchemeLen, kIpcScheme) == 0;
}

bool folder_exists(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when a process accepts connections on the unix socket at path: a live publisher,
// whether or not it took the lock file.
bool socket_is_live(const std::string& path) {
    struct sockaddr_un addr;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    Fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0;
}

}  // namespace

std::string relocate(const std::string& endpoint) {
    const char* dir = std::getenv(kIpcDirVariable);
    if (dir == nullptr || *dir == '\0' || !is_ipc(endpoint)) {
        return endpoint;
    }
    std::string path = endpoint.substr(kIpcSchemeLen);
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return std::string(kIpcScheme) + dir + "/" + name;
}

int claim_endpoint(const std::string& endpoint, Fd* lock) {
    if (!is_ipc(endpoint)) {
        return LPR_ZMQ_OK;
    }
    const std::string path = endpoint.substr(kIpcSchemeLen);
    if (!folder_exists(path)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "no folder for the socket %s", path.c_str());
        return LPR_ZMQ_EENDPOINT;
    }
    // The lock file tells a live publisher from a stale socket file: ZeroMQ would otherwise
    // unlink the live one's socket and take the endpoint over.
    const std::string lockPath = path + ".lock";
    *lock = Fd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (lock->get() < 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot open %s: %s", lockPath.c_str(), std::strerror(errno));
        return LPR_ZMQ_EENDPOINT;
    }
    if (flock(lock->get(), LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        bus_log(LPR_ZMQ_LOG_ERROR, "%s: %s", endpoint.c_str(),
                err == EWOULDBLOCK ? "another process publishes here" : std::strerror(err));
        return err == EWOULDBLOCK ? LPR_ZMQ_EADDRINUSE : LPR_ZMQ_EENDPOINT;
    }
    if (socket_is_live(path)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "%s: a process without the lock file listens here",
                endpoint.c_str());
        return LPR_ZMQ_EADDRINUSE;
    }
    return LPR_ZMQ_OK;
}

int check_sub_endpoint(const std::string& endpoint) {
    // Connecting never fails for a missing socket file (the publisher may start later), but
    // a missing folder is a configuration fault worth reporting now.
    if (is_ipc(endpoint) && !folder_exists(endpoint.substr(kIpcSchemeLen))) {
        bus_log(LPR_ZMQ_LOG_ERROR, "no folder for the socket %s",
                endpoint.substr(kIpcSchemeLen).c_str());
        return LPR_ZMQ_EENDPOINT;
    }
    return LPR_ZMQ_OK;
}

int endpoint_error(int err) {
    switch (err) {
        case EADDRINUSE:
            return LPR_ZMQ_EADDRINUSE;
        case ENOENT:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case ENAMETOOLONG:
        case EINVAL:
        case EPROTONOSUPPORT:
        case EADDRNOTAVAIL:
        case ENODEV:
        case ENOCOMPATPROTO:
            return LPR_ZMQ_EENDPOINT;
        default:
            return LPR_ZMQ_EZMQ;
    }
}

}  // namespace lpr_bus
