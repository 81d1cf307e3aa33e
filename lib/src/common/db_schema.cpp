// The settings database's columns and the settings of a new camera.
//
// The column table is the schema: db_sql.cpp makes the CREATE TABLE statements and the
// row statements from it and db_records.cpp reads and writes the fields through it, so
// a column is named, typed and placed in one row only. Column names are the record's
// field names; the texts of docs/database.md follow this table.
#include <cstring>

#include "Database.h"

namespace {

#define LPR_COLUMN(table, T, rec, name, member, slots)                       \
    DatabaseColumn {                                                         \
        table, name, DatabaseColumn::rec, LPR_RECORD_FIELD(T, member), slots \
    }

#define ADV(field) LPR_COLUMN("lpr_advanced", lpr_advanced_t, RECORD_ADVANCED, #field, field, 1)
#define COUNT(field)                                                                 \
    LPR_COLUMN("vehicle_count", VEHICLE_COUNT_SETTING, RECORD_VEHICLE_COUNT, #field, \
               countInfo.field, 1)
#define POST(field)                                                                 \
    LPR_COLUMN("vehicle_post", VEHICLE_COUNT_SETTING, RECORD_VEHICLE_COUNT, #field, \
               postSetting.field, 1)
#define HTTP(field)                                                                      \
    LPR_COLUMN("vehicle_post_http", VEHICLE_COUNT_SETTING, RECORD_VEHICLE_COUNT, #field, \
               postSetting.field[0], LPR_VEHICLE_POST_SLOTS)

// osd_space is a char array but not a text: byte i is the spacing digit of overlay
// field i, and a NUL does not end it.
constexpr DatabaseColumn digits(DatabaseColumn column) {
    column.field.type = lpr::FieldType::DIGITS;
    return column;
}

constexpr DatabaseColumn s_columns[] = {
    ADV(snap_separator),
    ADV(snap_sort),
    ADV(snap_position),
    ADV(snap_device_id),
    ADV(osd_font_size),
    ADV(osd_fontcolor_r),
    ADV(osd_fontcolor_g),
    ADV(osd_fontcolor_b),
    ADV(osd_bkgcolor_enable),
    ADV(osd_bkgcolor_r),
    ADV(osd_bkgcolor_g),
    ADV(osd_bkgcolor_b),
    ADV(osd_show_pos),
    ADV(osd_height),
    ADV(osd_sort),
    digits(ADV(osd_space)),
    ADV(osd_position),
    ADV(osd_device_id),
    ADV(snapRes),
    LPR_COLUMN("lpr_advanced", lpr_advanced_t, RECORD_ADVANCED, "snapshotResInfo_width",
               snapshotResInfo.width, 1),
    LPR_COLUMN("lpr_advanced", lpr_advanced_t, RECORD_ADVANCED, "snapshotResInfo_height",
               snapshotResInfo.height, 1),
    ADV(osd_space_num),
    ADV(fileTimeFormat),
    ADV(osdTimeFormat),
    ADV(snapshotQuality),

    COUNT(enable),
    COUNT(showInfo),
    COUNT(infoTableLeft),
    COUNT(infoTableTop),
    COUNT(countType),
    COUNT(autoReset),
    COUNT(resetDayType),
    COUNT(resetHour),
    COUNT(resetMin),
    COUNT(resetSec),
    COUNT(crossRegion),

    POST(enable),
    POST(postMode),
    POST(postInterval),
    POST(attachSnapshot),
    POST(postType),
    POST(timeHour),
    POST(timeMin),
    POST(timeSec),
    POST(cameraPort),

    HTTP(httpEnable),
    HTTP(url),
    HTTP(user),
    HTTP(password),
};

template <size_t N>
void copy_text(char (&dst)[N], const char* text) {
    static_assert(N > 0, "text field");
    std::strncpy(dst, text, N - 1);
    dst[N - 1] = '\0';
}

}  // namespace

const DatabaseColumn* Database::columns(size_t* count) {
    if (count != nullptr) {
        *count = sizeof s_columns / sizeof s_columns[0];
    }
    return s_columns;
}

// A new camera shows time, plate and plate colour on the first overlay line and speed,
// direction and device ID on the second, names snapshots by time, plate and device ID,
// and takes full-resolution snapshots. Every value lies inside the range that the web
// interface accepts, so that the settings page can be saved back unchanged.
void Database::default_lpr_advanced(lpr_advanced_t* adv) {
    if (adv == nullptr) {
        return;
    }
    std::memset(adv, 0, sizeof *adv);
    adv->snap_separator = 0;
    copy_text(adv->snap_sort, "018");
    copy_text(adv->snap_position, "Entrance");
    copy_text(adv->snap_device_id, "LPR-CAM-01");
    adv->osd_font_size = 2;
    adv->osd_fontcolor_r = 255;
    adv->osd_fontcolor_g = 255;
    adv->osd_fontcolor_b = 255;
    adv->osd_bkgcolor_enable = 1;
    adv->osd_bkgcolor_r = 0;
    adv->osd_bkgcolor_g = 0;
    adv->osd_bkgcolor_b = 0;
    adv->osd_show_pos = 0;
    adv->osd_height = 0;
    copy_text(adv->osd_sort, "01a9348");
    // One space after each of the 21 overlay fields.
    std::memset(adv->osd_space, '1', 21);
    copy_text(adv->osd_position, "Entrance");
    copy_text(adv->osd_device_id, "LPR-CAM-01");
    adv->snapRes = LPR_SNAP_RES_2464X2056;
    adv->snapshotResInfo.width = 2464;
    adv->snapshotResInfo.height = 2056;
    adv->osd_space_num = 0;
    adv->fileTimeFormat = 0;
    adv->osdTimeFormat = 0;
    adv->snapshotQuality = 80;
}

// Counting and posting are off until an installer turns them on; the destinations are
// empty, and posts would go from port 80.
void Database::default_vehicle_count(VEHICLE_COUNT_SETTING* vcs) {
    if (vcs == nullptr) {
        return;
    }
    std::memset(vcs, 0, sizeof *vcs);
    LPR_VEHICLE_COUNTING& count = vcs->countInfo;
    count.enable = 0;
    count.showInfo = 0;
    count.infoTableLeft = 0;
    count.infoTableTop = 0;
    count.countType = VEHICLE_COUNT_WITH_TYPE;
    count.autoReset = 0;
    count.resetDayType = 0;
    count.resetHour = 0;
    count.resetMin = 0;
    count.resetSec = 0;
    count.crossRegion = 0;
    VEHICLE_POST_SETTING& post = vcs->postSetting;
    post.enable = 0;
    post.postMode = MSG_POST_INSTANT;
    post.postInterval = VEHICLE_COUNT_POST_EVERY_DAY;
    post.attachSnapshot = 0;
    post.postType = 0;
    post.timeHour = 0;
    post.timeMin = 0;
    post.timeSec = 0;
    post.cameraPort = 80;
    for (int slot = 0; slot < LPR_VEHICLE_POST_SLOTS; ++slot) {
        post.httpEnable[slot] = 0;
        post.url[slot][0] = '\0';
        post.user[slot][0] = '\0';
        post.password[slot][0] = '\0';
    }
}
