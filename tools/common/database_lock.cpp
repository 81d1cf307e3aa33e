#include "database_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace settings {
namespace {

/* The whole file, from its first byte to any length. */
struct flock whole_file(short type) {
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    return lock;
}

}  // namespace

std::string database_lock_path(const std::string& dbPath) {
    return dbPath + ".lock";
}

DatabaseLock::~DatabaseLock() {
    if (m_fd >= 0) {
        ::close(m_fd);  // drops the lock
    }
}

bool DatabaseLock::acquire(const std::string& dbPath, std::string* error) {
    const std::string path = database_lock_path(dbPath);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        *error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct flock lock = whole_file(F_WRLCK);
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        const int cause = errno;
        ::close(fd);
        *error = cause == EAGAIN || cause == EACCES
                     ? "another lpr-settingsd runs on this database (it holds " + path + ")"
                     : "cannot lock " + path + ": " + std::strerror(cause);
        return false;
    }
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = fd;
    return true;
}

Holder database_holder(const std::string& dbPath, std::string* error) {
    const std::string path = database_lock_path(dbPath);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return Holder::kNone;  // no daemon has run on this database yet
        }
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return Holder::kUnknown;
    }
    // Asks whether a lock conflicts with a read lock, which only the daemon's write lock
    // does; nothing is locked by asking.
    struct flock lock = whole_file(F_RDLCK);
    const int rc = ::fcntl(fd, F_OFD_GETLK, &lock);
    const int cause = errno;
    ::close(fd);
    if (rc != 0) {
        *error = "cannot test the lock on " + path + ": " + std::strerror(cause);
        return Holder::kUnknown;
    }
    return lock.l_type == F_UNLCK ? Holder::kNone : Holder::kDaemon;
}

}  // namespace settings
