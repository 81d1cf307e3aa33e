#include "bench_documents.h"

#include <cstdio>
#include <cstring>

#include "lpr_osd_fields.h"

namespace lpr_bench {

namespace {

template <size_t N>
void put_text(char (&field)[N], const char* text) {
    std::snprintf(field, N, "%s", text);
}

void add_colour(cJSON* root, const char* key, unsigned r, unsigned g, unsigned b) {
    char text[16];
    std::snprintf(text, sizeof text, "%u:%u:%u", r, g, b);
    cJSON_AddStringToObject(root, key, text);
}

}  // namespace

lpr_advanced_t realistic_advanced() {
    lpr_advanced_t adv;
    std::memset(&adv, 0, sizeof adv);
    adv.snap_separator = 1;
    put_text(adv.snap_sort, "0126b8");
    put_text(adv.snap_position, "NorthGate-Lane2");
    put_text(adv.snap_device_id, "LPR-CAM-0042");
    adv.osd_font_size = 3;
    adv.osd_fontcolor_r = 255;
    adv.osd_fontcolor_g = 255;
    adv.osd_fontcolor_b = 0;
    adv.osd_bkgcolor_enable = 1;
    adv.osd_bkgcolor_r = 16;
    adv.osd_bkgcolor_g = 32;
    adv.osd_bkgcolor_b = 64;
    adv.osd_show_pos = 0;
    adv.osd_height = 64;
    put_text(adv.osd_sort, "01239456789abj");
    // One spacing digit per field, byte i for field code i.
    std::memcpy(adv.osd_space, "210313000102200000100", 21);
    put_text(adv.osd_position, "North Gate Entrance, Lane 2 (inbound)");
    put_text(adv.osd_device_id, "LPR-CAM-0042 Main Street Depot");
    adv.snapRes = LPR_SNAP_RES_2204X1840;
    adv.snapshotResInfo.width = 2204;
    adv.snapshotResInfo.height = 1840;
    adv.osd_space_num = 2;
    adv.fileTimeFormat = 1;
    adv.osdTimeFormat = 0;
    adv.snapshotQuality = 85;
    return adv;
}

VEHICLE_COUNT_SETTING realistic_vehicle_count() {
    VEHICLE_COUNT_SETTING vcs;
    std::memset(&vcs, 0, sizeof vcs);
    LPR_VEHICLE_COUNTING& c = vcs.countInfo;
    c.enable = 1;
    c.showInfo = 1;
    c.infoTableLeft = 5;
    c.infoTableTop = 10;
    c.countType = VEHICLE_COUNT_WITH_SIZE;
    c.autoReset = 1;
    c.resetDayType = 0;
    c.resetHour = 0;
    c.resetMin = 0;
    c.resetSec = 0;
    c.crossRegion = 0;
    VEHICLE_POST_SETTING& p = vcs.postSetting;
    p.enable = 1;
    p.postMode = MSG_POST_CUSTOMIZE;
    p.postInterval = VEHICLE_COUNT_POST_EVERY_HOUR;
    p.attachSnapshot = 0;
    p.postType = 1;
    p.timeHour = 23;
    p.timeMin = 59;
    p.timeSec = 30;
    p.cameraPort = 8080;
    p.httpEnable[0] = 1;
    p.httpEnable[1] = 1;
    p.httpEnable[2] = 0;
    put_text(p.url[0],
             "http://10.20.30.40:8080/api/v1/traffic/vehicle-count?site=north-gate&lane=2");
    put_text(p.url[1],
             "https://counts.city-traffic.example/ingest/lpr/cameras/LPR-CAM-0042/counts");
    put_text(p.url[2], "http://192.168.1.200/cgi-bin/count_receiver.cgi");
    put_text(p.user[0], "counter");
    put_text(p.user[1], "lpr-north-gate");
    put_text(p.user[2], "admin");
    put_text(p.password[0], "s3cr3t-Passw0rd!");
    put_text(p.password[1], "Tr4ffic#Counts-2024");
    put_text(p.password[2], "admin123");
    return vcs;
}

cJSON* build_advanced_document(const lpr_advanced_t& adv) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "osdSort", adv.osd_sort);
    cJSON_AddNumberToObject(root, "osdFontSize", adv.osd_font_size);
    add_colour(root, "osdFontColor", adv.osd_fontcolor_r, adv.osd_fontcolor_g, adv.osd_fontcolor_b);
    cJSON_AddNumberToObject(root, "osdBkgEnable", adv.osd_bkgcolor_enable);
    add_colour(root, "osdBkgColor", adv.osd_bkgcolor_r, adv.osd_bkgcolor_g, adv.osd_bkgcolor_b);
    cJSON_AddNumberToObject(root, "osdPosition", adv.osd_show_pos);
    cJSON* list = cJSON_CreateArray();
    for (size_t i = 0; i < lpr::kOsdFieldCount; ++i) {
        if (i == lpr::kOsdLineBreak) {
            continue;
        }
        const char digit = adv.osd_space[i];
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddStringToObject(entry, "fileName", lpr::kOsdFieldNames[i]);
        cJSON_AddNumberToObject(entry, "spaces", digit >= '0' && digit <= '9' ? digit - '0' : 0);
        cJSON_AddItemToArray(list, entry);
    }
    cJSON_AddItemToObject(root, "osdSpaceList", list);
    cJSON_AddStringToObject(root, "osdPositionName", adv.osd_position);
    cJSON_AddStringToObject(root, "osdDeviceId", adv.osd_device_id);
    cJSON_AddNumberToObject(root, "snapSeparator", adv.snap_separator);
    cJSON_AddStringToObject(root, "snapSort", adv.snap_sort);
    cJSON_AddStringToObject(root, "snapPosition", adv.snap_position);
    cJSON_AddStringToObject(root, "snapDeviceId", adv.snap_device_id);
    cJSON_AddNumberToObject(root, "snapshotResolution", static_cast<uint32_t>(adv.snapRes));
    cJSON_AddNumberToObject(root, "fileDateTimeFormat", adv.fileTimeFormat);
    cJSON_AddNumberToObject(root, "osdDateTimeFormat", adv.osdTimeFormat);
    cJSON_AddNumberToObject(root, "lineBreakCharNum", adv.osd_space_num);
    cJSON* res = cJSON_CreateObject();
    cJSON_AddNumberToObject(res, "width", adv.snapshotResInfo.width);
    cJSON_AddNumberToObject(res, "height", adv.snapshotResInfo.height);
    cJSON_AddItemToObject(root, "snapshotResInfo", res);
    return root;
}

cJSON* build_vehicle_count_document(const VEHICLE_COUNT_SETTING& vcs) {
    const LPR_VEHICLE_COUNTING& c = vcs.countInfo;
    const VEHICLE_POST_SETTING& p = vcs.postSetting;
    cJSON* root = cJSON_CreateObject();
    cJSON_AddNumberToObject(root, "enable", c.enable);
    cJSON_AddNumberToObject(root, "showInformation", c.showInfo);
    cJSON_AddNumberToObject(root, "crossRegionRepeatCounting", c.crossRegion);
    cJSON_AddNumberToObject(root, "countType", static_cast<uint32_t>(c.countType));
    cJSON_AddNumberToObject(root, "autoReset", c.autoReset);
    cJSON_AddNumberToObject(root, "resetDayType", c.resetDayType);
    cJSON_AddNumberToObject(root, "resetHour", c.resetHour);
    cJSON_AddNumberToObject(root, "resetMin", c.resetMin);
    cJSON_AddNumberToObject(root, "resetSec", c.resetSec);
    cJSON_AddNumberToObject(root, "infoTableLeft", c.infoTableLeft);
    cJSON_AddNumberToObject(root, "infoTableTop", c.infoTableTop);
    cJSON_AddNumberToObject(root, "enablePost", p.enable);
    cJSON_AddNumberToObject(root, "postMode", static_cast<uint32_t>(p.postMode));
    cJSON_AddNumberToObject(root, "attachSnapshot", p.attachSnapshot);
    cJSON_AddNumberToObject(root, "postType", p.postType);
    cJSON_AddNumberToObject(root, "timeHour", p.timeHour);
    cJSON_AddNumberToObject(root, "timeMin", p.timeMin);
    cJSON_AddNumberToObject(root, "timeSec", p.timeSec);
    cJSON_AddNumberToObject(root, "cameraPort", p.cameraPort);
    cJSON_AddNumberToObject(root, "interval", static_cast<uint32_t>(p.postInterval));
    cJSON_AddStringToObject(root, "httpUrl", p.url[0]);
    cJSON_AddStringToObject(root, "userName", p.user[0]);
    cJSON_AddStringToObject(root, "password", p.password[0]);
    cJSON* list = cJSON_CreateArray();
    for (int i = 0; i < LPR_VEHICLE_POST_SLOTS; ++i) {
        cJSON* entry = cJSON_CreateObject();
        cJSON_AddNumberToObject(entry, "index", i);
        cJSON_AddNumberToObject(entry, "enable", p.httpEnable[i]);
        cJSON_AddStringToObject(entry, "url", p.url[i]);
        cJSON_AddStringToObject(entry, "user", p.user[i]);
        cJSON_AddStringToObject(entry, "password", p.password[i]);
        cJSON_AddItemToArray(list, entry);
    }
    cJSON_AddItemToObject(root, "httpList", list);
    return root;
}

}  // namespace lpr_bench
