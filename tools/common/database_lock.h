/*
 * How a running settings daemon marks the settings database it owns, so that other
 * programs can tell that the file is live: lpr-settingsd holds a write lock on the file
 * PATH.lock beside the database PATH (an open file description lock, fcntl F_OFD_SETLK,
 * on the whole file) from the moment it can write the database until it exits, however
 * it exits: the kernel drops the lock with the process. lpr-settings-db asks for it before
 * it writes, and refuses a live database, whose web server would neither see the change
 * nor keep it (its next write stores its own copy of the record).
 *
 * The lock file is created when missing and left in place; removing it would let two
 * daemons lock two different files of the same name.
 */
#ifndef LPR_TOOLS_DATABASE_LOCK_H
#define LPR_TOOLS_DATABASE_LOCK_H

#include <string>

#include "unique_fd.h"

namespace settings {

/* The lock file of the settings database at dbPath: dbPath followed by ".lock". */
std::string database_lock_path(const std::string& dbPath);

/* The settings daemon's hold on its database, released when the object goes. */
class DatabaseLock {
  public:
    DatabaseLock() = default;
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;

    /* Takes the lock without waiting. false with *error when another process holds it
     * (another settings daemon on the same database) or the lock file cannot be made. */
    bool acquire(const std::string& dbPath, std::string* error);

  private:
    tools::UniqueFd m_fd; /* the lock lives as long as this descriptor */
};

enum class Holder {
    kNone,    /* no process holds the lock (or there is no lock file) */
    kDaemon,  /* a settings daemon runs on the database */
    kUnknown, /* the lock file cannot be read; *error says why */
};

/* Whether a running settings daemon holds the database at dbPath. Takes no lock. */
Holder database_holder(const std::string& dbPath, std::string* error);

}  // namespace settings

#endif /* LPR_TOOLS_DATABASE_LOCK_H */
