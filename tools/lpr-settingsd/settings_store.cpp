#include "settings_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Database.h"
#include "lpr_bus_topics.h"
#include "lpr_common.h"
#include "lpr_defs.h"

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

std::string reason_for(int code, const std::string& detail) {
    for (const auto& r : kReasons) {
        if ((code & 0xff) == r.code ||
            (code == SQLITE_OK && detail.find(sqlite3_errstr(r.code)) != std::string::npos)) {
            return r.reason;
        }
    }
    return "database error: " + detail;
}

/* Runs sql; on failure the SQLite code and message. */
bool exec(sqlite3* conn, const char* sql, int* code, std::string* detail) {
    if (sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) == SQLITE_OK) {
        return true;
    }
    *code = sqlite3_extended_errcode(conn);
    *detail = sqlite3_errmsg(conn);
    return false;
}

}  // namespace

void log_line(const char* format, ...) {
    char when[32] = {};
    lpr_get_time_string(when, sizeof when);
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::printf("[%s %d] settingsd: %s\n", when, static_cast<int>(getpid()), message);
}

size_t record_size(const std::string& topic) {
    if (topic == LPR_BUS_TOPIC_ADVANCED) {
        return sizeof(lpr_advanced_t);
    }
    if (topic == LPR_BUS_TOPIC_COUNT) {
        return sizeof(VEHICLE_COUNT_SETTING);
    }
    return 0;
}

void ConnCloser::operator()(sqlite3* conn) const {
    Database::sqlite_disconn(conn);
}

bool SettingsStore::open(const std::string& path) {
    m_path = path;
    if (::access(path.c_str(), F_OK) != 0) {
        if (Database::create_default(path.c_str()) != 0) {
            log_line("cannot create settings database %s: %s", path.c_str(),
                     Database::last_error());
            return false;
        }
        log_line("created settings database %s with the default settings", path.c_str());
    }
    sqlite3* conn = nullptr;
    if (Database::sqlite_conn_rw(path.c_str(), &conn) != 0) {
        log_line("cannot open settings database %s: %s", path.c_str(), Database::last_error());
        return false;
    }
    m_conn.reset(conn);
    // SQLite opens a file it may not write read-only without a word; every store would then
    // fail. A daemon that cannot store must not report ready.
    if (sqlite3_db_readonly(conn, "main") == 1) {
        log_line("cannot write settings database %s: the file or its file system is read-only",
                 path.c_str());
        return false;
    }
    // Writing one page proves what the open cannot: that the journal can be made in the folder.
    int code = SQLITE_OK;
    std::string detail;
    const std::string probe = "PRAGMA user_version = " + std::to_string(Database::kSchemaVersion);
    const bool writable =
        exec(conn, "BEGIN IMMEDIATE", &code, &detail) && exec(conn, probe.c_str(), &code, &detail);
    sqlite3_exec(conn, "ROLLBACK", nullptr, nullptr, nullptr);
    if (!writable) {
        log_line("cannot write settings database %s: %s (%s)", path.c_str(),
                 reason_for(code, detail).c_str(), detail.c_str());
        return false;
    }
    return true;
}

StoreResult SettingsStore::store(const std::map<std::string, std::string>& records,
                                 const std::map<std::string, size_t>& covered) {
    StoreResult result;
    int code = SQLITE_OK;
    std::string detail;
    bool ok = exec(m_conn.get(), "BEGIN IMMEDIATE", &code, &detail);
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
            detail = Database::last_error();
        }
    }
    ok = ok && exec(m_conn.get(), "COMMIT", &code, &detail);
    if (!ok) {
        sqlite3_exec(m_conn.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        result.reason = reason_for(code, detail);
        log_line("cannot store %zu record(s): %s (%s)", records.size(), result.reason.c_str(),
                 detail.c_str());
        return result;
    }
    for (const auto& record : records) {
        const auto count = covered.find(record.first);
        const size_t messages = count != covered.end() ? count->second : 1;
        if (messages > 1) {
            log_line("stored %s (%zu bytes), the newest of %zu messages", record.first.c_str(),
                     record.second.size(), messages);
        } else {
            log_line("stored %s (%zu bytes)", record.first.c_str(), record.second.size());
        }
    }
    result.stored = true;
    return result;
}

}  // namespace settingsd
