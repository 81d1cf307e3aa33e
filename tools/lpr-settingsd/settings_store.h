/*
 * The storing side of the settings daemon: opens the settings database for writing (and
 * refuses one it cannot write), and stores settings records as they came off the bus, all
 * the records of one batch in one transaction.
 */
#ifndef LPR_SETTINGSD_SETTINGS_STORE_H
#define LPR_SETTINGSD_SETTINGS_STORE_H

#include <cstddef>
#include <map>
#include <string>

#include "Database.h"

namespace settingsd {

/* The tag of the daemon's log lines (tools/common/program_log.h). */
constexpr char kLogTag[] = "settingsd";

/* The size of the record a settings topic carries; 0 for any other topic. */
size_t record_size(const std::string& topic);

/* What became of a transaction: stored, or refused with a short reason for the
 * acknowledgement ("database is read-only", "disk full", ...). */
struct StoreResult {
    bool stored = false;
    std::string reason;
};

/* Used by the daemon's store thread only. */
class SettingsStore {
  public:
    /* Creates the database at path with the defaults when there is none, opens it for
     * writing and proves that it can write it (a write transaction that is rolled back).
     * false, logged with the reason, when any of it fails. */
    bool open(const std::string& path);

    /* Stores every record (topic -> the record's bytes, each of the topic's size) in one
     * transaction, all of them or none, and logs each record stored. */
    StoreResult store(const std::map<std::string, std::string>& records,
                      const std::map<std::string, size_t>& covered);

  private:
    Database::Connection m_conn;
};

}  // namespace settingsd

#endif /* LPR_SETTINGSD_SETTINGS_STORE_H */
