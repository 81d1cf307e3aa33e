/*
 * liblprcommon settings database component, on SQLite.
 *
 * Readers (the web server library at start-up) open the database read-only and fill
 * whole settings records from it. The writing side is used only by the programs that
 * own the database file (the settings daemon and lpr-settings-db). The schema, the
 * defaults, the journal mode and the locking rules are in docs/database.md.
 *
 * Every call may be made from any thread. A connection (sqlite3*) belongs to one thread
 * at a time; Database::Connection owns one and Database::Transaction a transaction on it,
 * as Database::User owns one init.
 * Failures return -1 and leave a one-line description in last_error(); no call throws,
 * so no exception leaves the component (an allocation failure is a -1 like any other).
 */
#ifndef LPR_DATABASE_H
#define LPR_DATABASE_H

#include <stddef.h>

#include <mutex>
#include <set>
#include <string>

#include "lpr_defs.h"
#include "record_field.h"

struct sqlite3;

#define LPR_DB_API __attribute__((visibility("default")))

/* One column of the schema and the record field it fills. */
struct DatabaseColumn {
    enum Record {
        RECORD_ADVANCED,      /* lpr_advanced_t */
        RECORD_VEHICLE_COUNT, /* VEHICLE_COUNT_SETTING */
    };

    const char* table;
    const char* name;
    Record record;
    lpr::RecordField field; /* slot 0 of a table of slots; slot i is field.element(i) */
    int slots;              /* 1: the table's one row has id 1; 3: rows with slot 0, 1 and 2 */
};

class LPR_DB_API Database {
  public:
    /* The schema version kept in PRAGMA user_version. */
    static constexpr int kSchemaVersion = 1;

    /* The one process-wide object. */
    static Database& get_instance();

    /* Prepares the SQLite library for use in this process and checks that SQLite's
     * folder for temporary files is a writable folder. 0, or -1 when SQLite cannot
     * work here (see docs/database.md). Calls nest: each init is matched by one
     * uninit. */
    int init();

    /* Releases one init. When the last one is released and flag is 1, SQLite is shut
     * down too, unless a connection opened here is still open. 0, or -1 when not
     * initialised. */
    int uninit(int flag);

    /* Opens the settings database at path for reading. Never creates or changes a
     * file. name labels the connection in error messages. Fails for a file that is
     * not a settings database of kSchemaVersion. 0 with *conn set, or -1 with *conn
     * null. */
    static int sqlite_conn(const char* path, const char* name, sqlite3** conn);

    /* Closes a connection from sqlite_conn or sqlite_conn_rw. 0, or -1 for null. */
    static int sqlite_disconn(sqlite3* conn);

    /* Fill the whole record from the database; gaps and fields without a column are
     * zeroed. 0, or -1 on any failure (missing table or row, a value that does not fit
     * its field, a text longer than its array). On failure the record is partly
     * filled, never written beyond its end. */
    int get_lpr_advanced(lpr_advanced_t* adv, sqlite3* conn);
    int get_lpr_vehicle_count(VEHICLE_COUNT_SETTING* vcs, sqlite3* conn);

    /* ---- Writing side: only for the programs that own the database file ---- */

    /* The records of a new camera, as create_default stores them. */
    static void default_lpr_advanced(lpr_advanced_t* adv);
    static void default_vehicle_count(VEHICLE_COUNT_SETTING* vcs);

    /* Creates a settings database at path with the schema and the defaults, in one
     * transaction. -1 when a file already exists at path (it is left alone) or it
     * cannot be created (nothing is left behind). */
    static int create_default(const char* path);

    /* Opens an existing settings database of kSchemaVersion for writing (busy timeout,
     * journal mode and synchronous level as documented). Never creates a file. 0 with
     * *conn set, or -1 with *conn null. */
    static int sqlite_conn_rw(const char* path, sqlite3** conn);

    /* Store a whole record in one transaction: either all of it or nothing. The write
     * lock is taken up front (BEGIN IMMEDIATE). Inside a transaction the caller opened,
     * the store is a savepoint of it, so that several stores commit together. A text
     * field without its NUL inside its array is refused before anything is written.
     * 0 or -1. */
    int set_lpr_advanced(const lpr_advanced_t* adv, sqlite3* conn);
    int set_lpr_vehicle_count(const VEHICLE_COUNT_SETTING* vcs, sqlite3* conn);

    /* Runs PRAGMA integrity_check, checks the schema version and reads both records.
     * 0 when sound; report (if not null) receives "ok" or the findings, one a line. */
    static int check_integrity(sqlite3* conn, std::string* report);

    /* Every column of the schema, table by table, in storage order. */
    static const DatabaseColumn* columns(size_t* count);

    /* The description of the last failure of a call made on this thread; valid until
     * the next failure on this thread. */
    static const char* last_error();

    /* ---- Owning a use of the component, a connection and a transaction ---- */

    class User;
    class Connection;
    class Transaction;

  private:
    Database() = default;
    ~Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    friend class DatabaseConnections;

    std::mutex m_mutex;               /* guards m_users and m_connections */
    int m_users = 0;                  /* inits not yet released */
    std::set<sqlite3*> m_connections; /* open connections made here */
};

/*
 * One use of the component for the life of the object: init() when it is made, and the
 * matching uninit(flag) when it goes, if the init succeeded. Flag 1 lets the last user shut
 * SQLite down (a program that uses SQLite only through Database); flag 0 leaves that to the
 * other users (a check inside a process whose own users decide, such as lpr-webd, where the
 * web server library calls init and uninit itself). Never throws; not copied or moved.
 */
class Database::User {
  public:
    explicit User(int uninitFlag = 1)
        : m_flag(uninitFlag), m_ok(Database::get_instance().init() == 0) {}
    ~User() {
        if (m_ok) {
            Database::get_instance().uninit(m_flag);
        }
    }
    User(const User&) = delete;
    User& operator=(const User&) = delete;

    /* Whether the init succeeded; when not, last_error() says why. */
    bool ok() const { return m_ok; }

  private:
    int m_flag;
    bool m_ok;
};

/*
 * Owns a connection from sqlite_conn or sqlite_conn_rw and closes it with sqlite_disconn
 * when it goes, on every path. Move-only; never throws. Empty after a failed open: it
 * then closes nothing.
 */
class Database::Connection {
  public:
    Connection() = default;
    explicit Connection(sqlite3* conn) : m_conn(conn) {}
    ~Connection() { reset(); }
    Connection(Connection&& other) noexcept : m_conn(other.release()) {}
    Connection& operator=(Connection&& other) noexcept {
        reset(other.release());
        return *this;
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /* sqlite_conn and sqlite_conn_rw into this object, after closing what it held.
     * 0, or -1 and empty. */
    int open(const char* path, const char* name) {
        reset();
        return Database::sqlite_conn(path, name, &m_conn);
    }
    int open_rw(const char* path) {
        reset();
        return Database::sqlite_conn_rw(path, &m_conn);
    }

    sqlite3* get() const { return m_conn; }
    explicit operator bool() const { return m_conn != nullptr; }

    /* Hands the connection over; the caller closes it. */
    sqlite3* release() {
        sqlite3* conn = m_conn;
        m_conn = nullptr;
        return conn;
    }

    /* Closes the connection held, if any, and holds conn instead. */
    void reset(sqlite3* conn = nullptr) {
        sqlite3* old = m_conn;
        m_conn = conn;
        if (old != nullptr) {
            Database::sqlite_disconn(old);
        }
    }

  private:
    sqlite3* m_conn = nullptr;
};

/*
 * A transaction on a connection, rolled back by the destructor unless commit() succeeded,
 * so that work that stops half-way, on any path, leaves nothing behind.
 *
 * READ begins a deferred transaction: the statements of a read see one state of the file,
 * and no writer's commit lands between them. WRITE begins with BEGIN IMMEDIATE and so
 * takes the write lock up front: two writers never both hold a read lock and wait on each
 * other to upgrade it. Inside a transaction that the caller already opened on the
 * connection, a WRITE is a savepoint of it (its changes commit with the caller's) and a
 * READ adds nothing.
 *
 * Never throws; a failure to begin or to commit leaves its reason in last_error(). Used
 * on the connection's thread only.
 */
class LPR_DB_API Database::Transaction {
  public:
    enum Mode { READ, WRITE };

    Transaction(sqlite3* conn, Mode mode);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    /* Whether the transaction began; when not, last_error() says why. */
    bool begun() const { return m_begun; }

    /* Ends the transaction and keeps its changes. 0; -1 when it did not begin or the
     * commit failed (the destructor then rolls back). */
    int commit();

  private:
    sqlite3* m_conn;
    bool m_savepoint = false; /* a savepoint of the caller's transaction */
    bool m_begun = false;
    bool m_open = false; /* begun here, not yet ended: the destructor rolls back */
};

#endif /* LPR_DATABASE_H */
