/*
 * The settings cache's copies of the two records, for the tests and the fuzz targets
 * that link the library's objects.
 */
#ifndef LPR_TEST_CACHED_RECORD_H
#define LPR_TEST_CACHED_RECORD_H

#include <cstring>
#include <type_traits>

#include "lpr_cgi_cache.h"

namespace lpr_test {

template <typename Record>
Record cached() {
    Record r;
    std::memset(&r, 0, sizeof r);
    if constexpr (std::is_same_v<Record, lpr_advanced_t>) {
        lpr::LprCgiCache::get_instance().get_lpr_advanced(r);
    } else {
        lpr::LprCgiCache::get_instance().get_vehicle_count_setting(r);
    }
    return r;
}

inline void put_cached(const lpr_advanced_t& r) {
    lpr::LprCgiCache::get_instance().set_lpr_advanced(r);
}
inline void put_cached(const VEHICLE_COUNT_SETTING& r) {
    lpr::LprCgiCache::get_instance().set_vehicle_count_setting(r);
}

}  // namespace lpr_test

#endif /* LPR_TEST_CACHED_RECORD_H */
