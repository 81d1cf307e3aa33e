/*
 * API names: a key names a member of a settings document as the HTTP API names it,
 * after the document's name (settings_table.h): advanced.osdFontSize,
 * vehicle_count.resetHour, vehicle_count.httpList[1].url, advanced.snapshotResInfo.width.
 * Values are checked by the API's rules, since they are written through the library's
 * write action after the web server's strict check (library_documents.h).
 */
#ifndef LPR_SETTINGS_DB_API_KEYS_H
#define LPR_SETTINGS_DB_API_KEYS_H

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "settings_table.h"

namespace cli {

struct ApiKey {
    /* One step from a value to a value inside it: a member, or an array's element. */
    struct Step {
        std::string member; /* empty for an element */
        int element = -1;
    };

    const settings::Document* doc = nullptr;
    std::string text;         /* as given */
    std::vector<Step> steps;  /* the first is a member of the document */
    settings::Type type = {}; /* of the value named */
};

/* The member that text names; false when it names none. */
bool find_api_key(const std::string& text, ApiKey* key);

/* The value that key names in document (a document as the read action answers it), or
 * null. */
const cJSON* api_value(const cJSON* document, const ApiKey& key);

/* Sets the value that key names to value (the command line's text: a number for an
 * integer, the text itself for a text, JSON for an object or array) in body, a write of
 * key's document being built. A member of the document that body does not hold yet is
 * copied whole from document first, so that a write names the member whole and what the
 * key does not name is sent as it is. false with *error when value is not of the key's
 * type or the key names nothing in document. */
bool assign_api(const ApiKey& key, const char* value, const cJSON* document, cJSON* body,
                std::string* error);

/* Every API key with what it accepts, one a line. */
std::string api_key_list();

}  // namespace cli

#endif /* LPR_SETTINGS_DB_API_KEYS_H */
