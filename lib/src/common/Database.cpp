// The settings database component on SQLite: start-up checks, read-only and writing
// connections, whole-record reads and writes driven by the column table
// (db_schema.cpp), and the integrity check. docs/database.md gives the reasons for the
// journal mode, the synchronous level and the locking.
#include "Database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// How long a connection waits for a lock that another process holds. Writes are a few
// pages, so a writer holds the lock for milliseconds; a reader that still waits this
// long is looking at a stuck writer.
constexpr int kBusyTimeoutMs = 5000;

// New settings files: owner reads and writes, group reads. The file holds the HTTP
// passwords in clear.
constexpr mode_t kFileMode = 0640;

thread_local std::string s_lastError;

int fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Records a failure for last_error() and returns -1.
int fail(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    s_lastError = text;
    return -1;
}

const char* file_of(sqlite3* conn) {
    const char* name = sqlite3_db_filename(conn, "main");
    return name != nullptr && *name != '\0' ? name : "(no file)";
}

int fail_sqlite(sqlite3* conn, const char* what) {
    return fail("%s: %s: %s", file_of(conn), what, sqlite3_errmsg(conn));
}

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

struct ConnCloser {
    void operator()(sqlite3* conn) const { Database::sqlite_disconn(conn); }
};
using ConnPtr = std::unique_ptr<sqlite3, ConnCloser>;

bool prepare(sqlite3* conn, const std::string& sql, StmtPtr* stmt) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(conn, sql.c_str(), static_cast<int>(sql.size() + 1), &raw, nullptr);
    stmt->reset(raw);
    if (rc != SQLITE_OK) {
        fail_sqlite(conn, "cannot prepare a statement");
        return false;
    }
    return true;
}

bool exec(sqlite3* conn, const char* sql) {
    if (sqlite3_exec(conn, sql, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fail_sqlite(conn, sql);
        return false;
    }
    return true;
}

// Runs a statement that answers one row of one column.
bool query_one(sqlite3* conn, const char* sql, StmtPtr* stmt) {
    if (!prepare(conn, sql, stmt)) {
        return false;
    }
    if (sqlite3_step(stmt->get()) != SQLITE_ROW) {
        fail_sqlite(conn, sql);
        return false;
    }
    return true;
}

// A read that spans several statements sees one state of the file: a writer's commit
// cannot land between them. Inside a transaction the caller opened, it adds nothing.
class ReadTransaction {
  public:
    explicit ReadTransaction(sqlite3* conn) : m_conn(conn) {
        m_own = sqlite3_get_autocommit(conn) != 0;
        m_ok = !m_own || exec(conn, "BEGIN");
    }
    ~ReadTransaction() {
        if (m_own && m_ok &&
            sqlite3_exec(m_conn, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            sqlite3_exec(m_conn, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;
    bool ok() const { return m_ok; }

  private:
    sqlite3* m_conn;
    bool m_own;
    bool m_ok;
};

// A store: its own transaction that takes the write lock up front, or a savepoint of
// the caller's transaction. Rolled back when it is not committed.
class WriteTransaction {
  public:
    explicit WriteTransaction(sqlite3* conn) : m_conn(conn) {
        m_nested = sqlite3_get_autocommit(conn) == 0;
        m_open = exec(conn, m_nested ? "SAVEPOINT lpr_store" : "BEGIN IMMEDIATE");
    }
    ~WriteTransaction() {
        if (m_open) {
            sqlite3_exec(m_conn, m_nested ? "ROLLBACK TO lpr_store; RELEASE lpr_store" : "ROLLBACK",
                         nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    bool open() const { return m_open; }
    bool commit() {
        if (!exec(m_conn, m_nested ? "RELEASE lpr_store" : "COMMIT")) {
            return false;
        }
        m_open = false;
        return true;
    }

  private:
    sqlite3* m_conn;
    bool m_nested;
    bool m_open;
};

// ---- The schema, from the column table ----

struct Table {
    const char* name;
    DatabaseColumn::Record record;
    int slots;
    const DatabaseColumn* columns;
    size_t count;
    const char* key() const { return slots == 1 ? "id" : "slot"; }
    int key_value(int slot) const { return slots == 1 ? 1 : slot; }
};

const std::vector<Table>& tables() {
    static const std::vector<Table> list = [] {
        std::vector<Table> result;
        size_t count = 0;
        const DatabaseColumn* cols = Database::columns(&count);
        for (size_t i = 0; i < count; ++i) {
            if (result.empty() || std::strcmp(result.back().name, cols[i].table) != 0) {
                result.push_back(Table{cols[i].table, cols[i].record, cols[i].slots, &cols[i], 0});
            }
            ++result.back().count;
        }
        return result;
    }();
    return list;
}

std::string quoted(const char* name) {
    return std::string("\"") + name + "\"";
}

struct Range {
    int64_t min;
    int64_t max;
};

Range range_of(DatabaseColumn::Kind kind) {
    switch (kind) {
        case DatabaseColumn::KIND_U8:
            return {0, UINT8_MAX};
        case DatabaseColumn::KIND_I32:
            return {INT32_MIN, INT32_MAX};
        default:
            return {0, UINT32_MAX};
    }
}

bool is_text(DatabaseColumn::Kind kind) {
    return kind == DatabaseColumn::KIND_TEXT || kind == DatabaseColumn::KIND_DIGITS;
}

// Longest value of a text column, in bytes: a text keeps one byte for its NUL.
size_t text_limit(const DatabaseColumn& col) {
    return col.kind == DatabaseColumn::KIND_TEXT ? col.size - 1 : col.size;
}

// The database refuses by itself what a record cannot hold, so that a change made
// with any SQLite tool cannot leave a file that the cameras fail to read.
std::string schema_sql() {
    std::string sql;
    for (const Table& t : tables()) {
        std::string key = quoted(t.key());
        sql += "CREATE TABLE " + quoted(t.name) + " (\n  " + key + " INTEGER PRIMARY KEY CHECK (";
        sql += t.slots == 1 ? key + " = 1)"
                            : key + " BETWEEN 0 AND " + std::to_string(t.slots - 1) + ")";
        for (size_t i = 0; i < t.count; ++i) {
            const DatabaseColumn& col = t.columns[i];
            std::string name = quoted(col.name);
            if (is_text(col.kind)) {
                sql += ",\n  " + name + " TEXT NOT NULL CHECK (typeof(" + name +
                       ") = 'text' AND length(CAST(" + name +
                       " AS BLOB)) <= " + std::to_string(text_limit(col)) + ")";
            } else {
                Range r = range_of(col.kind);
                sql += ",\n  " + name + " INTEGER NOT NULL CHECK (typeof(" + name +
                       ") = 'integer' AND " + name + " BETWEEN " + std::to_string(r.min) + " AND " +
                       std::to_string(r.max) + ")";
            }
        }
        sql += "\n);\n";
    }
    return sql;
}

std::string select_sql(const Table& t) {
    std::string sql = "SELECT ";
    for (size_t i = 0; i < t.count; ++i) {
        sql += (i == 0 ? "" : ", ") + quoted(t.columns[i].name);
    }
    return sql + " FROM " + quoted(t.name) + " WHERE " + quoted(t.key()) + " = ?1";
}

std::string insert_sql(const Table& t) {
    std::string names = quoted(t.key());
    std::string values = "?1";
    for (size_t i = 0; i < t.count; ++i) {
        names += ", " + quoted(t.columns[i].name);
        values += ", ?" + std::to_string(i + 2);
    }
    return "INSERT OR REPLACE INTO " + quoted(t.name) + " (" + names + ") VALUES (" + values + ")";
}

// ---- Whole records ----

// Copies one value of a result row into its field, after checking that it fits.
bool load_value(sqlite3* conn, sqlite3_stmt* stmt, int index, const DatabaseColumn& col,
                unsigned char* field) {
    int type = sqlite3_column_type(stmt, index);
    if (is_text(col.kind)) {
        if (type != SQLITE_TEXT) {
            fail("%s: %s.%s is not a text", file_of(conn), col.table, col.name);
            return false;
        }
        const unsigned char* text = sqlite3_column_text(stmt, index);
        size_t bytes = static_cast<size_t>(sqlite3_column_bytes(stmt, index));
        if (text == nullptr && bytes > 0) {
            fail_sqlite(conn, "cannot read a text");
            return false;
        }
        if (bytes > text_limit(col)) {
            fail("%s: %s.%s holds %zu bytes, at most %zu fit", file_of(conn), col.table, col.name,
                 bytes, text_limit(col));
            return false;
        }
        if (bytes > 0) {
            std::memcpy(field, text, bytes);
        }
        return true;
    }
    if (type != SQLITE_INTEGER) {
        fail("%s: %s.%s is not an integer", file_of(conn), col.table, col.name);
        return false;
    }
    int64_t value = sqlite3_column_int64(stmt, index);
    Range r = range_of(col.kind);
    if (value < r.min || value > r.max) {
        fail("%s: %s.%s = %lld does not fit %lld..%lld", file_of(conn), col.table, col.name,
             static_cast<long long>(value), static_cast<long long>(r.min),
             static_cast<long long>(r.max));
        return false;
    }
    if (col.kind == DatabaseColumn::KIND_U8) {
        *field = static_cast<uint8_t>(value);
    } else if (col.kind == DatabaseColumn::KIND_I32) {
        int32_t v = static_cast<int32_t>(value);
        std::memcpy(field, &v, sizeof v);
    } else {
        uint32_t v = static_cast<uint32_t>(value);
        std::memcpy(field, &v, sizeof v);
    }
    return true;
}

int read_record(DatabaseColumn::Record record, void* data, size_t size, sqlite3* conn) {
    if (data == nullptr || conn == nullptr) {
        return fail("no record or no connection");
    }
    auto* base = static_cast<unsigned char*>(data);
    std::memset(base, 0, size);
    ReadTransaction txn(conn);
    if (!txn.ok()) {
        return -1;
    }
    for (const Table& t : tables()) {
        if (t.record != record) {
            continue;
        }
        StmtPtr stmt;
        if (!prepare(conn, select_sql(t), &stmt)) {
            return -1;
        }
        for (int slot = 0; slot < t.slots; ++slot) {
            sqlite3_reset(stmt.get());
            sqlite3_bind_int(stmt.get(), 1, t.key_value(slot));
            int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_DONE) {
                return fail("%s: table %s has no row %s = %d", file_of(conn), t.name, t.key(),
                            t.key_value(slot));
            }
            if (rc != SQLITE_ROW) {
                return fail_sqlite(conn, "cannot read a row");
            }
            for (size_t i = 0; i < t.count; ++i) {
                const DatabaseColumn& col = t.columns[i];
                if (!load_value(conn, stmt.get(), static_cast<int>(i), col,
                                base + col.offset + static_cast<size_t>(slot) * col.size)) {
                    return -1;
                }
            }
        }
    }
    return 0;
}

// Texts must end inside their arrays: a record that would not read back is not stored.
bool texts_fit(DatabaseColumn::Record record, const unsigned char* base) {
    for (const Table& t : tables()) {
        for (size_t i = 0; t.record == record && i < t.count; ++i) {
            const DatabaseColumn& col = t.columns[i];
            for (int slot = 0; col.kind == DatabaseColumn::KIND_TEXT && slot < t.slots; ++slot) {
                if (std::memchr(base + col.offset + static_cast<size_t>(slot) * col.size, '\0',
                                col.size) == nullptr) {
                    fail("%s.%s (slot %d) has no NUL inside its %zu bytes", col.table, col.name,
                         slot, col.size);
                    return false;
                }
            }
        }
    }
    return true;
}

int bind_value(sqlite3_stmt* stmt, int index, const DatabaseColumn& col,
               const unsigned char* field) {
    switch (col.kind) {
        case DatabaseColumn::KIND_U8:
            return sqlite3_bind_int64(stmt, index, *field);
        case DatabaseColumn::KIND_I32: {
            int32_t v;
            std::memcpy(&v, field, sizeof v);
            return sqlite3_bind_int64(stmt, index, v);
        }
        case DatabaseColumn::KIND_U32: {
            uint32_t v;
            std::memcpy(&v, field, sizeof v);
            return sqlite3_bind_int64(stmt, index, v);
        }
        case DatabaseColumn::KIND_TEXT: {
            size_t len = strnlen(reinterpret_cast<const char*>(field), col.size);
            return sqlite3_bind_text(stmt, index, reinterpret_cast<const char*>(field),
                                     static_cast<int>(len), SQLITE_STATIC);
        }
        case DatabaseColumn::KIND_DIGITS: {
            // Trailing NULs are not stored; a NUL between digits is.
            size_t len = col.size;
            while (len > 0 && field[len - 1] == '\0') {
                --len;
            }
            return sqlite3_bind_text(stmt, index, reinterpret_cast<const char*>(field),
                                     static_cast<int>(len), SQLITE_STATIC);
        }
    }
    return SQLITE_MISUSE;
}

int store_record(DatabaseColumn::Record record, const void* data, sqlite3* conn) {
    if (data == nullptr || conn == nullptr) {
        return fail("no record or no connection");
    }
    const auto* base = static_cast<const unsigned char*>(data);
    if (!texts_fit(record, base)) {
        return -1;
    }
    WriteTransaction txn(conn);
    if (!txn.open()) {
        return -1;
    }
    for (const Table& t : tables()) {
        if (t.record != record) {
            continue;
        }
        StmtPtr stmt;
        if (!prepare(conn, insert_sql(t), &stmt)) {
            return -1;
        }
        for (int slot = 0; slot < t.slots; ++slot) {
            sqlite3_reset(stmt.get());
            int rc = sqlite3_bind_int(stmt.get(), 1, t.key_value(slot));
            for (size_t i = 0; rc == SQLITE_OK && i < t.count; ++i) {
                const DatabaseColumn& col = t.columns[i];
                rc = bind_value(stmt.get(), static_cast<int>(i) + 2, col,
                                base + col.offset + static_cast<size_t>(slot) * col.size);
            }
            if (rc != SQLITE_OK || sqlite3_step(stmt.get()) != SQLITE_DONE) {
                return fail_sqlite(conn, "cannot store a row");
            }
        }
    }
    return txn.commit() ? 0 : -1;
}

// ---- Files and connections ----

// SQLite's URI form of a path, so that no part of the path is read as an option
// (this SQLite reads "file:" names as URIs in any case).
std::string uri_of(const char* path, const char* mode) {
    std::string uri = path[0] == '/' ? "file://" : "file:";
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '%' || *p == '?' || *p == '#') {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(*p));
            uri += hex;
        } else {
            uri += *p;
        }
    }
    return uri + "?mode=" + mode;
}

// A folder where this process may create files.
bool writable_folder(const char* dir) {
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && access(dir, W_OK | X_OK) == 0;
}

// SQLite puts its temporary files in the folder named by SQLITE_TMPDIR, else TMPDIR,
// else the first of /var/tmp, /usr/tmp and /tmp. SQLite itself passes over a named
// folder that does not work and, when none works, uses the current folder; a camera
// would then write temporary files wherever the process happens to run. A folder that
// is named but not usable is a fault of the set-up, and is reported.
int check_temp_folder() {
    for (const char* var : {"SQLITE_TMPDIR", "TMPDIR"}) {
        const char* dir = std::getenv(var);
        if (dir != nullptr && *dir != '\0') {
            return writable_folder(dir)
                       ? 0
                       : fail("%s names %s, which is not a writable folder", var, dir);
        }
    }
    for (const char* dir : {"/var/tmp", "/usr/tmp", "/tmp"}) {
        if (writable_folder(dir)) {
            return 0;
        }
    }
    return fail("no writable folder for temporary files (/var/tmp, /usr/tmp, /tmp)");
}

// Makes the new file's name durable: fsync of the file does not cover its folder.
void sync_parent_folder(const char* path) {
    const char* slash = std::strrchr(path, '/');
    std::string dir = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        ::close(fd);
    }
}

enum class OpenMode { kRead, kWrite };

}  // namespace

// Opens connections while holding the component's lock, so that SQLite is never shut
// down while a connection is being made, and keeps the set of open connections.
class DatabaseConnections {
  public:
    static ConnPtr open(const char* path, const char* name, OpenMode mode, bool checkVersion) {
        if (path == nullptr || *path == '\0') {
            fail("%s: no database path", name);
            return nullptr;
        }
        Database& db = Database::get_instance();
        sqlite3* raw = nullptr;
        int rc;
        {
            std::lock_guard<std::mutex> lock(db.m_mutex);
            std::string uri = uri_of(path, mode == OpenMode::kRead ? "ro" : "rw");
            int flags = (mode == OpenMode::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                        SQLITE_OPEN_URI;
            rc = sqlite3_open_v2(uri.c_str(), &raw, flags, nullptr);
            if (raw != nullptr) {
                db.m_connections.insert(raw);
            }
        }
        ConnPtr conn(raw);
        if (rc != SQLITE_OK) {
            fail("%s: cannot open %s: %s", name, path,
                 raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return nullptr;
        }
        sqlite3_busy_timeout(conn.get(), kBusyTimeoutMs);
        if (checkVersion) {
            StmtPtr stmt;
            if (!query_one(conn.get(), "PRAGMA user_version", &stmt)) {
                fail("%s: %s is not a readable settings database: %s", name, path,
                     sqlite3_errmsg(conn.get()));
                return nullptr;
            }
            int version = sqlite3_column_int(stmt.get(), 0);
            if (version != Database::kSchemaVersion) {
                fail("%s: %s has schema version %d, not %d", name, path, version,
                     Database::kSchemaVersion);
                return nullptr;
            }
        }
        if (mode == OpenMode::kWrite) {
            // A rollback journal keeps the settings in one file and lets read-only
            // connections read without creating any file; FULL makes a commit survive
            // a power cut.
            StmtPtr stmt;
            if (!query_one(conn.get(), "PRAGMA journal_mode = DELETE", &stmt)) {
                return nullptr;
            }
            const char* journal = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
            if (journal == nullptr || std::strcmp(journal, "delete") != 0) {
                fail("%s: %s stays in journal mode %s", name, path,
                     journal != nullptr ? journal : "(unknown)");
                return nullptr;
            }
            stmt.reset();
            if (!exec(conn.get(), "PRAGMA synchronous = FULL")) {
                return nullptr;
            }
        }
        return conn;
    }
};

Database& Database::get_instance() {
    static Database instance;
    return instance;
}

const char* Database::last_error() {
    return s_lastError.c_str();
}

int Database::init() {
    std::lock_guard<std::mutex> lock(m_mutex);
    int rc = sqlite3_initialize();
    if (rc != SQLITE_OK) {
        return fail("SQLite does not initialise: %s", sqlite3_errstr(rc));
    }
    if (check_temp_folder() != 0) {
        return -1;
    }
    ++m_users;
    return 0;
}

// sqlite3_shutdown is safe only when nothing uses SQLite, so it runs only when no
// connection made here is open. Connections that the process makes with SQLite on
// its own are not seen here: such a process passes 0, or keeps an init of its own.
int Database::uninit(int flag) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_users == 0) {
        return fail("uninit without init");
    }
    --m_users;
    if (m_users == 0 && flag == 1 && m_connections.empty()) {
        sqlite3_shutdown();
    }
    return 0;
}

int Database::sqlite_conn(const char* path, const char* name, sqlite3** conn) {
    if (conn == nullptr) {
        return fail("no place for the connection");
    }
    *conn =
        DatabaseConnections::open(path, name != nullptr ? name : "settings", OpenMode::kRead, true)
            .release();
    return *conn != nullptr ? 0 : -1;
}

int Database::sqlite_conn_rw(const char* path, sqlite3** conn) {
    if (conn == nullptr) {
        return fail("no place for the connection");
    }
    *conn = DatabaseConnections::open(path, "settings", OpenMode::kWrite, true).release();
    return *conn != nullptr ? 0 : -1;
}

int Database::sqlite_disconn(sqlite3* conn) {
    if (conn == nullptr) {
        return fail("no connection to close");
    }
    Database& db = get_instance();
    std::lock_guard<std::mutex> lock(db.m_mutex);
    db.m_connections.erase(conn);
    sqlite3_close_v2(conn);
    return 0;
}

int Database::get_lpr_advanced(lpr_advanced_t* adv, sqlite3* conn) {
    return read_record(DatabaseColumn::RECORD_ADVANCED, adv, sizeof *adv, conn);
}

int Database::get_lpr_vehicle_count(VEHICLE_COUNT_SETTING* vcs, sqlite3* conn) {
    return read_record(DatabaseColumn::RECORD_VEHICLE_COUNT, vcs, sizeof *vcs, conn);
}

int Database::set_lpr_advanced(const lpr_advanced_t* adv, sqlite3* conn) {
    return store_record(DatabaseColumn::RECORD_ADVANCED, adv, conn);
}

int Database::set_lpr_vehicle_count(const VEHICLE_COUNT_SETTING* vcs, sqlite3* conn) {
    return store_record(DatabaseColumn::RECORD_VEHICLE_COUNT, vcs, conn);
}

int Database::create_default(const char* path) {
    if (path == nullptr || *path == '\0') {
        return fail("no database path");
    }
    // O_EXCL: an existing file, a settings database or not, is never touched.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        return fail("cannot create %s: %s", path, std::strerror(errno));
    }
    ::close(fd);

    // The empty file is a database without tables until the one transaction below
    // commits: a reader meanwhile finds schema version 0 and fails cleanly.
    bool made = [path] {
        ConnPtr conn = DatabaseConnections::open(path, "settings", OpenMode::kWrite, false);
        if (!conn) {
            return false;
        }
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        default_lpr_advanced(&adv);
        default_vehicle_count(&vcs);
        WriteTransaction txn(conn.get());
        std::string version = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
        return txn.open() && exec(conn.get(), schema_sql().c_str()) &&
               exec(conn.get(), version.c_str()) &&
               store_record(DatabaseColumn::RECORD_ADVANCED, &adv, conn.get()) == 0 &&
               store_record(DatabaseColumn::RECORD_VEHICLE_COUNT, &vcs, conn.get()) == 0 &&
               txn.commit();
    }();
    if (!made) {
        std::string error = s_lastError;
        ::unlink(path);
        ::unlink((std::string(path) + "-journal").c_str());
        return fail("cannot create %s: %s", path, error.c_str());
    }
    sync_parent_folder(path);
    return 0;
}

int Database::check_integrity(sqlite3* conn, std::string* report) {
    std::vector<std::string> findings;
    if (conn == nullptr) {
        findings.emplace_back("no connection");
    } else {
        StmtPtr stmt;
        if (!prepare(conn, "PRAGMA integrity_check", &stmt)) {
            findings.emplace_back(s_lastError);
        } else {
            int rc;
            while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
                const char* line =
                    reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
                if (line != nullptr && std::strcmp(line, "ok") != 0) {
                    findings.emplace_back(line);
                }
            }
            if (rc != SQLITE_DONE) {
                fail_sqlite(conn, "integrity check stopped");
                findings.emplace_back(s_lastError);
            }
        }
        stmt.reset();
        if (query_one(conn, "PRAGMA user_version", &stmt)) {
            int version = sqlite3_column_int(stmt.get(), 0);
            if (version != kSchemaVersion) {
                findings.emplace_back("schema version " + std::to_string(version) + ", not " +
                                      std::to_string(kSchemaVersion));
            }
        } else {
            findings.emplace_back(s_lastError);
        }
        stmt.reset();
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        if (read_record(DatabaseColumn::RECORD_ADVANCED, &adv, sizeof adv, conn) != 0) {
            findings.emplace_back(s_lastError);
        }
        if (read_record(DatabaseColumn::RECORD_VEHICLE_COUNT, &vcs, sizeof vcs, conn) != 0) {
            findings.emplace_back(s_lastError);
        }
    }
    std::string text;
    for (const std::string& finding : findings) {
        text += (text.empty() ? "" : "\n") + finding;
    }
    if (report != nullptr) {
        *report = findings.empty() ? "ok" : text;
    }
    return findings.empty() ? 0 : fail("%s", findings.front().c_str());
}
