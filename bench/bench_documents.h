/*
 * The settings a camera in service holds, and the JSON work that serving them cannot
 * avoid: the floors the library's actions are measured against.
 */
#ifndef LPR_BENCH_DOCUMENTS_H
#define LPR_BENCH_DOCUMENTS_H

#include <cjson/cJSON.h>

#include "lpr_defs.h"

namespace lpr_bench {

/* Advanced settings of a camera at a gate: a two-line overlay with most fields, file
 * names of six fields, every text filled. */
lpr_advanced_t realistic_advanced();

/* Vehicle counting with posting to three destinations, every URL, user and password
 * filled. */
VEHICLE_COUNT_SETTING realistic_vehicle_count();

/* The advanced-settings document of adv and the vehicle-count read document of vcs,
 * built directly with cJSON: the tree the read actions cannot do without. The caller
 * frees the tree with cJSON_Delete. */
cJSON* build_advanced_document(const lpr_advanced_t& adv);
cJSON* build_vehicle_count_document(const VEHICLE_COUNT_SETTING& vcs);

}  // namespace lpr_bench

#endif /* LPR_BENCH_DOCUMENTS_H */
