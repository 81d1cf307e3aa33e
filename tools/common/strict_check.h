/*
 * Strict mode of lpr-webd: a write's body is checked against its document's rows in
 * the settings table (tools/common/settings_table.h) before the library sees it, and
 * refused with 400 and a list of what is wrong and how to fix it. The library keeps
 * its own, looser rules (a member of the wrong type skipped, a text cut by bytes, a
 * fraction dropped); strict mode makes sure that a write it lets through is stored
 * exactly as sent, so that a 200 is never a write that changed nothing or something
 * else. docs/api.md ("Strict and lenient writes") lists the rules. lpr-settings-db
 * checks what it imports and sets by API names with the same function, so that a
 * database changed offline holds only what the web server would have accepted.
 *
 * Also here: the library's own refusals ("Invalid parameter: <name>") completed with
 * the rule that failed, taken from the same table, in both modes.
 *
 * The refusal keeps the library's envelope, {"code":400,"msg":...}, so that clients
 * that read only those go on working, and adds "errors": up to kMaxListedProblems
 * objects {"member","reason","received","allowed","hint"}, the first being the one
 * that "msg" names.
 *
 * Functions only; no state. Safe on any number of threads.
 */
#ifndef LPR_WEBD_STRICT_CHECK_H
#define LPR_WEBD_STRICT_CHECK_H

#include <cstddef>
#include <string>

namespace webd {

constexpr size_t kMaxListedProblems = 20;

/* Checks the body of the write action `action` against its document. true: the body
 * may go to the library; it is then either untouched or re-printed with the same
 * meaning (JSON false and true of on/off switches as 0 and 1; passwords sent back as
 * the placeholder left out, so that the stored ones stay). false: *refusal holds the
 * 400 reply. Actions that write no document, and an empty body (the library answers
 * "Empty body" itself), pass untouched. */
bool strict_check_write(const std::string& action, std::string* body, std::string* refusal);

/* When body is the library's refusal of the write action `action` with "Invalid
 * parameter: <name>": the same reply with "errors" holding the rule of <name> from
 * the table. Otherwise the empty string. */
std::string explain_refusal(const std::string& action, const char* body);

}  // namespace webd

#endif /* LPR_WEBD_STRICT_CHECK_H */
