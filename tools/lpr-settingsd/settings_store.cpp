#include "settings_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstring>

#include "lpr_bus_topics.h"
#include "lpr_defs.h"
#include "program_log.h"

namespace settingsd {
namespace {

/* The reasons a transaction is refused, by SQLite's primary result code. SQLite's own text
 * for the code (sqlite3_errstr) is what Database::last_error() carries when the failure
 * happened inside one of its calls. */
const struct {
    int code;
    const char* reason;
} kReasons[] = {
    {SQLITE_READONLY, "database is read-only"},
    {SQLITE_FULL, "disk full"},
    {SQLITE_CANTOPEN, "cannot create the journal beside the database (folder read-only?)"},
    {SQLITE_BUSY, "database is locked by another program"},
    {SQLITE_IOERR, "I/O error on the database"},
};

/* Why a step of a transaction failed: SQLite's code and message of the connection's last
 * statement, or, for a failure inside one of Database's calls (code SQLITE_OK), its
 * last_error(). */
struct Failure {
    int code = SQLITE_OK;
    std::string detail;

    void from_connection(sqlite3* conn) {
        code = sqlite3_extended_errcode(conn);
        detail = sqlite3_errmsg(conn);
    }
    std::string reason() const {
        for (const auto& r : kReasons) {
            if ((code & 0xff) == r.code ||
                (code == SQLITE_OK && detail.find(sqlite3_errstr(r.code)) != std::string::npos)) {
                return r.reason;
            }
        }
        return "database error: " + detail;
    }
};

void log_failure(const char* message, const std::string& path, const Failure& failure) {
    tools::log_line(kLogTag, "%s %s: %s (%s)", message, path.c_str(), failure.reason().c_str(),
                    failure.detail.c_str());
}

}  // namespace

size_t record_size(const std::string& topic) {
    if (topic == LPR_BUS_TOPIC_ADVANCED) {
        return sizeof(lpr_advanced_t);
    }
    if (topic == LPR_BUS_TOPIC_COUNT) {
        return sizeof(VEHICLE_COUNT_SETTING);
    }
    return 0;
}

bool SettingsStore::open(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0) {
        if (Database::create_default(path.c_str()) != 0) {
            tools::log_line(kLogTag, "cannot create settings database %s: %s", path.c_str(),
                            Database::last_error());
            return false;
        }
        tools::log_line(kLogTag, "created settings database %s with the default settings",
                        path.c_str());
    }
    if (m_conn.open_rw(path.c_str()) != 0) {
        tools::log_line(kLogTag, "cannot open settings database %s: %s", path.c_str(),
                        Database::last_error());
        return false;
    }
    sqlite3* conn = m_conn.get();
    // SQLite opens a file it may not write read-only without a word; every store would then
    // fail. A daemon that cannot store must not report ready.
    if (sqlite3_db_readonly(conn, "main") == 1) {
        tools::log_line(kLogTag,
                        "cannot write settings database %s: the file or its file system is "
                        "read-only",
                        path.c_str());
        return false;
    }
    // Writing one page proves what the open cannot: that the journal can be made in the
    // folder. The transaction rolls the page back when it goes.
    const std::string probe = "PRAGMA user_version = " + std::to_string(Database::kSchemaVersion);
    Database::Transaction write(conn, Database::Transaction::WRITE);
    if (!write.begun() ||
        sqlite3_exec(conn, probe.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
        Failure failure;
        failure.from_connection(conn);
        log_failure("cannot write settings database", path, failure);
        return false;
    }
    return true;
}

StoreResult SettingsStore::store(const std::map<std::string, std::string>& records,
                                 const std::map<std::string, size_t>& covered) {
    StoreResult result;
    Failure failure;
    {
        Database::Transaction write(m_conn.get(), Database::Transaction::WRITE);
        bool ok = write.begun();
        if (!ok) {
            failure.from_connection(m_conn.get());
        }
        for (auto it = records.begin(); ok && it != records.end(); ++it) {
            // The payload carries no alignment: copy it into a record of its own first.
            int rc;
            if (it->first == LPR_BUS_TOPIC_ADVANCED) {
                lpr_advanced_t record;
                std::memcpy(&record, it->second.data(), sizeof record);
                rc = Database::get_instance().set_lpr_advanced(&record, m_conn.get());
            } else {
                VEHICLE_COUNT_SETTING record;
                std::memcpy(&record, it->second.data(), sizeof record);
                rc = Database::get_instance().set_lpr_vehicle_count(&record, m_conn.get());
            }
            if (rc != 0) {
                ok = false;
                failure.detail = Database::last_error();
            }
        }
        if (ok && write.commit() != 0) {
            ok = false;
            failure.from_connection(m_conn.get());
        }
        result.stored = ok;
    }  // a transaction that did not commit is rolled back here
    if (!result.stored) {
        result.reason = failure.reason();
        tools::log_line(kLogTag, "cannot store %zu record(s): %s (%s)", records.size(),
                        result.reason.c_str(), failure.detail.c_str());
        return result;
    }
    for (const auto& record : records) {
        const auto count = covered.find(record.first);
        const size_t messages = count != covered.end() ? count->second : 1;
        if (messages > 1) {
            tools::log_line(kLogTag, "stored %s (%zu bytes), the newest of %zu messages",
                            record.first.c_str(), record.second.size(), messages);
        } else {
            tools::log_line(kLogTag, "stored %s (%zu bytes)", record.first.c_str(),
                            record.second.size());
        }
    }
    return result;
}

}  // namespace settingsd
