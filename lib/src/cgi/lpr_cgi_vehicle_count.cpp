/*
 * The vehicle-counting settings actions.
 *
 * The read answers the cached VehicleCountSetting as the read document. The write takes
 * a (partial) document of the same keys, validates it member by member on a private
 * copy of the cached record, and only when every present member passed stores the copy
 * into the cache and publishes the raw 3596-byte record on "lpr.config.count", where the
 * main server takes it up. docs/vehicle-count.md describes both documents.
 *
 * Both actions work on a record on their own stack and touch the shared cache only by
 * whole-record copies. The write's store and publish run together under s_commitMutex,
 * so that the bus carries the records in the order the cache received them and the last
 * record published is the one the cache holds (see commit()).
 */
#include <cjson/cJSON.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>

#include "lpr_cgi_cache.h"
#include "lpr_cgi_internal.h"
#include "lpr_cgi_json.h"
#include "lpr_cgi_request.h"
#include "lpr_defs.h"
#include "lpr_zmq.h"

namespace {

constexpr const char kCountTopic[] = "lpr.config.count";
constexpr const char kSlotEnableName[] = "httpList.enable";

// Offset and width of a field of the record, for the tables below.
#define LPR_VC_FIELD(f) offsetof(VEHICLE_COUNT_SETTING, f), sizeof(VEHICLE_COUNT_SETTING::f)

/*
 * The number members, in the order in which the read document lists them and the write
 * examines them (so the first failing member in this order is the one an error names).
 * Byte fields are reported unsigned; 4-byte fields as unsigned or signed 32-bit values.
 * The write accepts min..max, tested on the member's integer value taken as unsigned, so
 * a negative value is always out of range. countType and interval accept 0..1 only,
 * although their enumerations go further: larger values come only from the database.
 */
struct NumberMember {
    const char* key;
    size_t offset;
    size_t width;
    bool isSigned;
    uint32_t min;
    uint32_t max;
};

constexpr NumberMember kNumbers[] = {
    {"enable", LPR_VC_FIELD(countInfo.enable), false, 0, 1},
    {"showInformation", LPR_VC_FIELD(countInfo.showInfo), false, 0, 1},
    {"crossRegionRepeatCounting", LPR_VC_FIELD(countInfo.crossRegion), false, 0, 1},
    {"countType", LPR_VC_FIELD(countInfo.countType), false, 0, 1},
    {"autoReset", LPR_VC_FIELD(countInfo.autoReset), true, 0, 1},
    {"resetDayType", LPR_VC_FIELD(countInfo.resetDayType), false, 0, 7},
    {"resetHour", LPR_VC_FIELD(countInfo.resetHour), false, 0, 23},
    {"resetMin", LPR_VC_FIELD(countInfo.resetMin), false, 0, 59},
    {"resetSec", LPR_VC_FIELD(countInfo.resetSec), false, 0, 59},
    {"infoTableLeft", LPR_VC_FIELD(countInfo.infoTableLeft), false, 0, 100},
    {"infoTableTop", LPR_VC_FIELD(countInfo.infoTableTop), false, 0, 100},
    {"enablePost", LPR_VC_FIELD(postSetting.enable), false, 0, 1},
    {"postMode", LPR_VC_FIELD(postSetting.postMode), false, 0, 1},
    {"attachSnapshot", LPR_VC_FIELD(postSetting.attachSnapshot), false, 0, 1},
    {"postType", LPR_VC_FIELD(postSetting.postType), false, 0, 1},
    {"timeHour", LPR_VC_FIELD(postSetting.timeHour), false, 0, 23},
    {"timeMin", LPR_VC_FIELD(postSetting.timeMin), false, 0, 59},
    {"timeSec", LPR_VC_FIELD(postSetting.timeSec), false, 0, 59},
    {"cameraPort", LPR_VC_FIELD(postSetting.cameraPort), true, 1, 65535},
    {"interval", LPR_VC_FIELD(postSetting.postInterval), false, 0, 1},
};

/*
 * The texts of a destination slot. Slot i's text lies at offset + i * size; it is cut to
 * size - 1 bytes on write and always ends with a NUL inside its array. Slot 0 is also
 * reported and written through the top-level keys; an "httpList" entry uses the short
 * keys. Setting slot 0's URL through "httpUrl" turns slot 0 on.
 */
struct TextMember {
    const char* topKey;
    const char* entryKey;
    size_t offset;
    size_t size;
};

constexpr TextMember kTexts[] = {
    {"httpUrl", "url", LPR_VC_FIELD(postSetting.url[0])},
    {"userName", "user", LPR_VC_FIELD(postSetting.user[0])},
    {"password", "password", LPR_VC_FIELD(postSetting.password[0])},
};
constexpr size_t kUrlText = 0;
constexpr size_t kLongestText = sizeof(VEHICLE_COUNT_SETTING::postSetting.url[0]);

#undef LPR_VC_FIELD

constexpr size_t kNumberCount = sizeof kNumbers / sizeof kNumbers[0];
constexpr size_t kTextCount = sizeof kTexts / sizeof kTexts[0];

/* The keys of a request in the order the write examines them: the numbers, the slot-0
 * texts, then "httpList" (index kHttpList). */
constexpr size_t kHttpList = kNumberCount + kTextCount;
constexpr std::array<lpr::MemberKey, kHttpList + 1> kRequestKeys = [] {
    std::array<lpr::MemberKey, kHttpList + 1> keys{};
    for (size_t i = 0; i < kNumberCount; ++i) {
        keys[i] = lpr::member_key(kNumbers[i].key);
    }
    for (size_t i = 0; i < kTextCount; ++i) {
        keys[kNumberCount + i] = lpr::member_key(kTexts[i].topKey);
    }
    keys[kHttpList] = lpr::member_key("httpList");
    return keys;
}();

/* The keys of an "httpList" element: "enable", then the slot's texts. */
constexpr std::array<lpr::MemberKey, 1 + kTextCount> kEntryKeys = [] {
    std::array<lpr::MemberKey, 1 + kTextCount> keys{};
    keys[0] = lpr::member_key("enable");
    for (size_t i = 0; i < kTextCount; ++i) {
        keys[1 + i] = lpr::member_key(kTexts[i].entryKey);
    }
    return keys;
}();
static_assert(lpr::keys_are_distinct(kRequestKeys) && lpr::keys_are_distinct(kEntryKeys),
              "each member has a key of its own");

// The record is little-endian on every camera; byte fields and 4-byte fields only.
static_assert(sizeof(VEHICLE_COUNT_SETTING) == 3596, "the bus payload is 3596 bytes");
static_assert(std::is_trivially_copyable<VEHICLE_COUNT_SETTING>::value,
              "the record is copied byte for byte");

constexpr bool widths_are_supported() {
    for (const NumberMember& m : kNumbers) {
        if (m.width != 1 && m.width != 4) {
            return false;
        }
    }
    for (const TextMember& t : kTexts) {
        if (t.size > kLongestText) {
            return false;
        }
    }
    return true;
}
static_assert(widths_are_supported(), "number fields are 1 or 4 bytes, texts fit the buffer");

/*
 * Serialises the write's store into the cache with its publish. Taken only after a
 * request validated, and never while the cache's own mutex is held: the order is always
 * this mutex first, then the cache's mutex inside set_vehicle_count_setting, released
 * before the publish. The copy out of the cache at the start of a write is not under it.
 */
std::mutex s_commitMutex;

/* The number a field holds, converted as its table row says. The 4-byte fields are read
 * through memcpy: enumeration fields may hold any value the database stored. */
double number_of(const VEHICLE_COUNT_SETTING& vcs, const NumberMember& m) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(&vcs) + m.offset;
    if (m.width == 1) {
        return *at;
    }
    if (m.isSigned) {
        int32_t value;
        std::memcpy(&value, at, sizeof value);
        return value;
    }
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

/* Stores a validated value (at most 65535) into its field. */
void store_number(VEHICLE_COUNT_SETTING& vcs, const NumberMember& m, uint32_t value) {
    unsigned char* at = reinterpret_cast<unsigned char*>(&vcs) + m.offset;
    if (m.width == 1) {
        *at = static_cast<unsigned char>(value);
    } else {
        std::memcpy(at, &value, sizeof value);
    }
}

char* text_of(VEHICLE_COUNT_SETTING& vcs, const TextMember& t, size_t slot) {
    return reinterpret_cast<char*>(&vcs) + t.offset + slot * t.size;
}

const char* text_of(const VEHICLE_COUNT_SETTING& vcs, const TextMember& t, size_t slot) {
    return reinterpret_cast<const char*>(&vcs) + t.offset + slot * t.size;
}

/* Adds key with the text of one slot. A text without a NUL inside its array cannot come
 * from a write; should the database have left one, the text is taken up to the end of
 * the array and never beyond. A NUL in the last byte (a record the database filled, a
 * text of full length) settles that without a scan. */
void add_text(cJSON* object, const char* key, const VEHICLE_COUNT_SETTING& vcs, const TextMember& t,
              size_t slot) {
    const char* field = text_of(vcs, t, slot);
    if (field[t.size - 1] == '\0' || strnlen(field, t.size) < t.size) {
        cJSON_AddStringToObject(object, key, field);
        return;
    }
    char text[kLongestText + 1];
    std::memcpy(text, field, t.size);
    text[t.size] = '\0';
    cJSON_AddStringToObject(object, key, text);
}

/* A subtree not yet attached to the document; freed unless its attachment succeeded. */
using PendingJson = std::unique_ptr<cJSON, lpr::CJsonDeleter>;

/* The "httpList" entry of one slot: index, enable, url, user, password. */
PendingJson make_entry(const VEHICLE_COUNT_SETTING& vcs, size_t slot) {
    PendingJson entry(cJSON_CreateObject());
    if (!entry) {
        return entry;
    }
    cJSON_AddNumberToObject(entry.get(), "index", static_cast<double>(slot));
    cJSON_AddNumberToObject(entry.get(), "enable", vcs.postSetting.httpEnable[slot]);
    for (const TextMember& t : kTexts) {
        add_text(entry.get(), t.entryKey, vcs, t, slot);
    }
    return entry;
}

/* The unsigned value a request member stands for: cJSON's integer value (truncated
 * toward zero, saturated at the 32-bit limits), negatives wrapping to large values. */
uint32_t unsigned_value(const cJSON* item) {
    return static_cast<uint32_t>(item->valueint);
}

/* Copies a request text into a slot's array, cut byte-wise to size - 1 bytes. */
void store_text(VEHICLE_COUNT_SETTING& vcs, const TextMember& t, size_t slot, const cJSON* item) {
    lpr::copy_text(text_of(vcs, t, slot), t.size, item->valuestring);
}

bool is_text(const cJSON* item) {
    return cJSON_IsString(item) && item->valuestring != nullptr;
}

/*
 * Stores the record and publishes it as one step as far as other writes can tell: two
 * writes that overlap may still copy the same old record out and the later store wins
 * whole, but whichever store comes last is also the last record on the bus, so the main
 * server ends with what the cache holds. The bus client copies the bytes before the
 * publish returns and never waits on a full queue, so the hold is short.
 */
void commit(const VEHICLE_COUNT_SETTING& vcs) {
    std::lock_guard<std::mutex> order(s_commitMutex);
    lpr::LprCgiCache::get_instance().set_vehicle_count_setting(vcs);
    // The reply is 200 whether or not the bus took the message: the cache is updated.
    (void)lpr_zmq_publish_to(kCountTopic, LPR_ZMQ_TARGET_BUS, &vcs, sizeof vcs);
}

}  // namespace

int32_t get_vehicle_count_handler(const LprCgiCtx* /*ctx*/, LprCgiRespInternal* resp) {
    VEHICLE_COUNT_SETTING vcs{};
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(vcs);

    lpr::CJsonPtr root = lpr::create_object();
    if (root) {
        for (const NumberMember& m : kNumbers) {
            cJSON_AddNumberToObject(root.get(), m.key, number_of(vcs, m));
        }
        for (const TextMember& t : kTexts) {
            add_text(root.get(), t.topKey, vcs, t, 0);
        }
        PendingJson list(cJSON_CreateArray());
        if (list) {
            for (size_t slot = 0; slot < LPR_VEHICLE_POST_SLOTS; ++slot) {
                PendingJson entry = make_entry(vcs, slot);
                if (entry && cJSON_AddItemToArray(list.get(), entry.get())) {
                    entry.release();  // now part of the list
                }
            }
            if (cJSON_AddItemToObject(root.get(), "httpList", list.get())) {
                list.release();  // now part of the document
            }
        }
    }
    resp->m_code = 200;
    resp->set_body(lpr::print_json(root, false));
    return 0;
}

int32_t set_vehicle_count_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp) {
    if (ctx == nullptr || ctx->body == nullptr || ctx->bodyLen <= 0) {
        return lpr::return_error(resp, 400, "Empty body");
    }
    // The body is read up to its NUL; text after the first JSON value is not looked at.
    lpr::CJsonPtr root = lpr::parse_json(ctx->body);
    if (!root) {
        return lpr::return_error(resp, 400, "Invalid JSON");
    }

    // Members absent from the body keep the cached values. A body that is JSON but not
    // an object has no members and stores the cached record unchanged.
    VEHICLE_COUNT_SETTING vcs{};
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(vcs);

    // Keys match without regard to letter case; of duplicate keys the first counts.
    // Members of the wrong JSON type are skipped, neither applied nor reported.
    std::array<const cJSON*, kRequestKeys.size()> items;
    lpr::find_members(root.get(), kRequestKeys, items);
    for (size_t i = 0; i < kNumberCount; ++i) {
        const NumberMember& m = kNumbers[i];
        const cJSON* item = items[i];
        if (!cJSON_IsNumber(item)) {
            continue;
        }
        uint32_t value = unsigned_value(item);
        if (value < m.min || value > m.max) {
            return lpr::return_invalid_param(resp, m.key);
        }
        store_number(vcs, m, value);
    }

    for (size_t i = 0; i < kTextCount; ++i) {
        const cJSON* item = items[kNumberCount + i];
        if (!is_text(item)) {
            continue;
        }
        store_text(vcs, kTexts[i], 0, item);
        if (i == kUrlText) {
            vcs.postSetting.httpEnable[0] = 1;  // a URL given for slot 0 turns it on
        }
    }

    // Applied after the top-level texts, so element 0 overrides them and their enable.
    // Element i fills slot i; "index" is not read; elements past the third are not
    // looked at, and elements that are not objects change nothing.
    const cJSON* list = items[kHttpList];
    if (cJSON_IsArray(list)) {
        const int count = cJSON_GetArraySize(list);
        for (int i = 0; i < count && i < LPR_VEHICLE_POST_SLOTS; ++i) {
            const cJSON* entry = cJSON_GetArrayItem(list, i);
            if (!cJSON_IsObject(entry)) {
                continue;
            }
            const size_t slot = static_cast<size_t>(i);
            std::array<const cJSON*, kEntryKeys.size()> members;
            lpr::find_members(entry, kEntryKeys, members);
            const cJSON* enable = members[0];
            if (cJSON_IsNumber(enable)) {
                uint32_t value = unsigned_value(enable);
                if (value > 1) {
                    return lpr::return_invalid_param(resp, kSlotEnableName);
                }
                vcs.postSetting.httpEnable[slot] = static_cast<uint8_t>(value);
            }
            for (size_t t = 0; t < kTextCount; ++t) {
                if (is_text(members[1 + t])) {
                    store_text(vcs, kTexts[t], slot, members[1 + t]);
                }
            }
        }
    }

    commit(vcs);
    return lpr::return_ok(resp);
}
