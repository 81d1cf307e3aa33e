/*
 * The advanced settings actions: the text overlay (OSD) and the naming of snapshot files.
 *
 * The read answers the cached lpr_advanced_t as the advanced-settings document. The write
 * takes a (partial) document of the same keys, validates its members one after the other
 * on a private copy of the cached record, and only when every present member passed
 * stores the copy into the cache and publishes the raw 608-byte record on
 * "lpr.config.advanced", where the main server takes it up. docs/advanced.md describes
 * the document and the rules.
 *
 * Both actions work on a record on their own stack and touch the shared cache only by
 * whole-record copies; no lock spans a write's copy-out, validation, store and publish.
 * Besides the cJSON tree, the printed text and the reply body, neither action allocates.
 */
#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <utility>

#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"
#include "lpr_cgi_members.h"
#include "lpr_defs.h"
#include "lpr_zmq.h"
#include "record_field.h"

namespace {

constexpr const char kAdvancedTopic[] = LPR_BUS_TOPIC_ADVANCED;

/*
 * The overlay fields. An entry's index is its identity: field code i names entry i (the
 * digits 0-9 name 0-9, the letters a-k name 10-20), byte i of osd_space holds entry i's
 * spacing, and "osdSpaceList" lists the entries in this order.
 */
constexpr const char* const s_osdFieldNames[] = {
    "time",              // 0, code 0
    "licensePlate",      // 1, code 1
    "plateType",         // 2, code 2
    "vehicleSpeed",      // 3, code 3
    "direction",         // 4, code 4
    "detectionRegion",   // 5, code 5
    "position",          // 6, code 6
    "deviceName",        // 7, code 7
    "deviceID",          // 8, code 8
    "lineBreak",         // 9, code 9
    "plateColor",        // 10, code a
    "vehicleType",       // 11, code b
    "vehicleColor",      // 12, code c
    "eventType",         // 13, code d
    "redLightDuration",  // 14, code e
    "countryRegion",     // 15, code f
    "vehicleBrand",      // 16, code g
    "gps",               // 17, code h
    "imageSource",       // 18, code i
    "plateConfidence",   // 19, code j
    "adrPlate",          // 20, code k
};
constexpr size_t kFieldCount = sizeof s_osdFieldNames / sizeof s_osdFieldNames[0];
static_assert(kFieldCount == 21, "21 overlay fields");

constexpr size_t kLineBreak = 9;  // may repeat in an overlay order; has no spacing entry
constexpr size_t kPosition = 6;
constexpr size_t kDeviceId = 8;
constexpr size_t kCountryRegion = 15;
constexpr size_t kVehicleBrand = 16;
constexpr size_t kNoField = kFieldCount;

// check_lpr_advanced_sort: type 1 is a file-name order, any other an overlay order.
constexpr int kOverlayOrder = 0;
constexpr int kFileNameOrder = 1;

constexpr const char kDefaultPosition[] = "Position";
constexpr const char kDefaultDeviceId[] = "Device ID";

constexpr uint32_t kMaxSpacing = 9;
constexpr unsigned long kMaxColour = 255;

/* The table index that field code c names, or kNoField. Upper-case letters name none. */
constexpr size_t field_of_code(char c) {
    if (c >= '0' && c <= '9') {
        return static_cast<size_t>(c - '0');
    }
    if (c >= 'a' && c <= 'k') {
        return static_cast<size_t>(c - 'a') + 10;
    }
    return kNoField;
}

constexpr char code_of_field(size_t index) {
    return index < 10 ? static_cast<char>('0' + index) : static_cast<char>('a' + (index - 10));
}

/* The table index whose name is name exactly (letter case counts), or kNoField. The
 * entry at hint is tried first; the names are unique, so the index found is the one a
 * search from index 0 finds. */
size_t field_of_name(const char* name, size_t hint) {
    if (hint < kFieldCount && std::strcmp(s_osdFieldNames[hint], name) == 0) {
        return hint;
    }
    for (size_t i = 0; i < kFieldCount; ++i) {
        if (std::strcmp(s_osdFieldNames[i], name) == 0) {
            return i;
        }
    }
    return kNoField;
}

/* The entry that a spacing list in table order names after entry index: the next one,
 * the line break, which has no object, left out. */
constexpr size_t entry_after(size_t index) {
    return index + 1 == kLineBreak ? index + 2 : index + 1;
}

/*
 * Order validation: every character a field code, no code twice. A file-name order
 * (type 1) holds at least one code and no line break; an overlay order may be empty and
 * may repeat the line break (code 9) at will.
 */
bool check_lpr_advanced_sort(const char* value, int type) {
    if (value == nullptr || (type == kFileNameOrder && value[0] == '\0')) {
        return false;
    }
    bool seen[kFieldCount] = {};
    for (const char* c = value; *c != '\0'; ++c) {
        const size_t index = field_of_code(*c);
        if (index == kNoField) {
            return false;
        }
        if (index == kLineBreak) {
            if (type == kFileNameOrder) {
                return false;
            }
            continue;
        }
        if (seen[index]) {
            return false;
        }
        seen[index] = true;
    }
    return true;
}

/* The texts that an order string resets when it leaves their field out. */
struct OrderRule {
    int type;               // check_lpr_advanced_sort type
    size_t positionOffset;  // text of the "position" field, reset to "Position"
    size_t deviceIdOffset;  // text of the "deviceID" field, reset to "Device ID"
};

constexpr size_t kNameTextSize = 96;
constexpr OrderRule kOverlayRule = {kOverlayOrder, offsetof(lpr_advanced_t, osd_position),
                                    offsetof(lpr_advanced_t, osd_device_id)};
constexpr OrderRule kFileNameRule = {kFileNameOrder, offsetof(lpr_advanced_t, snap_position),
                                     offsetof(lpr_advanced_t, snap_device_id)};
static_assert(sizeof(lpr_advanced_t::osd_position) == kNameTextSize &&
                  sizeof(lpr_advanced_t::osd_device_id) == kNameTextSize &&
                  sizeof(lpr_advanced_t::snap_position) == kNameTextSize &&
                  sizeof(lpr_advanced_t::snap_device_id) == kNameTextSize,
              "the texts that an order resets are 96 bytes");

enum class Kind {
    Number,     // unsigned 0..max; 1-byte or 4-byte field
    Order,      // order string of field codes, then the text reset
    Colour,     // "r:g:b" into three consecutive bytes
    Text,       // non-empty text
    SpaceList,  // "osdSpaceList" over osd_space
    ResInfo,    // object with "width" and "height"
};

struct Member {
    const char* key;
    Kind kind;
    size_t offset;        // first byte of the field in the record
    size_t size;          // bytes of the field (of the first colour byte for a colour)
    uint32_t max;         // Number: highest value accepted by the write
    lpr::FieldType type;  // Number: how the field is read (int32_t members as signed)
    const OrderRule* order;

    lpr::RecordField number_field() const { return {type, offset, size}; }
};

constexpr Member number(const char* key, lpr::RecordField f, uint32_t max) {
    return {key, Kind::Number, f.offset, f.size, max, f.type, nullptr};
}
constexpr Member field(const char* key, Kind kind, size_t offset, size_t size,
                       const OrderRule* order = nullptr) {
    return {key, kind, offset, size, 0, lpr::FieldType::TEXT, order};
}

#define LPR_ADV_FIELD(f) LPR_RECORD_FIELD(lpr_advanced_t, f)
#define LPR_ADV_BYTES(f) offsetof(lpr_advanced_t, f), sizeof(lpr_advanced_t::f)

/*
 * The members in the order in which the write examines them: the first failing member
 * in this order is the one an error names, and the name texts come after their order
 * strings so that a name sent with an order overrides the reset the order made.
 */
constexpr Member kMembers[] = {
    field("osdSort", Kind::Order, LPR_ADV_BYTES(osd_sort), &kOverlayRule),
    number("osdFontSize", LPR_ADV_FIELD(osd_font_size), 5),
    field("osdFontColor", Kind::Colour, LPR_ADV_BYTES(osd_fontcolor_r)),
    number("osdBkgEnable", LPR_ADV_FIELD(osd_bkgcolor_enable), 1),
    field("osdBkgColor", Kind::Colour, LPR_ADV_BYTES(osd_bkgcolor_r)),
    number("osdPosition", LPR_ADV_FIELD(osd_show_pos), 4),
    field("osdSpaceList", Kind::SpaceList, LPR_ADV_BYTES(osd_space)),
    field("osdPositionName", Kind::Text, LPR_ADV_BYTES(osd_position)),
    field("osdDeviceId", Kind::Text, LPR_ADV_BYTES(osd_device_id)),
    number("lineBreakCharNum", LPR_ADV_FIELD(osd_space_num), 6),
    number("snapSeparator", LPR_ADV_FIELD(snap_separator), 2),
    field("snapSort", Kind::Order, LPR_ADV_BYTES(snap_sort), &kFileNameRule),
    field("snapPosition", Kind::Text, LPR_ADV_BYTES(snap_position)),
    field("snapDeviceId", Kind::Text, LPR_ADV_BYTES(snap_device_id)),
    number("osdDateTimeFormat", LPR_ADV_FIELD(osdTimeFormat), 2),
    number("fileDateTimeFormat", LPR_ADV_FIELD(fileTimeFormat), 2),
    number("snapshotResolution", LPR_ADV_FIELD(snapRes), LPR_SNAP_RES_MAX - 1),
    field("snapshotResInfo", Kind::ResInfo, LPR_ADV_BYTES(snapshotResInfo)),
};

#undef LPR_ADV_FIELD
#undef LPR_ADV_BYTES

constexpr size_t kMemberCount = sizeof kMembers / sizeof kMembers[0];

/* The members in the order of the document that the read prints (indices of kMembers). */
constexpr size_t kDocumentOrder[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 12, 13, 16, 15, 14, 9, 17};
static_assert(sizeof kDocumentOrder / sizeof kDocumentOrder[0] == kMemberCount,
              "the document has every member");

constexpr bool tables_are_sound() {
    bool listed[kMemberCount] = {};
    for (size_t index : kDocumentOrder) {
        if (index >= kMemberCount || listed[index]) {
            return false;
        }
        listed[index] = true;
    }
    for (const Member& m : kMembers) {
        if (m.kind == Kind::Number && m.size != 1 && m.size != 4) {
            return false;
        }
    }
    for (size_t i = 0; i < kFieldCount; ++i) {
        if (field_of_code(code_of_field(i)) != i) {
            return false;
        }
    }
    return true;
}
static_assert(tables_are_sound(), "each member once in the document, number fields 1 or 4 bytes");

// A colour is three consecutive bytes: red, green, blue.
static_assert(
    offsetof(lpr_advanced_t, osd_fontcolor_g) == offsetof(lpr_advanced_t, osd_fontcolor_r) + 1 &&
        offsetof(lpr_advanced_t, osd_fontcolor_b) ==
            offsetof(lpr_advanced_t, osd_fontcolor_r) + 2 &&
        offsetof(lpr_advanced_t, osd_bkgcolor_g) == offsetof(lpr_advanced_t, osd_bkgcolor_r) + 1 &&
        offsetof(lpr_advanced_t, osd_bkgcolor_b) == offsetof(lpr_advanced_t, osd_bkgcolor_r) + 2,
    "colour bytes are consecutive");
static_assert(sizeof(lpr_advanced_t::osd_space) >= kFieldCount, "one spacing byte per field");
static_assert(sizeof(lpr_advanced_t) == 608, "the bus payload is 608 bytes");
static_assert(std::is_trivially_copyable<lpr_advanced_t>::value, "the record is copied byte-wise");

unsigned char* at(lpr_advanced_t& adv, size_t offset) {
    return reinterpret_cast<unsigned char*>(&adv) + offset;
}

const unsigned char* at(const lpr_advanced_t& adv, size_t offset) {
    return reinterpret_cast<const unsigned char*>(&adv) + offset;
}

const char* text_at(const lpr_advanced_t& adv, size_t offset) {
    return reinterpret_cast<const char*>(at(adv, offset));
}

/* The spacing that byte index of osd_space stands for: its digit, 0 for any other byte. */
int spacing_of(const lpr_advanced_t& adv, size_t index) {
    const char c = adv.osd_space[index];
    return c >= '0' && c <= '9' ? c - '0' : 0;
}

// ---- Read ----

double number_at(const lpr_advanced_t& adv, const Member& m) {
    return static_cast<double>(m.number_field().number(&adv));
}

/* Appends the decimal digits of value (0..255) at out; returns the end. */
char* put_byte(char* out, unsigned value) {
    if (value >= 100) {
        *out++ = static_cast<char>('0' + value / 100);
    }
    if (value >= 10) {
        *out++ = static_cast<char>('0' + value / 10 % 10);
    }
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

/* The text that snprintf(text, 16, "%d:%d:%d", red, green, blue) makes of three colour
 * bytes, at most 11 characters, written digit by digit. */
constexpr size_t kColourTextSize = 16;
void format_colour(const unsigned char rgb[3], char (&text)[kColourTextSize]) {
    char* out = put_byte(text, rgb[0]);
    *out++ = ':';
    out = put_byte(out, rgb[1]);
    *out++ = ':';
    out = put_byte(out, rgb[2]);
    *out = '\0';
}

/* One object per table entry but the line break, in table order. */
lpr::PendingJson make_space_list(const lpr_advanced_t& adv) {
    lpr::PendingJson list(cJSON_CreateArray());
    if (!list) {
        return list;
    }
    for (size_t i = 0; i < kFieldCount; ++i) {
        if (i == kLineBreak) {
            continue;
        }
        lpr::PendingJson entry(cJSON_CreateObject());
        if (!entry) {
            continue;
        }
        cJSON_AddStringToObject(entry.get(), "fileName", s_osdFieldNames[i]);
        cJSON_AddNumberToObject(entry.get(), "spaces", spacing_of(adv, i));
        if (cJSON_AddItemToArray(list.get(), entry.get())) {
            entry.release();  // now part of the list
        }
    }
    return list;
}

void add_member(cJSON* root, const lpr_advanced_t& adv, const Member& m) {
    switch (m.kind) {
        case Kind::Number:
            cJSON_AddNumberToObject(root, m.key, number_at(adv, m));
            break;
        case Kind::Order:
        case Kind::Text:
            lpr::add_field_text(root, m.key, text_at(adv, m.offset), m.size);
            break;
        case Kind::Colour: {
            char text[kColourTextSize];
            format_colour(at(adv, m.offset), text);
            cJSON_AddStringToObject(root, m.key, text);
            break;
        }
        case Kind::SpaceList:
            lpr::attach(root, m.key, make_space_list(adv));
            break;
        case Kind::ResInfo: {
            lpr::PendingJson info(cJSON_CreateObject());
            if (info) {
                cJSON_AddNumberToObject(info.get(), "width", adv.snapshotResInfo.width);
                cJSON_AddNumberToObject(info.get(), "height", adv.snapshotResInfo.height);
            }
            lpr::attach(root, m.key, std::move(info));
            break;
        }
    }
}

// ---- Write ----

/* Copies a request text into a field, cut byte-wise to size - 1 bytes. */
void store_text(lpr_advanced_t& adv, size_t offset, size_t size, const char* text) {
    std::snprintf(reinterpret_cast<char*>(at(adv, offset)), size, "%s", text);
}

/*
 * "r:g:b" as sscanf reads it: a blank is accepted before each number, not before a
 * colon, and anything after the third number is ignored. The numbers are converted as
 * long, so that a number beyond the int range is refused rather than wrapped; each must
 * lie in 0..255.
 */
bool parse_colour(const char* text, unsigned char rgb[3]) {
    long red = 0;
    long green = 0;
    long blue = 0;
    if (std::sscanf(text, "%ld:%ld:%ld", &red, &green, &blue) != 3) {
        return false;
    }
    const long values[3] = {red, green, blue};
    for (size_t i = 0; i < 3; ++i) {
        if (static_cast<unsigned long>(values[i]) > kMaxColour) {
            return false;
        }
    }
    for (size_t i = 0; i < 3; ++i) {
        rgb[i] = static_cast<unsigned char>(values[i]);
    }
    return true;
}

/* After an order string was stored: a field that the stored (possibly cut) order leaves
 * out gets its default text back. */
void reset_texts(lpr_advanced_t& adv, const Member& m) {
    const char* order = text_at(adv, m.offset);
    const size_t length = strnlen(order, m.size);
    if (std::memchr(order, code_of_field(kPosition), length) == nullptr) {
        store_text(adv, m.order->positionOffset, kNameTextSize, kDefaultPosition);
    }
    if (std::memchr(order, code_of_field(kDeviceId), length) == nullptr) {
        store_text(adv, m.order->deviceIdOffset, kNameTextSize, kDefaultDeviceId);
    }
}

/*
 * Applies "osdSpaceList". Elements without a string "fileName" and a number "spaces" are
 * skipped; a spacing above 9 is refused whatever the name. The line break,
 * "countryRegion" and "vehicleBrand" keep their cached spacing, and a name that is not in
 * the table is skipped like them. Only the named bytes change; no NUL is moved or added.
 */
bool apply_space_list(lpr_advanced_t& adv, const cJSON* list) {
    size_t hint = 0;  // lists usually name the entries in table order, as the read does
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, list) {
        if (!cJSON_IsObject(element)) {
            continue;
        }
        const cJSON* name = cJSON_GetObjectItem(element, "fileName");
        const cJSON* spaces = cJSON_GetObjectItem(element, "spaces");
        if (!lpr::is_text(name) || !cJSON_IsNumber(spaces)) {
            continue;
        }
        const uint32_t spacing = lpr::unsigned_value(spaces);
        if (spacing > kMaxSpacing) {
            return false;
        }
        const size_t index = field_of_name(name->valuestring, hint);
        if (index == kNoField) {
            continue;
        }
        hint = entry_after(index);
        if (index == kLineBreak || index == kCountryRegion || index == kVehicleBrand) {
            continue;
        }
        adv.osd_space[index] = static_cast<char>('0' + spacing);
    }
    return true;
}

/* Validates one member of the expected JSON type and writes it into adv. false when it
 * fails its test; adv may then hold part of it, and is discarded. */
bool apply_member(lpr_advanced_t& adv, const Member& m, const cJSON* item) {
    switch (m.kind) {
        case Kind::Number: {
            const uint32_t value = lpr::unsigned_value(item);
            if (value > m.max) {
                return false;
            }
            m.number_field().set_number(&adv, value);
            return true;
        }
        case Kind::Order:
            if (!check_lpr_advanced_sort(item->valuestring, m.order->type)) {
                return false;
            }
            store_text(adv, m.offset, m.size, item->valuestring);
            reset_texts(adv, m);
            return true;
        case Kind::Colour:
            return parse_colour(item->valuestring, at(adv, m.offset));
        case Kind::Text:
            if (item->valuestring[0] == '\0') {
                return false;
            }
            store_text(adv, m.offset, m.size, item->valuestring);
            return true;
        case Kind::SpaceList:
            return apply_space_list(adv, item);
        case Kind::ResInfo: {
            const cJSON* width = cJSON_GetObjectItem(item, "width");
            const cJSON* height = cJSON_GetObjectItem(item, "height");
            if (!cJSON_IsNumber(width) || !cJSON_IsNumber(height)) {
                return false;
            }
            adv.snapshotResInfo.width = width->valueint;
            adv.snapshotResInfo.height = height->valueint;
            return true;
        }
    }
    return false;
}

/* Whether item has the JSON type that member m expects; other members are skipped. */
bool has_expected_type(const Member& m, const cJSON* item) {
    switch (m.kind) {
        case Kind::Number:
            return cJSON_IsNumber(item);
        case Kind::Order:
        case Kind::Colour:
        case Kind::Text:
            return lpr::is_text(item);
        case Kind::SpaceList:
            return cJSON_IsArray(item);
        case Kind::ResInfo:
            return cJSON_IsObject(item);
    }
    return false;
}

}  // namespace

int32_t get_lpr_advanced_handler(const LprCgiCtx* /*ctx*/, LprCgiRespInternal* resp) {
    lpr_advanced_t adv;
    std::memset(&adv, 0, sizeof adv);
    lpr::LprCgiCache::get_instance().get_lpr_advanced(adv);

    lpr::CJsonPtr root = lpr::create_object();
    if (root) {
        for (size_t index : kDocumentOrder) {
            add_member(root.get(), adv, kMembers[index]);
        }
    }
    return lpr::reply_document(resp, root);
}

int32_t set_lpr_advanced_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp) {
    lpr::CJsonPtr root = lpr::parse_write_body(ctx, resp);
    if (!root) {
        return 0;  // answered 400
    }

    // Members absent from the body keep the cached values; osd_height, snapshotQuality
    // and the gaps always do. A body that is JSON but not an object has no members and
    // stores the cached record unchanged.
    lpr_advanced_t adv;
    std::memset(&adv, 0, sizeof adv);
    lpr::LprCgiCache::get_instance().get_lpr_advanced(adv);

    // Keys match without regard to letter case; of duplicate keys the first counts.
    // Members of another JSON type are skipped, neither applied nor reported.
    for (const Member& m : kMembers) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), m.key);
        if (!has_expected_type(m, item)) {
            continue;
        }
        if (!apply_member(adv, m, item)) {
            return lpr::return_invalid_param(resp, m.key);
        }
    }

    lpr::LprCgiCache::get_instance().set_lpr_advanced(adv);
    // The reply is 200 whether or not the bus took the message: the cache is updated.
    (void)lpr_zmq_publish_to(kAdvancedTopic, LPR_ZMQ_TARGET_BUS, &adv, sizeof adv);
    return lpr::return_ok(resp);
}
