/*
 * The description of the two settings documents, one row per member: JSON type, range,
 * enumerated values with their meanings, unit, text byte limit and form, and what the
 * member does. It is the single description that the programs around the library
 * check, document and present settings from: lpr-webd's strict mode refuses a write
 * that breaks it, and docs/openapi.yaml is tested against it.
 *
 * The rows follow the settings library's rules (what its write actions accept), and
 * they are in the order in which its write actions examine the members, so that "the
 * first problem" means the same here as in the library's own refusals. Where the
 * library is looser than a row (a member of the wrong type skipped, a text cut by
 * bytes, a fraction dropped), the row states what a write must send for the library
 * to store exactly what was sent.
 *
 * Everything here is constant and shared by all threads.
 */
#ifndef LPR_TOOLS_SETTINGS_TABLE_H
#define LPR_TOOLS_SETTINGS_TABLE_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace settings {

/* JSON type of a member's value. */
enum class Type { kInteger, kString, kArray, kObject };

/* What a text must look like, beyond its byte limit and being UTF-8. */
enum class Form {
    kAny,
    kNotEmpty,
    kColour,        /* "r:g:b", three whole numbers 0-255 */
    kOverlayOrder,  /* field codes, each once except 9 (line break); may be empty */
    kFileNameOrder, /* 1 to 20 distinct field codes, no 9 */
    kWord,          /* one of the member's words */
};

/* One value of an enumerated integer, and what it means. */
struct Choice {
    int64_t value;
    const char* meaning;
};

/* One allowed text of an enumerated text member, and what it means. */
struct Word {
    const char* text;
    const char* meaning;
};

struct Member {
    const char* name;
    Type type;
    const char* description;

    /* Integers: the range, whether it is an on/off switch (0 off, 1 on; strict mode
     * takes JSON false and true too), the enumerated values, the unit. */
    int64_t minimum = 0;
    int64_t maximum = 0;
    bool isSwitch = false;
    const Choice* choices = nullptr;
    size_t choiceCount = 0;
    const char* unit = nullptr;

    /* Texts: most bytes stored (the field's size less its NUL), the form, the allowed
     * words. 0 bytes: no limit of its own. */
    size_t maxBytes = 0;
    Form form = Form::kAny;
    const Word* words = nullptr;
    size_t wordCount = 0;
    /* A password: users without the change permission read kPasswordPlaceholder. */
    bool secret = false;

    /* Arrays: the members of each element (an object) and the most elements.
     * Objects: their members. */
    const Member* fields = nullptr;
    size_t fieldCount = 0;
    size_t maxItems = 0;

    /* Members inside an element or object: must be present; must differ between the
     * elements of one array; must equal the element's position in its array. */
    bool required = false;
    bool unique = false;
    bool isPosition = false;

    /* The name that the library puts after "Invalid parameter: " when it refuses this
     * member; null: the member's own name at the top level, else its parent's. */
    const char* errorName = nullptr;
    /* Another member that sets the same field, written "list[element].field"; the
     * library applies that one last. Null: none. */
    const char* sameFieldAs = nullptr;
};

struct Document {
    const char* name;       /* "advanced", "vehicle_count" */
    const char* title;      /* for people */
    const char* readAction; /* the reference host's action names */
    const char* writeAction;
    const char* schema;    /* the write's schema in docs/openapi.yaml */
    const Member* members; /* in the write's examination order */
    size_t memberCount;
};

/* What a user without the change permission reads in place of a stored password; a
 * write that sends it back keeps the stored password (strict mode). */
extern const char kPasswordPlaceholder[];

/* Both documents. */
const Document* documents(size_t* count);

/* The document that action reads or writes, or null. */
const Document* document_for_action(const std::string& action);

/* The member called name (letter case counts) among members, or null. */
const Member* find_member(const Member* members, size_t count, const char* name);

/* What a member accepts, in one line for people: type, range or form, limit, the
 * meanings of enumerated values. */
std::string allowed_text(const Member& member);

/* The whole table as compact JSON: {"passwordPlaceholder":..,"documents":[{"name":..,
 * "title":..,"read":..,"write":..,"schema":..,"members":[..]}]}; each member with
 * "name", "type", "description", "allowed" and, where they apply, "minimum",
 * "maximum", "switch", "choices" [{"value","meaning"}], "unit", "maxBytes", "form",
 * "words" [{"text","meaning"}], "codes" (of an order of field codes: [{"code","name"}]),
 * "secret", "members" (of an element or object),
 * "maxItems", "required", "unique", "position", "errorName", "sameFieldAs". */
std::string table_json();

}  // namespace settings

#endif /* LPR_TOOLS_SETTINGS_TABLE_H */
