/*
 * The members whose values differ between two settings documents, named as the API
 * names them: "resetHour", "snapshotResInfo.width", "httpList[1].url". lpr-webd's change
 * log lists what a write changed with it, and lpr-settings-db diff what a database holds
 * apart from the defaults.
 *
 * Functions only; no state. Safe on any number of threads.
 */
#ifndef LPR_TOOLS_DOCUMENT_DIFF_H
#define LPR_TOOLS_DOCUMENT_DIFF_H

#include <cjson/cJSON.h>

#include <string>
#include <vector>

#include "settings_table.h"

namespace settings {

/* One member that differs. The values are compact JSON; "" where the member is absent. */
struct MemberChange {
    std::string path;
    std::string before;
    std::string after;
    bool secret = false; /* a password: its row in the settings table is marked secret */
};

/* Every leaf member of doc (a number, a text, or an object or array that differs in
 * shape) whose value differs between before and after, in the order of the document's
 * members. Objects are compared member by member, arrays element by element. Throws
 * std::bad_alloc when memory runs out. */
std::vector<MemberChange> diff_documents(const Document& doc, const cJSON* before,
                                         const cJSON* after);

/* value (compact JSON) as it may be shown of a secret member: the placeholder in quotes
 * for a non-empty text, else value itself, so that a reader sees that a password was
 * set, changed or cleared, never which. */
std::string masked_value(const std::string& value);

}  // namespace settings

#endif /* LPR_TOOLS_DOCUMENT_DIFF_H */
