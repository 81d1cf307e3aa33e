/*
 * liblprcommon settings database component, on SQLite.
 *
 * Readers (the web server library at start-up) open the database read-only and fill
 * whole settings records from it. The writing side is used only by the programs that
 * own the database file (the settings daemon and lpr-settings-db). The schema is in
 * docs/database.md.
 */
#ifndef LPR_DATABASE_H
#define LPR_DATABASE_H

#include <string>

#include "lpr_defs.h"

struct sqlite3;

#define LPR_DB_API __attribute__((visibility("default")))

class LPR_DB_API Database {
  public:
    /* The one process-wide object. */
    static Database& get_instance();

    /* Prepares the SQLite library for use in this process. 0, or -1 when SQLite
     * cannot work here (see docs/database.md). Calls nest: each init is matched by
     * one uninit. */
    int init();

    /* Releases what init prepared. flag 1 also shuts the SQLite library down when
     * this was the last user. 0, or -1 when not initialised. */
    int uninit(int flag);

    /* Opens the settings database at path for reading. Never creates or changes a
     * file. name labels the connection in error messages. 0 with *conn set, or -1
     * with *conn null. */
    static int sqlite_conn(const char* path, const char* name, sqlite3** conn);

    /* Closes a connection from sqlite_conn. 0, or -1 for null. */
    static int sqlite_disconn(sqlite3* conn);

    /* Fill the whole record from the database; gaps and fields without a column are
     * zeroed. 0, or -1 on any failure (missing table or row, a value that does not fit
     * its field, a text longer than its array). On failure the record's contents are
     * unspecified but every byte stays inside the record. */
    int get_lpr_advanced(lpr_advanced_t* adv, sqlite3* conn);
    int get_lpr_vehicle_count(VEHICLE_COUNT_SETTING* vcs, sqlite3* conn);

    /* ---- Writing side: only for the programs that own the database file ---- */

    /* The records of a new camera, as create_default stores them. */
    static void default_lpr_advanced(lpr_advanced_t* adv);
    static void default_vehicle_count(VEHICLE_COUNT_SETTING* vcs);

    /* Creates a settings database at path with the schema and the defaults. -1 when a
     * file already exists at path or it cannot be created. */
    static int create_default(const char* path);

    /* Opens an existing settings database for writing (busy timeout, journal mode and
     * synchronous level as documented). 0 with *conn set, or -1 with *conn null. */
    static int sqlite_conn_rw(const char* path, sqlite3** conn);

    /* Store a whole record in one transaction: either all of it or nothing. 0 or -1. */
    int set_lpr_advanced(const lpr_advanced_t* adv, sqlite3* conn);
    int set_lpr_vehicle_count(const VEHICLE_COUNT_SETTING* vcs, sqlite3* conn);

    /* Runs PRAGMA integrity_check and checks the schema version. 0 when sound; report
     * (if not null) receives SQLite's findings either way. */
    static int check_integrity(sqlite3* conn, std::string* report);

  private:
    Database() = default;
    ~Database() = default;
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    int m_users = 0;
};

#endif /* LPR_DATABASE_H */
