// lpr-settings-db: creates, prints, changes and checks a camera's settings
// database.
//
// Keys name one column: "table.column" for the single-row tables and
// "table[slot].column" for the HTTP destinations, e.g. lpr_advanced.osd_font_size or
// vehicle_post_http[1].url. "keys" lists them all. Exit status: 0 done, 1 the database
// refused or failed, 2 a wrong command line.
#include <cjson/cJSON.h>
#include <sqlite3.h>

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

    unsigned char* base(const DatabaseColumn& col) {
        return col.record == DatabaseColumn::RECORD_ADVANCED
                   ? reinterpret_cast<unsigned char*>(&adv)
                   : reinterpret_cast<unsigned char*>(&vcs);
    }
    unsigned char* field(const DatabaseColumn& col, int slot) {
        return base(col) + col.offset + static_cast<size_t>(slot) * col.size;
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

bool is_text(const DatabaseColumn& col) {
    return col.kind == DatabaseColumn::KIND_TEXT || col.kind == DatabaseColumn::KIND_DIGITS;
}

// The bytes of a text field that are stored: up to the NUL for a text, up to the last
// byte that is not NUL for the digits of osd_space.
std::string text_value(const DatabaseColumn& col, const unsigned char* field) {
    const char* chars = reinterpret_cast<const char*>(field);
    if (col.kind == DatabaseColumn::KIND_TEXT) {
        return std::string(chars, strnlen(chars, col.size));
    }
    size_t len = col.size;
    while (len > 0 && field[len - 1] == '\0') {
        --len;
    }
    return std::string(chars, len);
}

int64_t number_value(const DatabaseColumn& col, const unsigned char* field) {
    if (col.kind == DatabaseColumn::KIND_U8) {
        return *field;
    }
    if (col.kind == DatabaseColumn::KIND_I32) {
        int32_t v;
        std::memcpy(&v, field, sizeof v);
        return v;
    }
    uint32_t v;
    std::memcpy(&v, field, sizeof v);
    return v;
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
    const DatabaseColumn& col = key.col;
    unsigned char* field = rec->field(col, key.slot);
    if (is_text(col)) {
        size_t limit = col.kind == DatabaseColumn::KIND_TEXT ? col.size - 1 : col.size;
        size_t len = std::strlen(value);
        if (len > limit) {
            std::fprintf(stderr, "lpr-settings-db: %s takes at most %zu bytes, not %zu\n",
                         key_name(col, key.slot).c_str(), limit, len);
            return false;
        }
        std::memset(field, 0, col.size);
        std::memcpy(field, value, len);
        return true;
    }
    int64_t min = col.kind == DatabaseColumn::KIND_I32 ? INT32_MIN : 0;
    int64_t max = col.kind == DatabaseColumn::KIND_U8    ? UINT8_MAX
                  : col.kind == DatabaseColumn::KIND_I32 ? INT32_MAX
                                                         : UINT32_MAX;
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || number < min || number > max) {
        std::fprintf(stderr,
                     "lpr-settings-db: %s takes a whole number %" PRId64 "..%" PRId64
                     ", not \"%s\"\n",
                     key_name(col, key.slot).c_str(), min, max, value);
        return false;
    }
    if (col.kind == DatabaseColumn::KIND_U8) {
        *field = static_cast<uint8_t>(number);
    } else if (col.kind == DatabaseColumn::KIND_I32) {
        int32_t v = static_cast<int32_t>(number);
        std::memcpy(field, &v, sizeof v);
    } else {
        uint32_t v = static_cast<uint32_t>(number);
        std::memcpy(field, &v, sizeof v);
    }
    return true;
}

// A connection from Database, closed on every way out.
struct Conn {
    sqlite3* handle = nullptr;
    ~Conn() {
        if (handle != nullptr) {
            Database::sqlite_disconn(handle);
        }
    }
};

bool read_both(sqlite3* conn, Records* rec) {
    Database& db = Database::get_instance();
    return db.get_lpr_advanced(&rec->adv, conn) == 0 &&
           db.get_lpr_vehicle_count(&rec->vcs, conn) == 0;
}

cJSON* json_value(const DatabaseColumn& col, const unsigned char* field) {
    if (is_text(col)) {
        return cJSON_CreateRaw(json_string(text_value(col, field)).c_str());
    }
    return cJSON_CreateNumber(static_cast<double>(number_value(col, field)));
}

int cmd_show(const char* path) {
    Conn conn;
    Records rec;
    if (Database::sqlite_conn(path, "settings", &conn.handle) != 0 ||
        !read_both(conn.handle, &rec)) {
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
            cJSON_AddItemToObject(row, col.name, json_value(col, rec.field(col, slot)));
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
    Conn conn;
    Records rec;
    if (Database::sqlite_conn(path, "settings", &conn.handle) != 0 ||
        !read_both(conn.handle, &rec)) {
        return db_error();
    }
    for (const Key& key : keys) {
        const unsigned char* field = rec.field(key.col, key.slot);
        if (is_text(key.col)) {
            std::string text = text_value(key.col, field);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fputc('\n', stdout);
        } else {
            std::printf("%" PRId64 "\n", number_value(key.col, field));
        }
    }
    return 0;
}

// The tool's own transaction around the stores, so that fields of both records change
// together and the values read are the values changed: no other writer gets between.
class Transaction {
  public:
    explicit Transaction(sqlite3* conn) : m_conn(conn) {
        m_open = sqlite3_exec(conn, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~Transaction() {
        if (m_open) {
            sqlite3_exec(m_conn, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    bool open() const { return m_open; }
    bool commit() {
        if (sqlite3_exec(m_conn, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
            return false;
        }
        m_open = false;
        return true;
    }

  private:
    sqlite3* m_conn;
    bool m_open;
};

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
    Conn conn;
    if (Database::sqlite_conn_rw(path, &conn.handle) != 0) {
        return db_error();
    }
    Transaction txn(conn.handle);
    Records rec;
    if (!txn.open()) {
        std::fprintf(stderr, "lpr-settings-db: %s: %s\n", path, sqlite3_errmsg(conn.handle));
        return kExitFailed;
    }
    if (!read_both(conn.handle, &rec)) {
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
    if ((advanced && db.set_lpr_advanced(&rec.adv, conn.handle) != 0) ||
        (count && db.set_lpr_vehicle_count(&rec.vcs, conn.handle) != 0)) {
        return db_error();
    }
    if (!txn.commit()) {
        std::fprintf(stderr, "lpr-settings-db: %s: %s\n", path, sqlite3_errmsg(conn.handle));
        return kExitFailed;
    }
    return 0;
}

int cmd_check(const char* path) {
    Conn conn;
    if (Database::sqlite_conn(path, "settings", &conn.handle) != 0) {
        return db_error();
    }
    std::string report;
    int rc = Database::check_integrity(conn.handle, &report);
    std::printf("%s\n", report.c_str());
    return rc == 0 ? 0 : kExitFailed;
}

int cmd_keys() {
    for (const DatabaseColumn& col : all_columns()) {
        for (int slot = 0; slot < col.slots; ++slot) {
            const char* type = "";
            switch (col.kind) {
                case DatabaseColumn::KIND_U8:
                    type = "integer 0..255";
                    break;
                case DatabaseColumn::KIND_I32:
                    type = "integer -2147483648..2147483647";
                    break;
                case DatabaseColumn::KIND_U32:
                    type = "integer 0..4294967295";
                    break;
                case DatabaseColumn::KIND_TEXT:
                    type = "text";
                    break;
                case DatabaseColumn::KIND_DIGITS:
                    type = "digits";
                    break;
            }
            std::printf("%s %s", key_name(col, slot).c_str(), type);
            if (is_text(col)) {
                std::printf(" of at most %zu bytes",
                            col.kind == DatabaseColumn::KIND_TEXT ? col.size - 1 : col.size);
            }
            std::printf("\n");
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
