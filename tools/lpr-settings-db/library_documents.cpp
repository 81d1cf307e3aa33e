#include "library_documents.h"

#include <cstring>
#include <stdexcept>

#include "cgi/lpr_cgi.h"
#include "json_tree.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "strict_check.h"

namespace cli {
namespace {

using tools::CJsonPtr;

/* The library's actions of each document, by the document's name. */
const struct {
    const char* name;
    LprCgiHandler read;
    LprCgiHandler write;
    DatabaseColumn::Record record;
} kActions[] = {
    {"advanced", get_lpr_advanced_handler, set_lpr_advanced_handler,
     DatabaseColumn::RECORD_ADVANCED},
    {"vehicle_count", get_vehicle_count_handler, set_vehicle_count_handler,
     DatabaseColumn::RECORD_VEHICLE_COUNT},
};

const auto& actions_of(const settings::Document& doc) {
    for (const auto& a : kActions) {
        if (std::strcmp(a.name, doc.name) == 0) {
            return a;
        }
    }
    throw std::logic_error(std::string("no library actions for ") + doc.name);
}

void to_cache(const Records& records) {
    lpr::LprCgiCache& cache = lpr::LprCgiCache::get_instance();
    cache.set_lpr_advanced(records.adv);
    cache.set_vehicle_count_setting(records.vcs);
}

void from_cache(Records* records) {
    lpr::LprCgiCache& cache = lpr::LprCgiCache::get_instance();
    cache.get_lpr_advanced(records->adv);
    cache.get_vehicle_count_setting(records->vcs);
}

std::string text_of(const cJSON* object, const char* name) {
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(object, name);
    if (cJSON_IsString(item)) {
        return item->valuestring;
    }
    return item != nullptr ? tools::print_compact(item) : "null";
}

/* A refusal of the web server (the envelope with "errors") as lines for people. */
std::string for_people(const std::string& reply) {
    CJsonPtr root(cJSON_Parse(reply.c_str()));
    const cJSON* errors = cJSON_GetObjectItemCaseSensitive(root.get(), "errors");
    if (!cJSON_IsArray(errors)) {
        return text_of(root.get(), "msg");
    }
    std::string lines = text_of(root.get(), "msg");
    const cJSON* e = nullptr;
    cJSON_ArrayForEach(e, errors) {
        const std::string member = text_of(e, "member");
        lines += "\n  " + (member.empty() ? std::string("(document)") : member) + ": " +
                 text_of(e, "reason") + "; received " + text_of(e, "received") +
                 "; allowed: " + text_of(e, "allowed") + " (" + text_of(e, "hint") + ")";
    }
    return lines;
}

}  // namespace

std::string read_document(const settings::Document& doc, const Records& records) {
    to_cache(records);
    LprCgiCtx ctx{};
    ctx.action = doc.readAction;
    ctx.method = QZ_HTTP_GET;
    LprCgiRespInternal resp;
    actions_of(doc).read(&ctx, &resp);
    return resp.m_bodyHolder ? *resp.m_bodyHolder : std::string();
}

bool check_document(const settings::Document& doc, std::string body, std::string* refusal) {
    std::string reply;
    if (!webd::strict_check_write(doc.writeAction, &body, &reply)) {
        *refusal = for_people(reply);
        return false;
    }
    return true;
}

bool write_document(const settings::Document& doc, std::string body, Records* records,
                    std::string* refusal) {
    std::string reply;
    if (!webd::strict_check_write(doc.writeAction, &body, &reply)) {
        *refusal = for_people(reply);
        return false;
    }
    to_cache(*records);
    LprCgiCtx ctx{};
    ctx.action = doc.writeAction;
    ctx.method = QZ_HTTP_POST;
    ctx.body = &body[0];
    ctx.bodyLen = static_cast<int32_t>(body.size());
    LprCgiRespInternal resp;
    actions_of(doc).write(&ctx, &resp);
    const std::string answer = resp.m_bodyHolder ? *resp.m_bodyHolder : std::string();
    if (resp.m_code != 200) {
        const std::string explained = webd::explain_refusal(doc.writeAction, answer.c_str());
        *refusal = for_people(explained.empty() ? answer : explained);
        return false;
    }
    from_cache(records);
    return true;
}

size_t document_index(const settings::Document& doc) {
    size_t count = 0;
    return static_cast<size_t>(&doc - settings::documents(&count));
}

DatabaseColumn::Record record_of(const settings::Document& doc) {
    return actions_of(doc).record;
}

const settings::Document* document_named(const std::string& name) {
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    for (size_t i = 0; i < count; ++i) {
        if (name == docs[i].name) {
            return &docs[i];
        }
    }
    return nullptr;
}

}  // namespace cli
