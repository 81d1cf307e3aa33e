// What the settings database component's source files share, and nothing else includes:
//   Database.cpp    the component object, its failures, files and connections;
//   db_sql.cpp      statements, transactions and the SQL made from the column table;
//   db_records.cpp  whole records, field by field through their columns;
//   db_schema.cpp   the column table and the settings of a new camera.
#ifndef LPR_DB_INTERNAL_H
#define LPR_DB_INTERNAL_H

#include <sqlite3.h>

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Database.h"

namespace lpr_db {

// Records a failure for last_error() and returns -1. Never throws: the text is cut to
// the component's fixed buffer.
int fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The connection's file name, for messages.
const char* file_of(sqlite3* conn);

// fail() with the connection's file, what was being done, and SQLite's message.
int fail_sqlite(sqlite3* conn, const char* what);

// Runs the body of one of the component's calls. Whatever it throws (memory exhausted,
// a mutex that cannot be locked) becomes a -1 with the reason in last_error(): the
// component answers every failure the same way, and no exception reaches a caller that
// lives behind a C interface. Resources the body holds are released by their owners
// while the exception passes.
template <typename Body>
int guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    } catch (const std::exception& e) {
        return fail("%s", e.what());
    } catch (...) {
        return fail("unexpected failure");
    }
}

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

// Each false or -1 below has recorded its failure.
bool prepare(sqlite3* conn, const std::string& sql, StmtPtr* stmt);
bool exec(sqlite3* conn, const char* sql);
// Runs a statement that answers one row, and stops on it.
bool query_one(sqlite3* conn, const char* sql, StmtPtr* stmt);

// One table of the schema: a run of rows of the column table.
struct Table {
    const char* name;
    DatabaseColumn::Record record;
    int slots;
    const DatabaseColumn* columns;
    size_t count;
    const char* key() const { return slots == 1 ? "id" : "slot"; }
    int key_value(int slot) const { return slots == 1 ? 1 : slot; }
};

const std::vector<Table>& tables();
std::string schema_sql();
// Reads one row by its key (?1), the columns in table order.
std::string select_sql(const Table& t);
// Stores one row: the key (?1), then the columns in table order (?2...).
std::string insert_sql(const Table& t);

// The whole record from, and into, the tables that hold its fields.
int read_record(DatabaseColumn::Record record, void* data, size_t size, sqlite3* conn);
int store_record(DatabaseColumn::Record record, const void* data, sqlite3* conn);

}  // namespace lpr_db

#endif /* LPR_DB_INTERNAL_H */
