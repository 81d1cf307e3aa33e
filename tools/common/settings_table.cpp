#include "settings_table.h"

#include <cstring>

namespace settings {

const char kPasswordPlaceholder[] = "********";

namespace {

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

}  // namespace settings
