// The settings table told to people and programs: what a member allows, in one line of
// text, and the whole table as JSON. The table itself is in settings_table.cpp.
#include <cstdint>
#include <new>
#include <string>

#include "json_tree.h"
#include "lpr_osd_fields.h"
#include "settings_table.h"

namespace settings {
namespace {

using tools::attach;
using tools::CJsonPtr;
using tools::print_compact;

const char* type_name(Type type) {
    switch (type) {
        case Type::kInteger:
            return "integer";
        case Type::kString:
            return "string";
        case Type::kArray:
            return "array";
        case Type::kObject:
            return "object";
    }
    return "";
}

const char* form_name(Form form) {
    switch (form) {
        case Form::kAny:
            return "text";
        case Form::kNotEmpty:
            return "notEmpty";
        case Form::kColour:
            return "colour";
        case Form::kOverlayOrder:
            return "overlayOrder";
        case Form::kFileNameOrder:
            return "fileNameOrder";
        case Form::kWord:
            return "word";
    }
    return "";
}

void add_members(cJSON* array, const Member* members, size_t count);

/* The field codes an order may hold and the field each names (lpr_osd_fields.h): the
 * digits 0-9 name entries 0-9, the letters a-k entries 10-20; the line break only in the
 * overlay's order. */
void add_field_codes(cJSON* o, bool lineBreak) {
    cJSON* codes = attach(o, "codes", cJSON_CreateArray());
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        if (i == lpr::kOsdLineBreak && !lineBreak) {
            continue;
        }
        const char code[2] = {static_cast<char>(i < 10 ? '0' + i : 'a' + (i - 10)), '\0'};
        cJSON* c = attach(codes, nullptr, cJSON_CreateObject());
        attach(c, "code", cJSON_CreateString(code));
        attach(c, "name", cJSON_CreateString(lpr::kOsdFieldNames[i]));
    }
}

void add_member(cJSON* array, const Member& m) {
    cJSON* o = attach(array, nullptr, cJSON_CreateObject());
    attach(o, "name", cJSON_CreateString(m.name));
    attach(o, "type", cJSON_CreateString(type_name(m.type)));
    attach(o, "description", cJSON_CreateString(m.description));
    attach(o, "allowed", cJSON_CreateString(allowed_text(m).c_str()));
    if (m.type == Type::kInteger) {
        attach(o, "minimum", cJSON_CreateNumber(static_cast<double>(m.minimum)));
        attach(o, "maximum", cJSON_CreateNumber(static_cast<double>(m.maximum)));
        if (m.isSwitch) {
            attach(o, "switch", cJSON_CreateTrue());
        }
    }
    if (m.choiceCount > 0) {
        cJSON* choices = attach(o, "choices", cJSON_CreateArray());
        for (size_t i = 0; i < m.choiceCount; ++i) {
            cJSON* c = attach(choices, nullptr, cJSON_CreateObject());
            attach(c, "value", cJSON_CreateNumber(static_cast<double>(m.choices[i].value)));
            attach(c, "meaning", cJSON_CreateString(m.choices[i].meaning));
        }
    }
    if (m.unit != nullptr) {
        attach(o, "unit", cJSON_CreateString(m.unit));
    }
    if (m.type == Type::kString) {
        if (m.maxBytes > 0) {
            attach(o, "maxBytes", cJSON_CreateNumber(static_cast<double>(m.maxBytes)));
        }
        attach(o, "form", cJSON_CreateString(form_name(m.form)));
        if (m.form == Form::kOverlayOrder || m.form == Form::kFileNameOrder) {
            add_field_codes(o, m.form == Form::kOverlayOrder);
        }
    }
    if (m.wordCount > 0) {
        cJSON* words = attach(o, "words", cJSON_CreateArray());
        for (size_t i = 0; i < m.wordCount; ++i) {
            cJSON* w = attach(words, nullptr, cJSON_CreateObject());
            attach(w, "text", cJSON_CreateString(m.words[i].text));
            attach(w, "meaning", cJSON_CreateString(m.words[i].meaning));
        }
    }
    if (m.secret) {
        attach(o, "secret", cJSON_CreateTrue());
    }
    if (m.fieldCount > 0) {
        add_members(attach(o, "members", cJSON_CreateArray()), m.fields, m.fieldCount);
    }
    if (m.maxItems > 0) {
        attach(o, "maxItems", cJSON_CreateNumber(static_cast<double>(m.maxItems)));
    }
    if (m.required) {
        attach(o, "required", cJSON_CreateTrue());
    }
    if (m.unique) {
        attach(o, "unique", cJSON_CreateTrue());
    }
    if (m.isPosition) {
        attach(o, "position", cJSON_CreateTrue());
    }
    if (m.errorName != nullptr) {
        attach(o, "errorName", cJSON_CreateString(m.errorName));
    }
    if (m.sameFieldAs != nullptr) {
        attach(o, "sameFieldAs", cJSON_CreateString(m.sameFieldAs));
    }
}

void add_members(cJSON* array, const Member* members, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        add_member(array, members[i]);
    }
}

std::string range_text(const Member& m) {
    if (m.minimum == INT32_MIN && m.maximum == INT32_MAX) {
        return "integer (32-bit, -2147483648 to 2147483647)";
    }
    return "integer " + std::to_string(m.minimum) + " to " + std::to_string(m.maximum);
}

}  // namespace

std::string allowed_text(const Member& m) {
    std::string out;
    switch (m.type) {
        case Type::kInteger:
            if (m.isSwitch) {
                return "0 (off) or 1 (on); false and true are taken as 0 and 1";
            }
            out = range_text(m);
            if (m.choiceCount > 0) {
                out += ":";
                for (size_t i = 0; i < m.choiceCount; ++i) {
                    out += (i == 0 ? " " : ", ") + std::to_string(m.choices[i].value) + " " +
                           m.choices[i].meaning;
                }
            } else if (m.unit != nullptr) {
                out += std::string(" (") + m.unit + ")";
            }
            return out;
        case Type::kString:
            switch (m.form) {
                case Form::kAny:
                    out = "text of at most " + std::to_string(m.maxBytes) + " bytes of UTF-8";
                    break;
                case Form::kNotEmpty:
                    out = "text of 1 to " + std::to_string(m.maxBytes) + " bytes of UTF-8";
                    break;
                case Form::kColour:
                    out =
                        "\"r:g:b\": red, green and blue, each a whole number 0 to 255, for "
                        "example \"255:128:0\"";
                    break;
                case Form::kOverlayOrder:
                    out = "field codes 0-9 and a-k (lower case), at most " +
                          std::to_string(m.maxBytes) +
                          " bytes, each at most once except 9 (line break); may be empty";
                    break;
                case Form::kFileNameOrder:
                    out = "1 to 20 different field codes 0-8 and a-k (lower case); no 9";
                    break;
                case Form::kWord:
                    out = "one of";
                    for (size_t i = 0; i < m.wordCount; ++i) {
                        out += (i == 0 ? " " : ", ") + std::string(m.words[i].text);
                    }
                    break;
            }
            if (m.secret) {
                out += std::string("; sending back \"") + kPasswordPlaceholder +
                       "\" keeps the stored password";
            }
            return out;
        case Type::kArray:
            out = "array of at most " + std::to_string(m.maxItems) + " objects, each with";
            break;
        case Type::kObject:
            out = "object with";
            break;
    }
    for (size_t i = 0; i < m.fieldCount; ++i) {
        const Member& field = m.fields[i];
        out += (i == 0 ? " " : "; ") + std::string(field.name) +
               (field.required ? " (required): " : ": ") + allowed_text(field);
    }
    return out;
}

std::string table_json() {
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    attach(root.get(), "passwordPlaceholder", cJSON_CreateString(kPasswordPlaceholder));
    cJSON* docs = attach(root.get(), "documents", cJSON_CreateArray());
    size_t count = 0;
    const Document* all = documents(&count);
    for (size_t i = 0; i < count; ++i) {
        const Document& doc = all[i];
        cJSON* d = attach(docs, nullptr, cJSON_CreateObject());
        attach(d, "name", cJSON_CreateString(doc.name));
        attach(d, "title", cJSON_CreateString(doc.title));
        attach(d, "read", cJSON_CreateString(doc.readAction));
        attach(d, "write", cJSON_CreateString(doc.writeAction));
        attach(d, "schema", cJSON_CreateString(doc.schema));
        add_members(attach(d, "members", cJSON_CreateArray()), doc.members, doc.memberCount);
    }
    return print_compact(root.get());
}

}  // namespace settings
