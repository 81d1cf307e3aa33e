/*
 * The settings documents of a database, made and taken by the settings library itself
 * (liblprcgi.so): a document is what the library's read action answers on the records,
 * and a document is written into the records by the library's write action, after the
 * web server's strict check (strict_check.h). So lpr-settings-db speaks the API's terms
 * exactly: `export` prints what GET answers, byte for byte, and `import` and `set` by
 * API names store what a POST of the same body would have stored.
 *
 * The records go through the library's settings cache of this process, which nothing
 * else uses here. The library's bus client is never started in this program, so the
 * write actions' publishes go nowhere (and are not logged).
 */
#ifndef LPR_SETTINGS_DB_LIBRARY_DOCUMENTS_H
#define LPR_SETTINGS_DB_LIBRARY_DOCUMENTS_H

#include <string>

#include "records.h"
#include "settings_table.h"

namespace cli {

/* The document doc of these records, as the read action answers it. */
std::string read_document(const settings::Document& doc, const Records& records);

/* Writes body, a (partial) document doc, into *records as the web server's strict mode
 * and the library's write action would. false with *refusal, lines for people naming
 * each member that broke a rule and why, when either refuses; *records is then as it
 * was. */
bool write_document(const settings::Document& doc, std::string body, Records* records,
                    std::string* refusal);

/* Checks body, a (partial) document doc, as the web server's strict mode does, without
 * writing it anywhere. false with *refusal as write_document gives it. */
bool check_document(const settings::Document& doc, std::string body, std::string* refusal);

/* The document named name ("advanced", "vehicle_count"), or null. */
const settings::Document* document_named(const std::string& name);

/* doc's position in the settings table's list of documents. */
size_t document_index(const settings::Document& doc);

/* The record that doc describes. */
DatabaseColumn::Record record_of(const settings::Document& doc);

}  // namespace cli

#endif /* LPR_SETTINGS_DB_LIBRARY_DOCUMENTS_H */
