#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include "commands.h"
#include "document_diff.h"
#include "exit_status.h"
#include "json_tree.h"
#include "library_documents.h"
#include "records.h"

namespace cli {
namespace {

using tools::CJsonPtr;

/* A file's bytes, or standard input's for "-". */
bool read_input(const std::string& file, std::string* text) {
    if (file == "-") {
        text->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        return !std::cin.bad();
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return false;
    }
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

std::string names_of_documents() {
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    std::string names;
    for (size_t i = 0; i < count; ++i) {
        names += std::string(i == 0 ? "" : " and ") + docs[i].name;
    }
    return names;
}

}  // namespace

int cmd_export(const Args& args, const Options&) {
    const settings::Document* only = nullptr;
    if (args.size() == 2 && (only = document_named(args[1])) == nullptr) {
        return fail(kExitUsage, "no document " + args[1] + "; there are " + names_of_documents());
    }
    Records records;
    if (int rc = read_records(args[0], &records)) {
        return rc;
    }
    if (only != nullptr) {
        std::printf("%s\n", read_document(*only, records).c_str());
        return kExitOk;
    }
    // One document a line, each exactly as its read action answers it.
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    std::string out = "{";
    for (size_t i = 0; i < count; ++i) {
        out += std::string(i == 0 ? "" : ",\n") + "\"" + docs[i].name +
               "\":" + read_document(docs[i], records);
    }
    std::printf("%s}\n", out.c_str());
    return kExitOk;
}

int cmd_import(const Args& args, const Options& options) {
    const std::string& file = args[1];
    std::string text;
    if (!read_input(file, &text)) {
        return fail(kExitDatabase, "cannot read " + file + ": " + std::strerror(errno));
    }
    const char* end = nullptr;
    CJsonPtr root(cJSON_ParseWithLengthOpts(text.c_str(), text.size(), &end, false));
    while (root && end < text.c_str() + text.size() && std::strchr(" \t\r\n", *end) != nullptr) {
        ++end;
    }
    if (!cJSON_IsObject(root.get()) || end != text.c_str() + text.size()) {
        return fail(kExitRefused, file +
                                      " is not one JSON object; `lpr-settings-db export` "
                                      "writes {\"advanced\":{..},\"vehicle_count\":{..}}");
    }
    std::set<std::string> seen;
    for (const cJSON* item = root->child; item != nullptr; item = item->next) {
        if (document_named(item->string) == nullptr || !cJSON_IsObject(item)) {
            return fail(kExitRefused, file + ": \"" + item->string +
                                          "\" is not a settings document; there are " +
                                          names_of_documents());
        }
        if (!seen.insert(item->string).second) {
            return fail(kExitRefused, file + ": the document " + item->string + " comes twice");
        }
    }
    if (seen.empty()) {
        return fail(kExitRefused, file + " holds no settings document");
    }
    WriteSession session;
    if (int rc = session.begin(args[0], options.force)) {
        return rc;
    }
    bool touched[2] = {false, false};  // by DatabaseColumn::Record
    for (const cJSON* item = root->child; item != nullptr; item = item->next) {
        const settings::Document& doc = *document_named(item->string);
        std::string refusal;
        if (!write_document(doc, tools::print_compact(item), &session.records, &refusal)) {
            return fail(kExitRefused, file + ": " + doc.name + ": " + refusal);
        }
        touched[record_of(doc)] = true;
    }
    return session.commit(touched[DatabaseColumn::RECORD_ADVANCED],
                          touched[DatabaseColumn::RECORD_VEHICLE_COUNT]);
}

int cmd_diff(const Args& args, const Options&) {
    Records records;
    if (int rc = read_records(args[0], &records)) {
        return rc;
    }
    const Records defaults = Records::defaults();
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    for (size_t i = 0; i < count; ++i) {
        CJsonPtr was(cJSON_Parse(read_document(docs[i], defaults).c_str()));
        CJsonPtr is(cJSON_Parse(read_document(docs[i], records).c_str()));
        for (const settings::MemberChange& c :
             settings::diff_documents(docs[i], was.get(), is.get())) {
            const std::string after = c.secret ? settings::masked_value(c.after) : c.after;
            const std::string before = c.secret ? settings::masked_value(c.before) : c.before;
            std::printf("%s.%s %s (default %s)\n", docs[i].name, c.path.c_str(), after.c_str(),
                        before.c_str());
        }
    }
    return kExitOk;
}

}  // namespace cli
