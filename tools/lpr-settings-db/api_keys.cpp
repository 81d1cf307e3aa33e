#include "api_keys.h"

#include <cerrno>
#include <cstdlib>

#include "json_tree.h"
#include "library_documents.h"

namespace cli {
namespace {

using settings::Member;
using settings::Type;
using tools::CJsonPtr;

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

/* "httpList[1].url" as steps; false for text of another form. */
bool parse_steps(const std::string& text, std::vector<ApiKey::Step>* steps) {
    size_t i = 0;
    while (true) {
        const size_t start = i;
        while (i < text.size() && text[i] != '.' && text[i] != '[') {
            ++i;
        }
        if (i == start) {
            return false;
        }
        steps->push_back(ApiKey::Step{text.substr(start, i - start), -1});
        while (i < text.size() && text[i] == '[') {
            const size_t digits = ++i;
            while (i < text.size() && is_digit(text[i])) {
                ++i;
            }
            if (i == digits || i - digits > 4 || i >= text.size() || text[i] != ']') {
                return false;
            }
            steps->push_back(ApiKey::Step{"", std::atoi(text.c_str() + digits)});
            ++i;
        }
        if (i == text.size()) {
            return true;
        }
        if (text[i] != '.') {
            return false;
        }
        ++i;
    }
}

/* The value of the command line's text for a value of this type. */
cJSON* parse_value(Type type, const char* value, std::string* error) {
    switch (type) {
        case Type::kInteger: {
            char* end = nullptr;
            errno = 0;
            const long long number = std::strtoll(value, &end, 10);
            if (*value == '\0' || *end != '\0' || errno != 0) {
                *error = "takes a whole number, not \"" + std::string(value) + "\"";
                return nullptr;
            }
            return cJSON_CreateNumber(static_cast<double>(number));
        }
        case Type::kString:
            return cJSON_CreateString(value);
        case Type::kArray:
        case Type::kObject: {
            CJsonPtr parsed(cJSON_Parse(value));
            if (type == Type::kArray ? !cJSON_IsArray(parsed.get())
                                     : !cJSON_IsObject(parsed.get())) {
                *error = std::string("takes a JSON ") + (type == Type::kArray ? "array" : "object");
                return nullptr;
            }
            return parsed.release();
        }
    }
    return nullptr;
}

cJSON* step_into(cJSON* value, const ApiKey::Step& step) {
    return step.element >= 0 ? cJSON_GetArrayItem(value, step.element)
                             : cJSON_GetObjectItemCaseSensitive(value, step.member.c_str());
}

void list_members(const std::string& prefix, const Member* members, size_t count,
                  std::string* out) {
    for (size_t i = 0; i < count; ++i) {
        const Member& m = members[i];
        const std::string name = prefix + m.name;
        if (m.type == Type::kArray) {
            list_members(name + "[0.." + std::to_string(m.maxItems - 1) + "].", m.fields,
                         m.fieldCount, out);
        } else if (m.type == Type::kObject) {
            list_members(name + ".", m.fields, m.fieldCount, out);
        } else {
            *out += name + " " + settings::allowed_text(m) + "\n";
        }
    }
}

}  // namespace

bool find_api_key(const std::string& text, ApiKey* key) {
    const size_t dot = text.find('.');
    ApiKey found;
    found.text = text;
    found.doc = dot == std::string::npos ? nullptr : document_named(text.substr(0, dot));
    if (found.doc == nullptr || !parse_steps(text.substr(dot + 1), &found.steps)) {
        return false;
    }
    // Each step must be a member or element the table describes.
    const Member* rows = found.doc->members;
    size_t rowCount = found.doc->memberCount;
    const Member* current = nullptr;
    for (const ApiKey::Step& step : found.steps) {
        if (step.element >= 0) {
            if (current == nullptr || current->type != Type::kArray) {
                return false;
            }
            found.type = Type::kObject;  // the elements are objects
            rows = current->fields;
            rowCount = current->fieldCount;
            current = nullptr;
            continue;
        }
        if (current != nullptr && current->type != Type::kObject) {
            return false;
        }
        current = settings::find_member(rows, rowCount, step.member.c_str());
        if (current == nullptr) {
            return false;
        }
        found.type = current->type;
        rows = current->fields;
        rowCount = current->fieldCount;
    }
    *key = std::move(found);
    return true;
}

const cJSON* api_value(const cJSON* document, const ApiKey& key) {
    cJSON* value = const_cast<cJSON*>(document);
    for (const ApiKey::Step& step : key.steps) {
        value = value != nullptr ? step_into(value, step) : nullptr;
    }
    return value;
}

bool assign_api(const ApiKey& key, const char* value, const cJSON* document, cJSON* body,
                std::string* error) {
    CJsonPtr parsed(parse_value(key.type, value, error));
    if (!parsed) {
        *error = key.text + " " + *error;
        return false;
    }
    const char* top = key.steps.front().member.c_str();
    if (!cJSON_HasObjectItem(body, top)) {
        const cJSON* whole = cJSON_GetObjectItemCaseSensitive(document, top);
        if (whole == nullptr) {
            *error = key.text + ": the document holds no " + top;
            return false;
        }
        tools::attach(body, top, cJSON_Duplicate(whole, true));
    }
    // Down to the value's parent inside body, then the value replaced there.
    cJSON* parent = body;
    for (size_t i = 0; i + 1 < key.steps.size() && parent != nullptr; ++i) {
        parent = step_into(parent, key.steps[i]);
    }
    const ApiKey::Step& last = key.steps.back();
    const bool replaced =
        parent != nullptr &&
        (last.element >= 0 ? last.element < cJSON_GetArraySize(parent) &&
                                 cJSON_ReplaceItemInArray(parent, last.element, parsed.get())
                           : cJSON_HasObjectItem(parent, last.member.c_str()) &&
                                 cJSON_ReplaceItemInObjectCaseSensitive(parent, last.member.c_str(),
                                                                        parsed.get()));
    if (!replaced) {
        *error = key.text + ": the document holds no such member or element";
        return false;
    }
    parsed.release();  // owned by body now
    return true;
}

std::string api_key_list() {
    std::string out;
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    for (size_t i = 0; i < count; ++i) {
        list_members(std::string(docs[i].name) + ".", docs[i].members, docs[i].memberCount, &out);
    }
    return out;
}

}  // namespace cli
