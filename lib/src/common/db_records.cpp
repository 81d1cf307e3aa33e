// Whole settings records in and out of the database, field by field: each column of the
// column table (db_schema.cpp) is read into, and stored from, its record field through
// lpr::RecordField, which alone knows how a field's bytes are laid out.
#include <cstring>

#include "db_internal.h"

namespace lpr_db {

namespace {

// Copies one value of a result row into its field, after checking that it fits.
bool load_value(sqlite3* conn, sqlite3_stmt* stmt, int index, const DatabaseColumn& col,
                const lpr::RecordField& field, void* record) {
    int type = sqlite3_column_type(stmt, index);
    if (field.is_text()) {
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
        if (bytes > field.text_capacity()) {
            fail("%s: %s.%s holds %zu bytes, at most %zu fit", file_of(conn), col.table, col.name,
                 bytes, field.text_capacity());
            return false;
        }
        field.set_text(record, reinterpret_cast<const char*>(text), bytes);
        return true;
    }
    if (type != SQLITE_INTEGER) {
        fail("%s: %s.%s is not an integer", file_of(conn), col.table, col.name);
        return false;
    }
    int64_t value = sqlite3_column_int64(stmt, index);
    if (!field.holds(value)) {
        lpr::FieldRange r = field.range();
        fail("%s: %s.%s = %lld does not fit %lld..%lld", file_of(conn), col.table, col.name,
             static_cast<long long>(value), static_cast<long long>(r.min),
             static_cast<long long>(r.max));
        return false;
    }
    field.set_number(record, value);
    return true;
}

int bind_value(sqlite3_stmt* stmt, int index, const lpr::RecordField& field, const void* record) {
    if (field.is_text()) {
        return sqlite3_bind_text(stmt, index, field.text(record),
                                 static_cast<int>(field.text_length(record)), SQLITE_STATIC);
    }
    return sqlite3_bind_int64(stmt, index, field.number(record));
}

// Texts must end inside their arrays: a record that would not read back is not stored.
bool texts_fit(DatabaseColumn::Record record, const void* data) {
    for (const Table& t : tables()) {
        for (size_t i = 0; t.record == record && i < t.count; ++i) {
            const DatabaseColumn& col = t.columns[i];
            for (int slot = 0; slot < t.slots; ++slot) {
                if (!col.field.element(static_cast<size_t>(slot)).text_terminated(data)) {
                    fail("%s.%s (slot %d) has no NUL inside its %zu bytes", col.table, col.name,
                         slot, col.field.size);
                    return false;
                }
            }
        }
    }
    return true;
}

// Runs the statement that sql_of makes for each table holding the record's fields, once
// per row of it, with the row's key bound to ?1; row() does the rest of that row and
// answers false, with the failure recorded, to stop.
template <typename Row>
int for_each_row(DatabaseColumn::Record record, sqlite3* conn, std::string (*sql_of)(const Table&),
                 Row row) {
    for (const Table& t : tables()) {
        if (t.record != record) {
            continue;
        }
        StmtPtr stmt;
        if (!prepare(conn, sql_of(t), &stmt)) {
            return -1;
        }
        for (int slot = 0; slot < t.slots; ++slot) {
            sqlite3_reset(stmt.get());
            if (sqlite3_bind_int(stmt.get(), 1, t.key_value(slot)) != SQLITE_OK) {
                return fail_sqlite(conn, "cannot bind a row's key");
            }
            if (!row(t, stmt.get(), slot)) {
                return -1;
            }
        }
    }
    return 0;
}

}  // namespace

int read_record(DatabaseColumn::Record record, void* data, size_t size, sqlite3* conn) {
    if (data == nullptr || conn == nullptr) {
        return fail("no record or no connection");
    }
    std::memset(data, 0, size);
    Database::Transaction txn(conn, Database::Transaction::READ);
    if (!txn.begun()) {
        return -1;
    }
    auto load_row = [&](const Table& t, sqlite3_stmt* stmt, int slot) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) {
            fail("%s: table %s has no row %s = %d", file_of(conn), t.name, t.key(),
                 t.key_value(slot));
            return false;
        }
        if (rc != SQLITE_ROW) {
            fail_sqlite(conn, "cannot read a row");
            return false;
        }
        for (size_t i = 0; i < t.count; ++i) {
            const DatabaseColumn& col = t.columns[i];
            if (!load_value(conn, stmt, static_cast<int>(i), col,
                            col.field.element(static_cast<size_t>(slot)), data)) {
                return false;
            }
        }
        return true;
    };
    return for_each_row(record, conn, select_sql, load_row) == 0 ? txn.commit() : -1;
}

int store_record(DatabaseColumn::Record record, const void* data, sqlite3* conn) {
    if (data == nullptr || conn == nullptr) {
        return fail("no record or no connection");
    }
    if (!texts_fit(record, data)) {
        return -1;
    }
    Database::Transaction txn(conn, Database::Transaction::WRITE);
    if (!txn.begun()) {
        return -1;
    }
    auto store_row = [&](const Table& t, sqlite3_stmt* stmt, int slot) {
        int rc = SQLITE_OK;
        for (size_t i = 0; rc == SQLITE_OK && i < t.count; ++i) {
            rc = bind_value(stmt, static_cast<int>(i) + 2,
                            t.columns[i].field.element(static_cast<size_t>(slot)), data);
        }
        if (rc != SQLITE_OK || sqlite3_step(stmt) != SQLITE_DONE) {
            fail_sqlite(conn, "cannot store a row");
            return false;
        }
        return true;
    };
    return for_each_row(record, conn, insert_sql, store_row) == 0 ? txn.commit() : -1;
}

}  // namespace lpr_db

int Database::get_lpr_advanced(lpr_advanced_t* adv, sqlite3* conn) {
    return lpr_db::guarded([&] {
        return lpr_db::read_record(DatabaseColumn::RECORD_ADVANCED, adv, sizeof *adv, conn);
    });
}

int Database::get_lpr_vehicle_count(VEHICLE_COUNT_SETTING* vcs, sqlite3* conn) {
    return lpr_db::guarded([&] {
        return lpr_db::read_record(DatabaseColumn::RECORD_VEHICLE_COUNT, vcs, sizeof *vcs, conn);
    });
}

int Database::set_lpr_advanced(const lpr_advanced_t* adv, sqlite3* conn) {
    return lpr_db::guarded(
        [&] { return lpr_db::store_record(DatabaseColumn::RECORD_ADVANCED, adv, conn); });
}

int Database::set_lpr_vehicle_count(const VEHICLE_COUNT_SETTING* vcs, sqlite3* conn) {
    return lpr_db::guarded(
        [&] { return lpr_db::store_record(DatabaseColumn::RECORD_VEHICLE_COUNT, vcs, conn); });
}
