// The settings database component: the process-wide object and its user count, the
// failures that last_error() reports, the files (start-up checks, new databases) and
// the connections (read-only or writing opens, URI form, pragmas, integrity check).
// docs/database.md gives the reasons for the journal mode, the synchronous level and
// the locking.
#include "Database.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db_internal.h"

namespace {

// How long a connection waits for a lock that another process holds. Writes are a few
// pages, so a writer holds the lock for milliseconds; a reader that still waits this
// long is looking at a stuck writer.
constexpr int kBusyTimeoutMs = 5000;

// New settings files: owner reads and writes, group reads. The file holds the HTTP
// passwords in clear.
constexpr mode_t kFileMode = 0640;

// A fixed buffer, so that recording a failure never allocates and never throws.
constexpr size_t kErrorSize = 512;
thread_local char s_lastError[kErrorSize];

}  // namespace

namespace lpr_db {

int fail(const char* format, ...) {
    // Formatted apart first: an argument may be the previous message itself.
    char text[kErrorSize];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::memcpy(s_lastError, text, sizeof text);
    return -1;
}

const char* file_of(sqlite3* conn) {
    const char* name = sqlite3_db_filename(conn, "main");
    return name != nullptr && *name != '\0' ? name : "(no file)";
}

int fail_sqlite(sqlite3* conn, const char* what) {
    return fail("%s: %s: %s", file_of(conn), what, sqlite3_errmsg(conn));
}

}  // namespace lpr_db

using lpr_db::exec;
using lpr_db::fail;
using lpr_db::guarded;
using lpr_db::query_one;
using lpr_db::StmtPtr;

namespace {

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

// Makes the new file's name durable: fsync of the file does not cover its folder. Runs
// once the file is complete, so it allocates nothing that could fail: a path that was
// created fits PATH_MAX.
void sync_parent_folder(const char* path) {
    char dir[PATH_MAX] = ".";
    const char* slash = std::strrchr(path, '/');
    if (slash != nullptr) {
        const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
        if (length >= sizeof dir) {
            return;
        }
        std::memcpy(dir, path, length);
        dir[length] = '\0';
    }
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    static Database::Connection open(const char* path, const char* name, OpenMode mode,
                                     bool checkVersion) {
        if (path == nullptr || *path == '\0') {
            fail("%s: no database path", name);
            return Database::Connection();
        }
        Database& db = Database::get_instance();
        std::string uri = uri_of(path, mode == OpenMode::kRead ? "ro" : "rw");
        sqlite3* raw = nullptr;
        int rc;
        {
            std::lock_guard<std::mutex> lock(db.m_mutex);
            int flags = (mode == OpenMode::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                        SQLITE_OPEN_URI;
            rc = sqlite3_open_v2(uri.c_str(), &raw, flags, nullptr);
            if (raw != nullptr) {
                // The set may fail to grow; the handle must not outlive that unseen.
                try {
                    db.m_connections.insert(raw);
                } catch (...) {
                    sqlite3_close_v2(raw);
                    throw;
                }
            }
        }
        Database::Connection conn(raw);
        if (rc != SQLITE_OK) {
            fail("%s: cannot open %s: %s", name, path,
                 raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
            return Database::Connection();
        }
        sqlite3_busy_timeout(conn.get(), kBusyTimeoutMs);
        if (checkVersion) {
            StmtPtr stmt;
            if (!query_one(conn.get(), "PRAGMA user_version", &stmt)) {
                fail("%s: %s is not a readable settings database: %s", name, path,
                     sqlite3_errmsg(conn.get()));
                return Database::Connection();
            }
            int version = sqlite3_column_int(stmt.get(), 0);
            if (version != Database::kSchemaVersion) {
                fail("%s: %s has schema version %d, not %d", name, path, version,
                     Database::kSchemaVersion);
                return Database::Connection();
            }
        }
        if (mode == OpenMode::kWrite) {
            // A rollback journal keeps the settings in one file and lets read-only
            // connections read without creating any file; FULL makes a commit survive
            // a power cut.
            StmtPtr stmt;
            if (!query_one(conn.get(), "PRAGMA journal_mode = DELETE", &stmt)) {
                return Database::Connection();
            }
            const char* journal = reinterpret_cast<const char*>(sqlite3_column_text(stmt.get(), 0));
            if (journal == nullptr || std::strcmp(journal, "delete") != 0) {
                fail("%s: %s stays in journal mode %s", name, path,
                     journal != nullptr ? journal : "(unknown)");
                return Database::Connection();
            }
            stmt.reset();
            if (!exec(conn.get(), "PRAGMA synchronous = FULL")) {
                return Database::Connection();
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
    return s_lastError;
}

int Database::init() {
    return guarded([this] {
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
    });
}

// sqlite3_shutdown is safe only when nothing uses SQLite, so it runs only when no
// connection made here is open. Connections that the process makes with SQLite on
// its own are not seen here: such a process passes 0, or keeps an init of its own.
int Database::uninit(int flag) {
    return guarded([this, flag] {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_users == 0) {
            return fail("uninit without init");
        }
        --m_users;
        if (m_users == 0 && flag == 1 && m_connections.empty()) {
            sqlite3_shutdown();
        }
        return 0;
    });
}

int Database::sqlite_conn(const char* path, const char* name, sqlite3** conn) {
    if (conn == nullptr) {
        return fail("no place for the connection");
    }
    *conn = nullptr;
    return guarded([=] {
        *conn = DatabaseConnections::open(path, name != nullptr ? name : "settings",
                                          OpenMode::kRead, true)
                    .release();
        return *conn != nullptr ? 0 : -1;
    });
}

int Database::sqlite_conn_rw(const char* path, sqlite3** conn) {
    if (conn == nullptr) {
        return fail("no place for the connection");
    }
    *conn = nullptr;
    return guarded([=] {
        *conn = DatabaseConnections::open(path, "settings", OpenMode::kWrite, true).release();
        return *conn != nullptr ? 0 : -1;
    });
}

int Database::sqlite_disconn(sqlite3* conn) {
    if (conn == nullptr) {
        return fail("no connection to close");
    }
    return guarded([conn] {
        Database& db = get_instance();
        std::lock_guard<std::mutex> lock(db.m_mutex);
        db.m_connections.erase(conn);
        sqlite3_close_v2(conn);
        return 0;
    });
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
    int made = guarded([path] {
        Connection conn = DatabaseConnections::open(path, "settings", OpenMode::kWrite, false);
        if (!conn) {
            return -1;
        }
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        default_lpr_advanced(&adv);
        default_vehicle_count(&vcs);
        Transaction txn(conn.get(), Transaction::WRITE);
        std::string version = "PRAGMA user_version = " + std::to_string(kSchemaVersion);
        bool done =
            txn.begun() && exec(conn.get(), lpr_db::schema_sql().c_str()) &&
            exec(conn.get(), version.c_str()) &&
            lpr_db::store_record(DatabaseColumn::RECORD_ADVANCED, &adv, conn.get()) == 0 &&
            lpr_db::store_record(DatabaseColumn::RECORD_VEHICLE_COUNT, &vcs, conn.get()) == 0;
        return done ? txn.commit() : -1;
    });
    if (made != 0) {
        char error[kErrorSize];
        std::memcpy(error, s_lastError, sizeof error);
        ::unlink(path);
        // Without an allocation that could fail now: a journal name too long for the
        // buffer is too long for SQLite to have created it.
        char journal[PATH_MAX];
        if (std::snprintf(journal, sizeof journal, "%s-journal", path) <
            static_cast<int>(sizeof journal)) {
            ::unlink(journal);
        }
        return fail("cannot create %s: %s", path, error);
    }
    sync_parent_folder(path);
    return 0;
}

int Database::check_integrity(sqlite3* conn, std::string* report) {
    return guarded([conn, report] {
        std::vector<std::string> findings;
        if (conn == nullptr) {
            findings.emplace_back("no connection");
        } else {
            StmtPtr stmt;
            if (!lpr_db::prepare(conn, "PRAGMA integrity_check", &stmt)) {
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
                    lpr_db::fail_sqlite(conn, "integrity check stopped");
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
            if (lpr_db::read_record(DatabaseColumn::RECORD_ADVANCED, &adv, sizeof adv, conn) != 0) {
                findings.emplace_back(s_lastError);
            }
            if (lpr_db::read_record(DatabaseColumn::RECORD_VEHICLE_COUNT, &vcs, sizeof vcs, conn) !=
                0) {
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
    });
}
