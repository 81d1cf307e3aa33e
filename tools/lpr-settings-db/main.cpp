// lpr-settings-db: creates, prints, changes and checks a camera's settings
// database.
//
// Keys name one column: "table.column" for the single-row tables and
// "table[slot].column" for the HTTP destinations, e.g. lpr_advanced.osd_font_size or
// vehicle_post_http[1].url. "keys" lists them all. Exit status: 0 done, 1 the database
// refused or failed, 2 a wrong command line.
#include <cjson/cJSON.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Database.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: lpr-settings-db COMMAND [DATABASE] [ARG...]\n"
    "  create DATABASE            make a new settings database holding the defaults\n"
    "  show DATABASE              print both settings records as JSON\n"
    "  get DATABASE KEY...        print the value of each key, one a line\n"
    "  set DATABASE KEY=VALUE...  change fields; all changes are stored together or none\n"
    "  check DATABASE             check integrity; prints \"ok\" or the findings\n"
    "  keys                       list every key with its type\n"
    "Keys: table.column, or vehicle_post_http[SLOT].column for the HTTP destinations.\n";

struct CJsonDeleter {
    void operator()(cJSON* json) const { cJSON_Delete(json); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

int usage_error(const std::string& message) {
    std::fprintf(stderr, "lpr-settings-db: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

int db_error() {
    std::fprintf(stderr, "lpr-settings-db: %s\n", Database::last_error());
    return kExitFailed;
}

// Both records, as they are read and written.
struct Records {
    lpr_advanced_t adv;
    VEHICLE_COUNT_SETTING vcs;

    void* of(const DatabaseColumn& col) {
        return col.record == DatabaseColumn::RECORD_ADVANCED ? static_cast<void*>(&adv)
                                                             : static_cast<void*>(&vcs);
    }
};

std::vector<DatabaseColumn> all_columns() {
    size_t count = 0;
    const DatabaseColumn* cols = Database::columns(&count);
    return std::vector<DatabaseColumn>(cols, cols + count);
}

struct Key {
    DatabaseColumn col;
    int slot;
    lpr::RecordField field() const { return col.field.element(static_cast<size_t>(slot)); }
};

std::string key_name(const DatabaseColumn& col, int slot) {
    std::string name = col.table;
    if (col.slots > 1) {
        name += "[" + std::to_string(slot) + "]";
    }
    return name + "." + col.name;
}

bool find_key(const std::string& text, Key* key) {
    for (const DatabaseColumn& col : all_columns()) {
        for (int slot = 0; slot < col.slots; ++slot) {
            if (text == key_name(col, slot)) {
                *key = Key{col, slot};
                return true;
            }
        }
    }
    return false;
}

// The bytes of a text field that are stored: up to the NUL for a text, up to the last
// byte that is not NUL for the digits of osd_space.
std::string text_value(const lpr::RecordField& field, const void* record) {
    return std::string(field.text(record), field.text_length(record));
}

// A JSON string of any bytes, NULs included (cJSON's strings end at a NUL).
std::string json_string(const std::string& bytes) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Sets one field from its text form; false with a message when it does not fit.
bool assign(Records* rec, const Key& key, const char* value) {
    const lpr::RecordField field = key.field();
    void* record = rec->of(key.col);
    if (field.is_text()) {
        size_t len = std::strlen(value);
        if (len > field.text_capacity()) {
            std::fprintf(stderr, "lpr-settings-db: %s takes at most %zu bytes, not %zu\n",
                         key_name(key.col, key.slot).c_str(), field.text_capacity(), len);
            return false;
        }
        field.set_text(record, value, len);
        return true;
    }
    lpr::FieldRange range = field.range();
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || !field.holds(number)) {
        std::fprintf(stderr,
                     "lpr-settings-db: %s takes a whole number %" PRId64 "..%" PRId64
                     ", not \"%s\"\n",
                     key_name(key.col, key.slot).c_str(), range.min, range.max, value);
        return false;
    }
    field.set_number(record, number);
    return true;
}

bool read_both(sqlite3* conn, Records* rec) {
    Database& db = Database::get_instance();
    return db.get_lpr_advanced(&rec->adv, conn) == 0 &&
           db.get_lpr_vehicle_count(&rec->vcs, conn) == 0;
}

cJSON* json_value(const lpr::RecordField& field, const void* record) {
    if (field.is_text()) {
        return cJSON_CreateRaw(json_string(text_value(field, record)).c_str());
    }
    return cJSON_CreateNumber(static_cast<double>(field.number(record)));
}

int cmd_show(const char* path) {
    Database::Connection conn;
    Records rec;
    if (conn.open(path, "settings") != 0 || !read_both(conn.get(), &rec)) {
        return db_error();
    }
    CJsonPtr root(cJSON_CreateObject());
    for (const DatabaseColumn& col : all_columns()) {
        cJSON* table = cJSON_GetObjectItemCaseSensitive(root.get(), col.table);
        if (table == nullptr) {
            table = col.slots == 1 ? cJSON_CreateObject() : cJSON_CreateArray();
            cJSON_AddItemToObject(root.get(), col.table, table);
            for (int slot = 0; slot < col.slots && col.slots > 1; ++slot) {
                cJSON* row = cJSON_CreateObject();
                cJSON_AddNumberToObject(row, "slot", slot);
                cJSON_AddItemToArray(table, row);
            }
        }
        for (int slot = 0; slot < col.slots; ++slot) {
            cJSON* row = col.slots == 1 ? table : cJSON_GetArrayItem(table, slot);
            cJSON_AddItemToObject(
                row, col.name,
                json_value(col.field.element(static_cast<size_t>(slot)), rec.of(col)));
        }
    }
    char* text = cJSON_Print(root.get());
    if (text == nullptr) {
        std::fprintf(stderr, "lpr-settings-db: out of memory\n");
        return kExitFailed;
    }
    std::printf("%s\n", text);
    cJSON_free(text);
    return 0;
}

int cmd_get(const char* path, int argc, char** argv) {
    std::vector<Key> keys;
    for (int i = 0; i < argc; ++i) {
        Key key;
        if (!find_key(argv[i], &key)) {
            return usage_error(std::string("no key ") + argv[i]);
        }
        keys.push_back(key);
    }
    if (keys.empty()) {
        return usage_error("get needs at least one key");
    }
    Database::Connection conn;
    Records rec;
    if (conn.open(path, "settings") != 0 || !read_both(conn.get(), &rec)) {
        return db_error();
    }
    for (const Key& key : keys) {
        const lpr::RecordField field = key.field();
        if (field.is_text()) {
            std::string text = text_value(field, rec.of(key.col));
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
        } else {
            std::printf("%" PRId64 "\n", field.number(rec.of(key.col)));
        }
    }
    return 0;
}

int cmd_set(const char* path, int argc, char** argv) {
    struct Assignment {
        Key key;
        const char* value;
    };
    std::vector<Assignment> changes;
    for (int i = 0; i < argc; ++i) {
        const char* eq = std::strchr(argv[i], '=');
        if (eq == nullptr) {
            return usage_error(std::string(argv[i]) + " is not KEY=VALUE");
        }
        std::string name(argv[i], static_cast<size_t>(eq - argv[i]));
        Key key;
        if (!find_key(name, &key)) {
            return usage_error("no key " + name);
        }
        changes.push_back(Assignment{key, eq + 1});
    }
    if (changes.empty()) {
        return usage_error("set needs at least one KEY=VALUE");
    }
    Database::Connection conn;
    if (conn.open_rw(path) != 0) {
        return db_error();
    }
    // One transaction around the read and the stores, so that fields of both records
    // change together and the values read are the values changed: no other writer gets
    // between. The stores become savepoints of it.
    Database::Transaction txn(conn.get(), Database::Transaction::WRITE);
    Records rec;
    if (!txn.begun() || !read_both(conn.get(), &rec)) {
        return db_error();
    }
    bool advanced = false;
    bool count = false;
    for (const Assignment& change : changes) {
        if (!assign(&rec, change.key, change.value)) {
            return kExitUsage;
        }
        (change.key.col.record == DatabaseColumn::RECORD_ADVANCED ? advanced : count) = true;
    }
    Database& db = Database::get_instance();
    if ((advanced && db.set_lpr_advanced(&rec.adv, conn.get()) != 0) ||
        (count && db.set_lpr_vehicle_count(&rec.vcs, conn.get()) != 0) || txn.commit() != 0) {
        return db_error();
    }
    return 0;
}

int cmd_check(const char* path) {
    Database::Connection conn;
    if (conn.open(path, "settings") != 0) {
        return db_error();
    }
    std::string report;
    int rc = Database::check_integrity(conn.get(), &report);
    std::printf("%s\n", report.c_str());
    return rc == 0 ? 0 : kExitFailed;
}

int cmd_keys() {
    for (const DatabaseColumn& col : all_columns()) {
        for (int slot = 0; slot < col.slots; ++slot) {
            const lpr::RecordField& field = col.field;
            if (field.is_text()) {
                std::printf("%s %s of at most %zu bytes\n", key_name(col, slot).c_str(),
                            field.type == lpr::FieldType::TEXT ? "text" : "digits",
                            field.text_capacity());
            } else {
                std::printf("%s integer %" PRId64 "..%" PRId64 "\n", key_name(col, slot).c_str(),
                            field.range().min, field.range().max);
            }
        }
    }
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    std::string cmd = argv[1];
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (cmd == "keys") {
        return argc == 2 ? cmd_keys() : usage_error("keys takes no arguments");
    }
    if (argc < 3) {
        return usage_error(cmd + " needs a database path");
    }
    const char* path = argv[2];
    int rest = argc - 3;
    if (cmd == "create" && rest == 0) {
        return Database::create_default(path) == 0 ? 0 : db_error();
    }
    if (cmd == "show" && rest == 0) {
        return cmd_show(path);
    }
    if (cmd == "check" && rest == 0) {
        return cmd_check(path);
    }
    if (cmd == "get") {
        return cmd_get(path, rest, argv + 3);
    }
    if (cmd == "set") {
        return cmd_set(path, rest, argv + 3);
    }
    return usage_error("unknown command or wrong arguments: " + cmd);
}

}  // namespace

int main(int argc, char** argv) {
    Database& db = Database::get_instance();
    if (db.init() != 0) {
        return db_error();
    }
    int rc = run(argc, argv);
    db.uninit(1);
    return rc;
}
