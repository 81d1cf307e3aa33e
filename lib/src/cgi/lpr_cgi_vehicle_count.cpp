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
 * whole-record copies; no lock spans a write's copy-out, validation, store and publish. Of
 * two overlapping writes the later store wins whole, and the bus may carry the two records
 * in another order than the stores: a host that needs the bus to follow the cache lets one
 * write of a record run at a time (lpr-webd does).
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

constexpr const char kCountTopic[] = LPR_BUS_TOPIC_COUNT;
constexpr const char kSlotEnableName[] = "httpList.enable";

// A field of the record, for the tables below: its type follows the member's C type.
#define LPR_VC_FIELD(f) LPR_RECORD_FIELD(VEHICLE_COUNT_SETTING, f)

/*
 * The number members, in the order in which the read document lists them and the write
 * examines them (so the first failing member in this order is the one an error names).
 * Byte fields are reported unsigned; 4-byte fields as signed (int32_t members) or unsigned
 * (the enumerations) 32-bit values.
 * The write accepts min..max, tested on the member's integer value taken as unsigned, so
 * a negative value is always out of range. countType and interval accept 0..1 only,
 * although their enumerations go further: larger values come only from the database.
 */
struct NumberMember {
    const char* key;
    lpr::RecordField field;
    uint32_t min;
    uint32_t max;
};

constexpr NumberMember kNumbers[] = {
    {"enable", LPR_VC_FIELD(countInfo.enable), 0, 1},
    {"showInformation", LPR_VC_FIELD(countInfo.showInfo), 0, 1},
    {"crossRegionRepeatCounting", LPR_VC_FIELD(countInfo.crossRegion), 0, 1},
    {"countType", LPR_VC_FIELD(countInfo.countType), 0, 1},
    {"autoReset", LPR_VC_FIELD(countInfo.autoReset), 0, 1},
    {"resetDayType", LPR_VC_FIELD(countInfo.resetDayType), 0, 7},
    {"resetHour", LPR_VC_FIELD(countInfo.resetHour), 0, 23},
    {"resetMin", LPR_VC_FIELD(countInfo.resetMin), 0, 59},
    {"resetSec", LPR_VC_FIELD(countInfo.resetSec), 0, 59},
    {"infoTableLeft", LPR_VC_FIELD(countInfo.infoTableLeft), 0, 100},
    {"infoTableTop", LPR_VC_FIELD(countInfo.infoTableTop), 0, 100},
    {"enablePost", LPR_VC_FIELD(postSetting.enable), 0, 1},
    {"postMode", LPR_VC_FIELD(postSetting.postMode), 0, 1},
    {"attachSnapshot", LPR_VC_FIELD(postSetting.attachSnapshot), 0, 1},
    {"postType", LPR_VC_FIELD(postSetting.postType), 0, 1},
    {"timeHour", LPR_VC_FIELD(postSetting.timeHour), 0, 23},
    {"timeMin", LPR_VC_FIELD(postSetting.timeMin), 0, 59},
    {"timeSec", LPR_VC_FIELD(postSetting.timeSec), 0, 59},
    {"cameraPort", LPR_VC_FIELD(postSetting.cameraPort), 1, 65535},
    {"interval", LPR_VC_FIELD(postSetting.postInterval), 0, 1},
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
    lpr::RecordField field; /* slot 0's */
};

constexpr TextMember kTexts[] = {
    {"httpUrl", "url", LPR_VC_FIELD(postSetting.url[0])},
    {"userName", "user", LPR_VC_FIELD(postSetting.user[0])},
    {"password", "password", LPR_VC_FIELD(postSetting.password[0])},
};
constexpr size_t kUrlText = 0;

#undef LPR_VC_FIELD

// The record is little-endian on every camera; byte fields and 4-byte fields only.
static_assert(sizeof(VEHICLE_COUNT_SETTING) == 3596, "the bus payload is 3596 bytes");
static_assert(std::is_trivially_copyable<VEHICLE_COUNT_SETTING>::value,
              "the record is copied byte for byte");

char* text_of(VEHICLE_COUNT_SETTING& vcs, const TextMember& t, size_t slot) {
    return reinterpret_cast<char*>(&vcs) + t.field.element(slot).offset;
}

/* Adds key with the text of one slot. */
void add_text(cJSON* object, const char* key, const VEHICLE_COUNT_SETTING& vcs, const TextMember& t,
              size_t slot) {
    const lpr::RecordField slotField = t.field.element(slot);
    lpr::add_field_text(object, key, slotField.text(&vcs), slotField.size);
}

/* The "httpList" entry of one slot: index, enable, url, user, password. */
lpr::PendingJson make_entry(const VEHICLE_COUNT_SETTING& vcs, size_t slot) {
    lpr::PendingJson entry(cJSON_CreateObject());
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

/* Copies a request text into a slot's array, cut byte-wise to size - 1 bytes. */
void store_text(VEHICLE_COUNT_SETTING& vcs, const TextMember& t, size_t slot, const cJSON* item) {
    std::snprintf(text_of(vcs, t, slot), t.field.size, "%s", item->valuestring);
}

/* Stores the record into the cache (under the cache's lock, for the copy only), then
 * publishes it with no lock held. */
void commit(const VEHICLE_COUNT_SETTING& vcs) {
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
            cJSON_AddNumberToObject(root.get(), m.key, static_cast<double>(m.field.number(&vcs)));
        }
        for (const TextMember& t : kTexts) {
            add_text(root.get(), t.topKey, vcs, t, 0);
        }
        lpr::PendingJson list(cJSON_CreateArray());
        if (list) {
            for (size_t slot = 0; slot < LPR_VEHICLE_POST_SLOTS; ++slot) {
                lpr::attach(list.get(), nullptr, make_entry(vcs, slot));
            }
            lpr::attach(root.get(), "httpList", std::move(list));
        }
    }
    return lpr::reply_document(resp, root);
}

int32_t set_vehicle_count_handler(const LprCgiCtx* ctx, LprCgiRespInternal* resp) {
    lpr::CJsonPtr root = lpr::parse_write_body(ctx, resp);
    if (!root) {
        return 0;  // answered 400
    }

    // Members absent from the body keep the cached values. A body that is JSON but not
    // an object has no members and stores the cached record unchanged.
    VEHICLE_COUNT_SETTING vcs{};
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(vcs);

    // Keys match without regard to letter case; of duplicate keys the first counts.
    // Members of the wrong JSON type are skipped, neither applied nor reported.
    for (const NumberMember& m : kNumbers) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), m.key);
        if (!cJSON_IsNumber(item)) {
            continue;
        }
        uint32_t value = lpr::unsigned_value(item);
        if (value < m.min || value > m.max) {
            return lpr::return_invalid_param(resp, m.key);
        }
        m.field.set_number(&vcs, value);
    }

    for (size_t i = 0; i < sizeof kTexts / sizeof kTexts[0]; ++i) {
        const cJSON* item = cJSON_GetObjectItem(root.get(), kTexts[i].topKey);
        if (!lpr::is_text(item)) {
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
    const cJSON* list = cJSON_GetObjectItem(root.get(), "httpList");
    if (cJSON_IsArray(list)) {
        const int count = cJSON_GetArraySize(list);
        for (int i = 0; i < count && i < LPR_VEHICLE_POST_SLOTS; ++i) {
            const cJSON* entry = cJSON_GetArrayItem(list, i);
            if (!cJSON_IsObject(entry)) {
                continue;
            }
            const size_t slot = static_cast<size_t>(i);
            const cJSON* enable = cJSON_GetObjectItem(entry, "enable");
            if (cJSON_IsNumber(enable)) {
                uint32_t value = lpr::unsigned_value(enable);
                if (value > 1) {
                    return lpr::return_invalid_param(resp, kSlotEnableName);
                }
                vcs.postSetting.httpEnable[slot] = static_cast<uint8_t>(value);
            }
            for (const TextMember& t : kTexts) {
                const cJSON* item = cJSON_GetObjectItem(entry, t.entryKey);
                if (lpr::is_text(item)) {
                    store_text(vcs, t, slot, item);
                }
            }
        }
    }

    commit(vcs);
    return lpr::return_ok(resp);
}
