/*
 * Both settings records of a database, and the connections lpr-settings-db reads and
 * writes them through: a read-only one for the commands that print, and a write session
 * for those that change, which refuses a database that a running settings daemon holds
 * (database_lock.h) unless forced, and keeps its read, its changes and its stores in one
 * transaction, so that no other writer gets between them and nothing is half stored.
 */
#ifndef LPR_SETTINGS_DB_RECORDS_H
#define LPR_SETTINGS_DB_RECORDS_H

#include <memory>
#include <string>

#include "Database.h"
#include "lpr_defs.h"

namespace cli {

struct Records {
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;

    void* of(DatabaseColumn::Record record) {
        return record == DatabaseColumn::RECORD_ADVANCED ? static_cast<void*>(&adv)
                                                         : static_cast<void*>(&vcs);
    }
    /* The records of a new camera. */
    static Records defaults();
};

/* Reads both records of the database at path, read-only. An exit status (kExitOk, or
 * kExitDatabase after the message). */
int read_records(const std::string& path, Records* records);

/* Changes to the database at path: begin() reads the records, the caller changes
 * records, commit() stores those it names; anything else rolls back. */
class WriteSession {
  public:
    WriteSession() = default;
    WriteSession(const WriteSession&) = delete;
    WriteSession& operator=(const WriteSession&) = delete;

    /* Refuses a database that a settings daemon holds unless force (kExitLive, with a
     * message that tells how to change a live camera), opens the file for writing, takes
     * the write lock and reads both records. An exit status. */
    int begin(const std::string& path, bool force);

    /* Stores the advanced record when advanced, the vehicle-count record when count, and
     * commits. An exit status. */
    int commit(bool advanced, bool count);

    Records records;

  private:
    Database::Connection m_conn;
    std::unique_ptr<Database::Transaction> m_txn;
};

}  // namespace cli

#endif /* LPR_SETTINGS_DB_RECORDS_H */
