// Drives the vehicle-count write action with arbitrary bodies and lengths; the invariants
// are the harness's (fuzz_harness.h).
#include "fuzz_harness.h"

namespace {

// clang-format off
const std::vector<std::string> kMembers = {
    "enable", "showInformation", "crossRegionRepeatCounting", "countType", "autoReset",
    "resetDayType", "resetHour", "resetMin", "resetSec", "infoTableLeft", "infoTableTop",
    "enablePost", "postMode", "attachSnapshot", "postType", "timeHour", "timeMin", "timeSec",
    "cameraPort", "interval", "httpList.enable"};
// clang-format on

// The alignment gaps.
const std::vector<lpr_fuzz::ByteRange> kGaps = {{17, 3}, {21, 3}, {37, 3}, {3593, 3}};

}  // namespace

LPR_FUZZ_WRITE_TARGET(VEHICLE_COUNT_SETTING, get_vehicle_count_handler, set_vehicle_count_handler,
                      kMembers, kGaps)
