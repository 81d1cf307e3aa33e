#include "storage_keys.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "json_tree.h"

namespace cli {
namespace {

using tools::attach;
using tools::CJsonPtr;

std::vector<DatabaseColumn> all_columns() {
    size_t count = 0;
    const DatabaseColumn* cols = Database::columns(&count);
    return std::vector<DatabaseColumn>(cols, cols + count);
}

std::string key_name(const DatabaseColumn& col, int slot) {
    std::string name = col.table;
    if (col.slots > 1) {
        name += "[" + std::to_string(slot) + "]";
    }
    return name + "." + col.name;
}

/* The bytes of a text field that are stored: up to the NUL for a text, up to the last
 * byte that is not NUL for the digits of osd_space. */
std::string text_value(const lpr::RecordField& field, const void* record) {
    return std::string(field.text(record), field.text_length(record));
}

/* A JSON string of any bytes, NULs included (cJSON's strings end at a NUL). */
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

cJSON* json_value(const lpr::RecordField& field, const void* record) {
    if (field.is_text()) {
        return cJSON_CreateRaw(json_string(text_value(field, record)).c_str());
    }
    return cJSON_CreateNumber(static_cast<double>(field.number(record)));
}

}  // namespace

std::string StorageKey::name() const {
    return key_name(col, slot);
}

bool find_storage_key(const std::string& text, StorageKey* key) {
    for (const DatabaseColumn& col : all_columns()) {
        for (int slot = 0; slot < col.slots; ++slot) {
            if (text == key_name(col, slot)) {
                *key = StorageKey{col, slot};
                return true;
            }
        }
    }
    return false;
}

std::string storage_value(const StorageKey& key, Records* records) {
    const lpr::RecordField field = key.field();
    const void* record = records->of(key.col.record);
    if (field.is_text()) {
        return text_value(field, record);
    }
    return std::to_string(field.number(record));
}

bool assign_storage(const StorageKey& key, const char* value, Records* records,
                    std::string* error) {
    const lpr::RecordField field = key.field();
    void* record = records->of(key.col.record);
    if (field.is_text()) {
        const size_t len = std::strlen(value);
        if (len > field.text_capacity()) {
            *error = key.name() + " takes at most " + std::to_string(field.text_capacity()) +
                     " bytes, not " + std::to_string(len);
            return false;
        }
        field.set_text(record, value, len);
        return true;
    }
    const lpr::FieldRange range = field.range();
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(value, &end, 10);
    if (*value == '\0' || *end != '\0' || errno != 0 || !field.holds(number)) {
        *error = key.name() + " takes a whole number " + std::to_string(range.min) + ".." +
                 std::to_string(range.max) + ", not \"" + value + "\"";
        return false;
    }
    field.set_number(record, number);
    return true;
}

std::string storage_json(Records* records) {
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    for (const DatabaseColumn& col : all_columns()) {
        cJSON* table = cJSON_GetObjectItemCaseSensitive(root.get(), col.table);
        if (table == nullptr) {
            table = attach(root.get(), col.table,
                           col.slots == 1 ? cJSON_CreateObject() : cJSON_CreateArray());
            for (int slot = 0; slot < col.slots && col.slots > 1; ++slot) {
                cJSON* row = attach(table, nullptr, cJSON_CreateObject());
                attach(row, "slot", cJSON_CreateNumber(slot));
            }
        }
        for (int slot = 0; slot < col.slots; ++slot) {
            cJSON* row = col.slots == 1 ? table : cJSON_GetArrayItem(table, slot);
            attach(
                row, col.name,
                json_value(col.field.element(static_cast<size_t>(slot)), records->of(col.record)));
        }
    }
    std::unique_ptr<char, void (*)(void*)> text(cJSON_Print(root.get()), cJSON_free);
    if (!text) {
        throw std::bad_alloc();
    }
    return text.get();
}

std::string storage_key_list() {
    std::string out;
    char line[256];
    for (const DatabaseColumn& col : all_columns()) {
        for (int slot = 0; slot < col.slots; ++slot) {
            const lpr::RecordField& field = col.field;
            if (field.is_text()) {
                std::snprintf(
                    line, sizeof line, "%s %s of at most %zu bytes\n", key_name(col, slot).c_str(),
                    field.type == lpr::FieldType::TEXT ? "text" : "digits", field.text_capacity());
            } else {
                std::snprintf(line, sizeof line, "%s integer %" PRId64 "..%" PRId64 "\n",
                              key_name(col, slot).c_str(), field.range().min, field.range().max);
            }
            out += line;
        }
    }
    return out;
}

}  // namespace cli
