#include "settings_table.h"

#include <cstring>

#include "json_tree.h"
#include "lpr_osd_fields.h"

namespace settings {

const char kPasswordPlaceholder[] = "********";

namespace {

using tools::attach;
using tools::CJsonPtr;
using tools::print_compact;

/* ---- Row builders: each row reads as one line of the table. ---- */

constexpr Member row(const char* name, Type type, const char* description) {
    Member m{};
    m.name = name;
    m.type = type;
    m.description = description;
    return m;
}

constexpr Member number(const char* name, int64_t minimum, int64_t maximum, const char* unit,
                        const char* description) {
    Member m = row(name, Type::kInteger, description);
    m.minimum = minimum;
    m.maximum = maximum;
    m.unit = unit;
    return m;
}

/* The values of an enumeration run without gaps from the first to the last. */
template <size_t N>
constexpr Member choice(const char* name, const Choice (&choices)[N], const char* description) {
    Member m = number(name, choices[0].value, choices[N - 1].value, nullptr, description);
    m.choices = choices;
    m.choiceCount = N;
    return m;
}

constexpr Choice kOnOff[] = {{0, "off"}, {1, "on"}};

constexpr Member on_off(const char* name, const char* description) {
    Member m = choice(name, kOnOff, description);
    m.isSwitch = true;
    return m;
}

constexpr Member text(const char* name, size_t maxBytes, Form form, const char* description) {
    Member m = row(name, Type::kString, description);
    m.maxBytes = maxBytes;
    m.form = form;
    return m;
}

template <size_t N>
constexpr Member word(const char* name, const Word (&words)[N], const char* description) {
    Member m = text(name, 0, Form::kWord, description);
    m.words = words;
    m.wordCount = N;
    return m;
}

template <size_t N>
constexpr Member list(const char* name, const Member (&fields)[N], size_t maxItems,
                      const char* description) {
    Member m = row(name, Type::kArray, description);
    m.fields = fields;
    m.fieldCount = N;
    m.maxItems = maxItems;
    return m;
}

template <size_t N>
constexpr Member object(const char* name, const Member (&fields)[N], const char* description) {
    Member m = row(name, Type::kObject, description);
    m.fields = fields;
    m.fieldCount = N;
    return m;
}

constexpr Member required(Member m) {
    m.required = true;
    return m;
}
constexpr Member unique(Member m) {
    m.unique = true;
    return m;
}
constexpr Member position(Member m) {
    m.isPosition = true;
    return m;
}
constexpr Member secret(Member m) {
    m.secret = true;
    return m;
}
constexpr Member error_name(Member m, const char* name) {
    m.errorName = name;
    return m;
}
constexpr Member same_field_as(Member m, const char* other) {
    m.sameFieldAs = other;
    return m;
}

/* ---- The advanced settings: text overlay and snapshot file names. ---- */

constexpr Choice kFontSizes[] = {{0, "smallest"}, {1, "step 1"}, {2, "step 2"},
                                 {3, "step 3"},   {4, "step 4"}, {5, "largest"}};
constexpr Choice kOverlayPositions[] = {
    {0, "top left"}, {1, "top right"}, {2, "bottom left"}, {3, "bottom right"}, {4, "top centre"}};
constexpr Choice kSeparators[] = {
    {0, "underscore _ between the fields"}, {1, "hyphen - between the fields"}, {2, "none"}};
constexpr Choice kOverlayDateFormats[] = {
    {0, "YYYY-MM-DD hh:mm:ss"}, {1, "MM-DD-YYYY hh:mm:ss"}, {2, "DD-MM-YYYY hh:mm:ss"}};
constexpr Choice kFileDateFormats[] = {
    {0, "YYYYMMDDhhmmss"}, {1, "MMDDYYYYhhmmss"}, {2, "DDMMYYYYhhmmss"}};
constexpr Choice kResolutions[] = {
    {0, "2464x2056"}, {1, "2204x1840"}, {2, "1910x1592"}, {3, "1568x1312"}, {4, "1104x928"}};

/* The overlay fields that have a spacing, in field-code order; lineBreak (code 9) has
 * none. */
constexpr Word kOverlayFields[] = {
    {"time", "code 0: date and time of the picture"},
    {"licensePlate", "code 1: the plate's characters"},
    {"plateType", "code 2: type of plate"},
    {"vehicleSpeed", "code 3: speed of the vehicle"},
    {"direction", "code 4: direction of travel"},
    {"detectionRegion", "code 5: region the vehicle was detected in"},
    {"position", "code 6: the position text (osdPositionName, snapPosition)"},
    {"deviceName", "code 7: the camera's name"},
    {"deviceID", "code 8: the device ID text (osdDeviceId, snapDeviceId)"},
    {"plateColor", "code a: colour of the plate"},
    {"vehicleType", "code b: type of vehicle"},
    {"vehicleColor", "code c: colour of the vehicle"},
    {"eventType", "code d: type of event"},
    {"redLightDuration", "code e: how long the light had been red"},
    {"countryRegion",
     "code f: country or region of the plate; its spacing is fixed, a write "
     "leaves it as it is"},
    {"vehicleBrand",
     "code g: make of the vehicle; its spacing is fixed, a write leaves it as "
     "it is"},
    {"gps", "code h: GPS position"},
    {"imageSource", "code i: source of the picture"},
    {"plateConfidence", "code j: confidence of the plate reading"},
    {"adrPlate", "code k: ADR (dangerous goods) plate"},
};

constexpr Member kSpacingFields[] = {
    required(unique(word("fileName", kOverlayFields, "The overlay field."))),
    required(number("spaces", 0, 9, "characters", "Blank characters after the field.")),
};

constexpr Member kResolutionFields[] = {
    required(number("width", INT32_MIN, INT32_MAX, "pixels", "Snapshot width.")),
    required(number("height", INT32_MIN, INT32_MAX, "pixels", "Snapshot height.")),
};

constexpr Member kAdvanced[] = {
    text("osdSort", 59, Form::kOverlayOrder,
         "Fields shown in the video overlay, in order, as field codes: 0 time, "
         "1 licensePlate, 2 plateType, 3 vehicleSpeed, 4 direction, 5 detectionRegion, "
         "6 position, 7 deviceName, 8 deviceID, 9 a line break, a plateColor, b vehicleType, "
         "c vehicleColor, d eventType, e redLightDuration, f countryRegion, g vehicleBrand, "
         "h gps, i imageSource, j plateConfidence, k adrPlate. Without 6 the overlay's "
         "position text becomes \"Position\", without 8 its device ID text \"Device ID\", "
         "unless the same write sends them."),
    choice("osdFontSize", kFontSizes, "Size of the overlay text."),
    text("osdFontColor", 0, Form::kColour, "Colour of the overlay text."),
    on_off("osdBkgEnable", "A filled box behind the overlay text."),
    text("osdBkgColor", 0, Form::kColour, "Colour of the box behind the overlay text."),
    choice("osdPosition", kOverlayPositions, "Where the overlay sits in the picture."),
    list("osdSpaceList", kSpacingFields, 20,
         "Blank characters after each overlay field, one element per field; fields not "
         "listed keep their spacing."),
    text("osdPositionName", 95, Form::kNotEmpty, "Text of the position field in the overlay."),
    text("osdDeviceId", 95, Form::kNotEmpty, "Text of the device ID field in the overlay."),
    number("lineBreakCharNum", 0, 6, "characters",
           "Blank characters at the start of each overlay line after a line break."),
    choice("snapSeparator", kSeparators, "What separates the fields in snapshot file names."),
    text("snapSort", 59, Form::kFileNameOrder,
         "Fields that make up a snapshot file name, in order, as field codes (see osdSort; "
         "no line break). Without 6 the file names' position text becomes \"Position\", "
         "without 8 their device ID text \"Device ID\", unless the same write sends them."),
    text("snapPosition", 95, Form::kNotEmpty, "Text of the position field in file names."),
    text("snapDeviceId", 95, Form::kNotEmpty, "Text of the device ID field in file names."),
    choice("osdDateTimeFormat", kOverlayDateFormats, "How the overlay writes date and time."),
    choice("fileDateTimeFormat", kFileDateFormats, "How file names write date and time."),
    choice("snapshotResolution", kResolutions, "Resolution of snapshots, in pixels."),
    object("snapshotResInfo", kResolutionFields,
           "Snapshot size in pixels, stored as sent; both members together."),
};

/* ---- Vehicle counting and the posting of the counts. ---- */

constexpr Choice kCountTypes[] = {{0, "by vehicle type"}, {1, "by vehicle size"}};
constexpr Choice kResetDays[] = {{0, "every day"},  {1, "Mondays"},   {2, "Tuesdays"},
                                 {3, "Wednesdays"}, {4, "Thursdays"}, {5, "Fridays"},
                                 {6, "Saturdays"},  {7, "Sundays"}};
constexpr Choice kPostModes[] = {{0, "instant: each count is posted as it changes"},
                                 {1, "customised: posted at the interval and time set"}};
constexpr Choice kPostTypes[] = {{0, "counts posted as JSON"}, {1, "counts posted as XML"}};
constexpr Choice kIntervals[] = {{0, "every day, at timeHour:timeMin:timeSec"}, {1, "every hour"}};

constexpr Member kDestinationFields[] = {
    position(number("index", 0, 2, nullptr,
                    "The destination's number; a read reports it, a write applies each element "
                    "to the destination of its position, so it must equal the position.")),
    error_name(on_off("enable", "Posting to this destination."), "httpList.enable"),
    text("url", 1023, Form::kAny, "URL the counts are posted to."),
    text("user", 93, Form::kAny, "User name for the destination."),
    secret(text("password", 63, Form::kAny, "Password for the destination.")),
};

constexpr Member kVehicleCount[] = {
    on_off("enable", "Vehicle counting."),
    on_off("showInformation", "The table of counts shown in the video."),
    on_off("crossRegionRepeatCounting",
           "A vehicle that crosses into another region is counted again."),
    choice("countType", kCountTypes, "How vehicles are counted."),
    on_off("autoReset", "The counts are reset at resetDayType, resetHour:resetMin:resetSec."),
    choice("resetDayType", kResetDays, "Day of the automatic reset."),
    number("resetHour", 0, 23, "hour", "Time of day of the automatic reset: hour."),
    number("resetMin", 0, 59, "minute", "Time of day of the automatic reset: minute."),
    number("resetSec", 0, 59, "second", "Time of day of the automatic reset: second."),
    number("infoTableLeft", 0, 100, "percent of the picture's width",
           "Left edge of the table of counts."),
    number("infoTableTop", 0, 100, "percent of the picture's height",
           "Top edge of the table of counts."),
    on_off("enablePost", "Posting of the counts to the destinations in httpList."),
    choice("postMode", kPostModes, "When counts are posted."),
    on_off("attachSnapshot", "A snapshot goes with each post."),
    choice("postType", kPostTypes, "Format of the posts."),
    number("timeHour", 0, 23, "hour", "Time of day of the daily post: hour."),
    number("timeMin", 0, 59, "minute", "Time of day of the daily post: minute."),
    number("timeSec", 0, 59, "second", "Time of day of the daily post: second."),
    number("cameraPort", 1, 65535, "TCP port", "The camera's port, sent with each post."),
    choice("interval", kIntervals, "How often counts are posted in customised mode."),
    same_field_as(text("httpUrl", 1023, Form::kAny,
                       "Destination 0's URL (as httpList[0].url); a write also turns "
                       "destination 0 on."),
                  "httpList[0].url"),
    same_field_as(text("userName", 93, Form::kAny, "Destination 0's user (as httpList[0].user)."),
                  "httpList[0].user"),
    same_field_as(secret(text("password", 63, Form::kAny,
                              "Destination 0's password (as httpList[0].password).")),
                  "httpList[0].password"),
    list("httpList", kDestinationFields, 3,
         "The three destinations of the posts; element i is destination i."),
};

constexpr Document kDocuments[] = {
    {"advanced", "Advanced settings: video overlay and snapshot file names", "get_lpr_advanced",
     "set_lpr_advanced", "AdvancedSettings", kAdvanced, sizeof kAdvanced / sizeof kAdvanced[0]},
    {"vehicle_count", "Vehicle counting and the posting of the counts", "get_vehicle_count",
     "set_vehicle_count", "VehicleCount", kVehicleCount,
     sizeof kVehicleCount / sizeof kVehicleCount[0]},
};

/* ---- JSON rendering ---- */

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

const Document* documents(size_t* count) {
    *count = sizeof kDocuments / sizeof kDocuments[0];
    return kDocuments;
}

const Document* document_for_action(const std::string& action) {
    for (const Document& doc : kDocuments) {
        if (action == doc.readAction || action == doc.writeAction) {
            return &doc;
        }
    }
    return nullptr;
}

const Member* find_member(const Member* members, size_t count, const char* name) {
    for (size_t i = 0; i < count; ++i) {
        if (std::strcmp(members[i].name, name) == 0) {
            return &members[i];
        }
    }
    return nullptr;
}

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
    for (const Document& doc : kDocuments) {
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
