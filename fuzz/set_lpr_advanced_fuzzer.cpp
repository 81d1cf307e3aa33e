// Drives the advanced-settings write action with arbitrary bodies and lengths; the
// invariants are the harness's (fuzz_harness.h).
#include "fuzz_harness.h"

namespace {

// clang-format off
const std::vector<std::string> kMembers = {
    "osdSort", "osdFontSize", "osdFontColor", "osdBkgEnable", "osdBkgColor", "osdPosition",
    "osdSpaceList", "osdPositionName", "osdDeviceId", "lineBreakCharNum", "snapSeparator",
    "snapSort", "snapPosition", "snapDeviceId", "osdDateTimeFormat", "fileDateTimeFormat",
    "snapshotResolution", "snapshotResInfo"};
// clang-format on

// Bytes that no member names: osd_height, the spacing of lineBreak, countryRegion and
// vehicleBrand, the unused tail of osd_space, snapshotQuality and the alignment gaps.
const std::vector<lpr_fuzz::ByteRange> kUnnamed = {
    {262, 2}, {264, 4}, {328 + 9, 1}, {328 + 15, 2}, {593, 3}, {601, 3}, {328 + 21, 39}, {604, 4}};

}  // namespace

LPR_FUZZ_WRITE_TARGET(lpr_advanced_t, get_lpr_advanced_handler, set_lpr_advanced_handler, kMembers,
                      kUnnamed)
