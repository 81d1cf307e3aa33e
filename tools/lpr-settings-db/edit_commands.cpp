#include "api_keys.h"
#include "commands.h"
#include "document_diff.h"
#include "exit_status.h"
#include "json_tree.h"
#include "library_documents.h"
#include "records.h"
#include "storage_keys.h"

namespace cli {
namespace {

using tools::CJsonPtr;

/* A key of the command line: an API name, else a storage name (both spell some keys the
 * same way, e.g. vehicle_count.resetHour, which then takes the API's rules). */
struct Key {
    bool api = false;
    ApiKey apiKey;
    StorageKey storage{};
};

bool find_key(const std::string& text, Key* key) {
    key->api = find_api_key(text, &key->apiKey);
    return key->api || find_storage_key(text, &key->storage);
}

int no_key(const std::string& text) {
    return fail(kExitUsage, "no key " + text + "; `lpr-settings-db keys` lists them");
}

/* Both documents of records, parsed, in the order of the settings table. */
std::vector<CJsonPtr> documents_of(const Records& records) {
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    std::vector<CJsonPtr> parsed;
    for (size_t i = 0; i < count; ++i) {
        parsed.emplace_back(cJSON_Parse(read_document(docs[i], records).c_str()));
    }
    return parsed;
}

/* The members of a document that changes by storage names touched, checked against the
 * API's rules: each member whose value differs is sent, whole, to the strict check. */
int check_storage_changes(const Records& before, const Records& after) {
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    const std::vector<CJsonPtr> was = documents_of(before);
    const std::vector<CJsonPtr> is = documents_of(after);
    for (size_t i = 0; i < count; ++i) {
        CJsonPtr body(cJSON_CreateObject());
        for (const settings::MemberChange& change :
             settings::diff_documents(docs[i], was[i].get(), is[i].get())) {
            const std::string top = change.path.substr(0, change.path.find_first_of(".["));
            if (!cJSON_HasObjectItem(body.get(), top.c_str())) {
                tools::attach(
                    body.get(), top.c_str(),
                    cJSON_Duplicate(cJSON_GetObjectItemCaseSensitive(is[i].get(), top.c_str()),
                                    true));
            }
        }
        std::string refusal;
        if (body->child != nullptr &&
            !check_document(docs[i], tools::print_compact(body.get()), &refusal)) {
            return fail(kExitRefused, std::string(docs[i].name) + ": " + refusal);
        }
    }
    return kExitOk;
}

}  // namespace

int cmd_create(const Args& args, const Options&) {
    if (Database::create_default(args[0].c_str()) != 0) {
        return fail(kExitDatabase, Database::last_error());
    }
    return kExitOk;
}

int cmd_show(const Args& args, const Options&) {
    Records records;
    if (int rc = read_records(args[0], &records)) {
        return rc;
    }
    std::printf("%s\n", storage_json(&records).c_str());
    return kExitOk;
}

int cmd_get(const Args& args, const Options&) {
    std::vector<Key> keys(args.size() - 1);
    for (size_t i = 1; i < args.size(); ++i) {
        if (!find_key(args[i], &keys[i - 1])) {
            return no_key(args[i]);
        }
    }
    Records records;
    if (int rc = read_records(args[0], &records)) {
        return rc;
    }
    std::vector<CJsonPtr> documents;
    for (const Key& key : keys) {
        std::string value;
        if (!key.api) {
            value = storage_value(key.storage, &records);
        } else {
            if (documents.empty()) {
                documents = documents_of(records);
            }
            const cJSON* item =
                api_value(documents[document_index(*key.apiKey.doc)].get(), key.apiKey);
            if (item == nullptr) {
                return fail(kExitUsage, key.apiKey.text + ": the document holds no such member");
            }
            value = cJSON_IsString(item) ? item->valuestring : tools::print_compact(item);
        }
        std::fwrite(value.data(), 1, value.size(), stdout);
        std::fputc('\n', stdout);
    }
    return kExitOk;
}

int cmd_set(const Args& args, const Options& options) {
    struct Assignment {
        Key key;
        std::string value;
    };
    std::vector<Assignment> changes;
    for (size_t i = 1; i < args.size(); ++i) {
        const size_t eq = args[i].find('=');
        if (eq == std::string::npos) {
            return fail(kExitUsage, args[i] + " is not KEY=VALUE");
        }
        Assignment change;
        if (!find_key(args[i].substr(0, eq), &change.key)) {
            return no_key(args[i].substr(0, eq));
        }
        change.value = args[i].substr(eq + 1);
        changes.push_back(std::move(change));
    }
    WriteSession session;
    if (int rc = session.begin(args[0], options.force)) {
        return rc;
    }
    bool touched[2] = {false, false};  // by DatabaseColumn::Record
    // Storage names first, each within its column; then what they changed by the API's rules.
    const Records before = session.records;
    std::string error;
    for (const Assignment& change : changes) {
        if (!change.key.api) {
            if (!assign_storage(change.key.storage, change.value.c_str(), &session.records,
                                &error)) {
                return fail(kExitRefused, error);
            }
            touched[change.key.storage.col.record] = true;
        }
    }
    if (int rc = check_storage_changes(before, session.records)) {
        return rc;
    }
    // API names: one write of each document, through the library.
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    for (size_t i = 0; i < count; ++i) {
        CJsonPtr document(cJSON_Parse(read_document(docs[i], session.records).c_str()));
        CJsonPtr body(cJSON_CreateObject());
        for (const Assignment& change : changes) {
            if (change.key.api && change.key.apiKey.doc == &docs[i] &&
                !assign_api(change.key.apiKey, change.value.c_str(), document.get(), body.get(),
                            &error)) {
                return fail(kExitRefused, error);
            }
        }
        if (body->child != nullptr) {
            if (!write_document(docs[i], tools::print_compact(body.get()), &session.records,
                                &error)) {
                return fail(kExitRefused, std::string(docs[i].name) + ": " + error);
            }
            touched[record_of(docs[i])] = true;
        }
    }
    return session.commit(touched[DatabaseColumn::RECORD_ADVANCED],
                          touched[DatabaseColumn::RECORD_VEHICLE_COUNT]);
}

int cmd_check(const Args& args, const Options&) {
    Database::Connection conn;
    if (conn.open(args[0].c_str(), "settings") != 0) {
        return fail(kExitDatabase, Database::last_error());
    }
    std::string report;
    const int rc = Database::check_integrity(conn.get(), &report);
    std::printf("%s\n", report.c_str());
    return rc == 0 ? kExitOk : kExitDatabase;
}

int cmd_keys(const Args&, const Options&) {
    std::printf(
        "# API names: the members of the documents that the web server reads and writes,\n"
        "# with the rules a write must keep\n%s"
        "# Storage names: the database's columns, with the range of each one's field; a\n"
        "# change that alters a member above must keep that member's rules too\n%s",
        api_key_list().c_str(), storage_key_list().c_str());
    return kExitOk;
}

}  // namespace cli
