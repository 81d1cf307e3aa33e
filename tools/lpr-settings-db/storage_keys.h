/*
 * Storage names: a key names one column of the settings database, "table.column" for
 * the single-row tables and "table[slot].column" for the HTTP destinations
 * (lpr_advanced.osd_font_size, vehicle_post_http[1].url). Values are checked against the
 * column's field (its C type's range, its text's bytes); commands check them against the
 * API's rules as well (api_keys.h).
 */
#ifndef LPR_SETTINGS_DB_STORAGE_KEYS_H
#define LPR_SETTINGS_DB_STORAGE_KEYS_H

#include <string>

#include "Database.h"
#include "records.h"

namespace cli {

struct StorageKey {
    DatabaseColumn col;
    int slot;
    lpr::RecordField field() const { return col.field.element(static_cast<size_t>(slot)); }
    std::string name() const;
};

/* The column that text names; false when none does. */
bool find_storage_key(const std::string& text, StorageKey* key);

/* The value of key in records as text: a text's bytes, a number in decimal. */
std::string storage_value(const StorageKey& key, Records* records);

/* Sets key in records from its text form; false with *error when it does not fit the
 * column. */
bool assign_storage(const StorageKey& key, const char* value, Records* records, std::string* error);

/* Both records as one JSON object, a member per table, the column names as keys (the
 * slots of vehicle_post_http as an array of rows with their "slot"). */
std::string storage_json(Records* records);

/* Every storage key with its type and range, one a line. */
std::string storage_key_list();

}  // namespace cli

#endif /* LPR_SETTINGS_DB_STORAGE_KEYS_H */
