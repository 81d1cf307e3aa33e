/*
 * Shared definitions of the LPR camera: HTTP method numbers and the two settings
 * records that travel between the settings database, the web server library and the
 * main server.
 *
 * Both records are wire formats. They are published raw on the message bus and read
 * by processes built by other compilers for the camera's 32-bit ARM (EABI,
 * little-endian) target, so every offset below binds to the byte. The layouts use
 * natural alignment only (no packing); the checks at the end of this header stop the
 * build on any target where a field lands elsewhere.
 */
#ifndef LPR_DEFS_H
#define LPR_DEFS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* HTTP method numbers. Method n is bit n of an action's method mask. */
typedef enum {
    QZ_HTTP_GET = 0,
    QZ_HTTP_POST = 1,
} HTTP_METHODS;

/* ---- Advanced settings: text overlay (OSD) and snapshot naming, 608 bytes ---- */

typedef struct {
    int32_t width;
    int32_t height;
} LPR_SNAPSHOT_RESOLUTION_INFO;

typedef enum LprSnapRes {
    LPR_SNAP_RES_2464X2056 = 0,
    LPR_SNAP_RES_2204X1840 = 1,
    LPR_SNAP_RES_1910X1592 = 2,
    LPR_SNAP_RES_1568X1312 = 3,
    LPR_SNAP_RES_1104X928 = 4,
    LPR_SNAP_RES_MAX = 5, /* the count; not a setting */
} LPR_SNAP_RES_E;

/*
 * Text fields hold a NUL-terminated text of at most (size - 1) bytes. osd_space is not
 * a text: byte i holds the spacing of overlay field i as a digit character, and a NUL
 * does not end it. Alignment gaps carry no meaning and are passed on unchanged.
 */
typedef struct lpr_advanced_s {
    uint8_t snap_separator;  /* 0..2 */
    char snap_sort[60];      /* field codes of the snapshot file name */
    char snap_position[96];  /* text of the "position" field in file names */
    char snap_device_id[96]; /* text of the "deviceID" field in file names */
    uint8_t osd_font_size;   /* 0..5 */
    uint8_t osd_fontcolor_r;
    uint8_t osd_fontcolor_g;
    uint8_t osd_fontcolor_b;
    uint8_t osd_bkgcolor_enable; /* 0..1 */
    uint8_t osd_bkgcolor_r;
    uint8_t osd_bkgcolor_g;
    uint8_t osd_bkgcolor_b;
    uint8_t osd_show_pos;   /* 0..4 */
    int32_t osd_height;     /* not exchanged as JSON */
    char osd_sort[60];      /* field codes of the overlay; code 9 is a line break */
    char osd_space[60];     /* spacing digit of overlay field i at byte i */
    char osd_position[96];  /* text of the "position" field in the overlay */
    char osd_device_id[96]; /* text of the "deviceID" field in the overlay */
    LPR_SNAP_RES_E snapRes; /* 0..4 */
    LPR_SNAPSHOT_RESOLUTION_INFO snapshotResInfo;
    uint8_t osd_space_num;   /* overlay line-break character count, 0..6 */
    int32_t fileTimeFormat;  /* 0..2 */
    uint8_t osdTimeFormat;   /* 0..2 */
    int32_t snapshotQuality; /* not exchanged as JSON */
} lpr_advanced_t;

/* ---- Vehicle counting settings, 3596 bytes ---- */

typedef enum {
    VEHICLE_COUNT_WITH_TYPE = 0,
    VEHICLE_COUNT_WITH_SIZE = 1,
    VEHICLE_COUNT_WITH_ALL = 2,
} LPR_VEHICLE_COUNT_TYPE_ENUM;

typedef enum {
    MSG_POST_INSTANT = 0,
    MSG_POST_CUSTOMIZE = 1,
} MSG_POST_MODE;

typedef enum {
    VEHICLE_COUNT_POST_EVERY_DAY = 0,
    VEHICLE_COUNT_POST_EVERY_HOUR = 1,
    VEHICLE_COUNT_POST_EVERY_MIN_5 = 2,
    VEHICLE_COUNT_POST_EVERY_MIN_10 = 3,
    VEHICLE_COUNT_POST_EVERY_MIN_15 = 4,
    VEHICLE_COUNT_POST_EVERY_MIN_20 = 5,
    VEHICLE_COUNT_POST_EVERY_MIN_30 = 6,
} VEHICLE_COUNT_POST_TIME_ENUM;

/* Number of HTTP destinations the counts can be posted to. */
#define LPR_VEHICLE_POST_SLOTS 3

typedef struct LprVehicleCount {
    uint8_t enable;        /* 0..1 */
    uint8_t showInfo;      /* 0..1 */
    uint8_t infoTableLeft; /* 0..100 */
    uint8_t infoTableTop;  /* 0..100 */
    LPR_VEHICLE_COUNT_TYPE_ENUM countType;
    int32_t autoReset;    /* 0..1 */
    uint8_t resetDayType; /* 0..7 */
    uint8_t resetHour;    /* 0..23 */
    uint8_t resetMin;     /* 0..59 */
    uint8_t resetSec;     /* 0..59 */
    uint8_t crossRegion;  /* 0..1 */
} LPR_VEHICLE_COUNTING;

/*
 * The three httpEnable bytes sit directly in front of the first URL, so url, user and
 * password start at odd offsets: the text arrays have no alignment of their own.
 */
typedef struct VehiclePostSetting {
    uint8_t enable; /* 0..1 */
    MSG_POST_MODE postMode;
    VEHICLE_COUNT_POST_TIME_ENUM postInterval;
    uint8_t attachSnapshot; /* 0..1 */
    uint8_t postType;       /* 0..1 */
    uint8_t timeHour;       /* 0..23 */
    uint8_t timeMin;        /* 0..59 */
    uint8_t timeSec;        /* 0..59 */
    int32_t cameraPort;     /* 1..65535 */
    uint8_t httpEnable[LPR_VEHICLE_POST_SLOTS];
    char url[LPR_VEHICLE_POST_SLOTS][1024];
    char user[LPR_VEHICLE_POST_SLOTS][94];
    char password[LPR_VEHICLE_POST_SLOTS][64];
} VEHICLE_POST_SETTING;

typedef struct VehicleCountSetting {
    LPR_VEHICLE_COUNTING countInfo;
    VEHICLE_POST_SETTING postSetting;
} VEHICLE_COUNT_SETTING;

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- Layout checks: a record that does not match the wire format does not build ---- */

#ifdef __cplusplus
#define LPR_LAYOUT_CHECK(cond, msg) static_assert(cond, msg)
#define LPR_ALIGNOF(type) alignof(type)
#else
#define LPR_LAYOUT_CHECK(cond, msg) _Static_assert(cond, msg)
#define LPR_ALIGNOF(type) _Alignof(type)
#endif

#define LPR_CHECK_FIELD(type, field, offset) \
    LPR_LAYOUT_CHECK(offsetof(type, field) == (offset), #type "." #field " must be at " #offset)

LPR_LAYOUT_CHECK(sizeof(HTTP_METHODS) == 4, "HTTP_METHODS is stored in 4 bytes");
LPR_LAYOUT_CHECK(sizeof(LPR_SNAP_RES_E) == 4, "LPR_SNAP_RES_E is stored in 4 bytes");
LPR_LAYOUT_CHECK(sizeof(LPR_SNAPSHOT_RESOLUTION_INFO) == 8, "resolution info is 8 bytes");

LPR_LAYOUT_CHECK(sizeof(lpr_advanced_t) == 608, "lpr_advanced_t is 608 bytes");
LPR_CHECK_FIELD(lpr_advanced_t, snap_separator, 0);
LPR_CHECK_FIELD(lpr_advanced_t, snap_sort, 1);
LPR_CHECK_FIELD(lpr_advanced_t, snap_position, 61);
LPR_CHECK_FIELD(lpr_advanced_t, snap_device_id, 157);
LPR_CHECK_FIELD(lpr_advanced_t, osd_font_size, 253);
LPR_CHECK_FIELD(lpr_advanced_t, osd_fontcolor_r, 254);
LPR_CHECK_FIELD(lpr_advanced_t, osd_fontcolor_g, 255);
LPR_CHECK_FIELD(lpr_advanced_t, osd_fontcolor_b, 256);
LPR_CHECK_FIELD(lpr_advanced_t, osd_bkgcolor_enable, 257);
LPR_CHECK_FIELD(lpr_advanced_t, osd_bkgcolor_r, 258);
LPR_CHECK_FIELD(lpr_advanced_t, osd_bkgcolor_g, 259);
LPR_CHECK_FIELD(lpr_advanced_t, osd_bkgcolor_b, 260);
LPR_CHECK_FIELD(lpr_advanced_t, osd_show_pos, 261);
LPR_CHECK_FIELD(lpr_advanced_t, osd_height, 264);
LPR_CHECK_FIELD(lpr_advanced_t, osd_sort, 268);
LPR_CHECK_FIELD(lpr_advanced_t, osd_space, 328);
LPR_CHECK_FIELD(lpr_advanced_t, osd_position, 388);
LPR_CHECK_FIELD(lpr_advanced_t, osd_device_id, 484);
LPR_CHECK_FIELD(lpr_advanced_t, snapRes, 580);
LPR_CHECK_FIELD(lpr_advanced_t, snapshotResInfo.width, 584);
LPR_CHECK_FIELD(lpr_advanced_t, snapshotResInfo.height, 588);
LPR_CHECK_FIELD(lpr_advanced_t, osd_space_num, 592);
LPR_CHECK_FIELD(lpr_advanced_t, fileTimeFormat, 596);
LPR_CHECK_FIELD(lpr_advanced_t, osdTimeFormat, 600);
LPR_CHECK_FIELD(lpr_advanced_t, snapshotQuality, 604);

LPR_LAYOUT_CHECK(sizeof(LPR_VEHICLE_COUNT_TYPE_ENUM) == 4, "count type is stored in 4 bytes");
LPR_LAYOUT_CHECK(sizeof(MSG_POST_MODE) == 4, "post mode is stored in 4 bytes");
LPR_LAYOUT_CHECK(sizeof(VEHICLE_COUNT_POST_TIME_ENUM) == 4, "post interval is stored in 4 bytes");
LPR_LAYOUT_CHECK(sizeof(LPR_VEHICLE_COUNTING) == 20, "countInfo is 20 bytes");
LPR_LAYOUT_CHECK(sizeof(VEHICLE_POST_SETTING) == 3576, "postSetting is 3576 bytes");
LPR_LAYOUT_CHECK(sizeof(VEHICLE_COUNT_SETTING) == 3596, "VEHICLE_COUNT_SETTING is 3596 bytes");
LPR_LAYOUT_CHECK(LPR_ALIGNOF(VEHICLE_COUNT_SETTING) == 4,
                 "VEHICLE_COUNT_SETTING is 4-byte aligned");
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.enable, 0);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.showInfo, 1);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.infoTableLeft, 2);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.infoTableTop, 3);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.countType, 4);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.autoReset, 8);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.resetDayType, 12);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.resetHour, 13);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.resetMin, 14);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.resetSec, 15);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, countInfo.crossRegion, 16);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting, 20);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.enable, 20);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.postMode, 24);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.postInterval, 28);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.attachSnapshot, 32);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.postType, 33);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.timeHour, 34);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.timeMin, 35);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.timeSec, 36);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.cameraPort, 40);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.httpEnable, 44);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.url, 47);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.url[2], 2095);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.user, 3119);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.user[2], 3307);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.password, 3401);
LPR_CHECK_FIELD(VEHICLE_COUNT_SETTING, postSetting.password[2], 3529);

#ifdef __cplusplus
#include <type_traits>
static_assert(std::is_trivially_copyable<lpr_advanced_t>::value, "records are copied as bytes");
static_assert(std::is_trivially_copyable<VEHICLE_COUNT_SETTING>::value,
              "records are copied as bytes");
#endif

#endif /* LPR_DEFS_H */
