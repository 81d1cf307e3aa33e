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

bool DatabaseLock::acquire(const std::string& dbPath, std::string* error) {
    const std::string path = database_lock_path(dbPath);
    tools::UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640));
    if (!fd.valid()) {
        *error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    struct flock lock = whole_file(F_WRLCK);
    if (::fcntl(fd.get(), F_OFD_SETLK, &lock) != 0) {
        const int cause = errno;
        *error = cause == EAGAIN || cause == EACCES
                     ? "another lpr-settingsd runs on this database (it holds " + path + ")"
                     : "cannot lock " + path + ": " + std::strerror(cause);
        return false;
    }
    m_fd.reset(fd.release());
    return true;
}

Holder database_holder(const std::string& dbPath, std::string* error) {
    const std::string path = database_lock_path(dbPath);
    tools::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ENOENT) {
            return Holder::kNone;  // no daemon has run on this database yet
        }
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return Holder::kUnknown;
    }
    // Asks whether a lock conflicts with a read lock, which only the daemon's write lock
    // does; nothing is locked by asking.
    struct flock lock = whole_file(F_RDLCK);
    if (::fcntl(fd.get(), F_OFD_GETLK, &lock) != 0) {
        const int cause = errno;
        *error = "cannot test the lock on " + path + ": " + std::strerror(cause);
        return Holder::kUnknown;
    }
    return lock.l_type == F_UNLCK ? Holder::kNone : Holder::kDaemon;
}

}  // namespace settings
