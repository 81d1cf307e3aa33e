/*
 * The overlay (OSD) fields of the advanced settings, by index, as the advanced-settings
 * document names them. An entry's index is its identity: field code i names entry i (the
 * digits 0-9 name 0-9, the letters a-k name 10-20), byte i of osd_space holds entry i's
 * spacing, and "osdSpaceList" lists the entries in this order, all but the line break.
 *
 * For the programs, benchmarks, fuzz targets and tests that build or check documents.
 * liblprcgi keeps its own private copy (s_osdFieldNames in lpr_cgi_advanced.cpp);
 * tests/cgi/advanced_test.cpp compares every document the library prints with documents
 * built from this table, so the two cannot drift apart unseen. (The name of the line
 * break is in no document and changes nothing that the library does.)
 */
#ifndef LPR_OSD_FIELDS_H
#define LPR_OSD_FIELDS_H

#include <cstddef>

namespace lpr {

constexpr size_t kOsdFieldCount = 21;
constexpr size_t kOsdLineBreak = 9; /* may repeat in an overlay order; not in osdSpaceList */

inline constexpr const char* const kOsdFieldNames[kOsdFieldCount] = {
    "time",          "licensePlate",    "plateType",
    "vehicleSpeed",  "direction",       "detectionRegion",
    "position",      "deviceName",      "deviceID",
    "lineBreak",     "plateColor",      "vehicleType",
    "vehicleColor",  "eventType",       "redLightDuration",
    "countryRegion", "vehicleBrand",    "gps",
    "imageSource",   "plateConfidence", "adrPlate",
};

}  // namespace lpr

#endif /* LPR_OSD_FIELDS_H */
