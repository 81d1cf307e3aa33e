// The settings database's SQL: running statements, transactions, and the schema and
// row statements made from the column table (db_schema.cpp), so that a column is named,
// typed and bounded in one row only.
#include <cstring>
#include <string>
#include <vector>

#include "db_internal.h"

namespace lpr_db {

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

namespace {

std::string quoted(const char* name) {
    return std::string("\"") + name + "\"";
}

}  // namespace

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
            const lpr::RecordField& field = t.columns[i].field;
            std::string name = quoted(t.columns[i].name);
            if (field.is_text()) {
                sql += ",\n  " + name + " TEXT NOT NULL CHECK (typeof(" + name +
                       ") = 'text' AND length(CAST(" + name +
                       " AS BLOB)) <= " + std::to_string(field.text_capacity()) + ")";
            } else {
                lpr::FieldRange r = field.range();
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

}  // namespace lpr_db

using lpr_db::exec;

Database::Transaction::Transaction(sqlite3* conn, Mode mode) : m_conn(conn) {
    if (conn == nullptr) {
        lpr_db::fail("no connection for a transaction");
        return;
    }
    const bool nested = sqlite3_get_autocommit(conn) == 0;
    if (nested && mode == READ) {
        m_begun = true;  // the caller's transaction already holds the read together
        return;
    }
    m_savepoint = nested;
    m_begun = exec(conn, nested         ? "SAVEPOINT lpr_store"
                         : mode == READ ? "BEGIN"
                                        : "BEGIN IMMEDIATE");
    m_open = m_begun;
}

Database::Transaction::~Transaction() {
    if (m_open) {
        sqlite3_exec(m_conn, m_savepoint ? "ROLLBACK TO lpr_store; RELEASE lpr_store" : "ROLLBACK",
                     nullptr, nullptr, nullptr);
    }
}

int Database::Transaction::commit() {
    if (!m_begun) {
        return -1;
    }
    if (m_open) {
        if (!exec(m_conn, m_savepoint ? "RELEASE lpr_store" : "COMMIT")) {
            return -1;
        }
        m_open = false;
    }
    return 0;
}
