/*
 * The process-wide copy of both settings records. Reads are served from here; the
 * settings database is read only by load, at start-up.
 *
 * Thread-safety: every get_/set_ copies one whole record under m_mutex, so a reader
 * never sees a record half written. A write action's get, change and set is not
 * atomic as a whole: of two overlapping writes, the later set wins whole.
 */
#ifndef LPR_CGI_CACHE_H
#define LPR_CGI_CACHE_H

#include <mutex>

#include "cgi/lpr_cgi.h"
#include "lpr_defs.h"

namespace lpr {

class LprCgiCache {
  public:
    /* The single instance, built on first use (safe against concurrent first calls). */
    LPR_CGI_API static LprCgiCache& get_instance();

    /* Fills both records from the settings database at dbPath. 0 both loaded, -1
     * otherwise; see the log lines for which step failed. */
    LPR_CGI_API int load(const char* dbPath);

    /* m_mutex, locked, for callers that need several operations under one lock. The
     * holder must not call load or any get_/set_ (the mutex is not recursive). */
    LPR_CGI_API std::unique_lock<std::mutex> lock();

    LPR_CGI_API void set_lpr_advanced(const lpr_advanced_t& adv);
    LPR_CGI_API void get_lpr_advanced(lpr_advanced_t& adv);
    LPR_CGI_API void set_vehicle_count_setting(const VEHICLE_COUNT_SETTING& vcs);
    LPR_CGI_API void get_vehicle_count_setting(VEHICLE_COUNT_SETTING& vcs);

    LprCgiCache(const LprCgiCache&) = delete;
    LprCgiCache& operator=(const LprCgiCache&) = delete;

  private:
    LprCgiCache();
    ~LprCgiCache();

    std::mutex m_mutex;
    lpr_advanced_t m_lprAdvanced;
    VEHICLE_COUNT_SETTING m_vehicleCountSetting;
};

}  // namespace lpr

#endif /* LPR_CGI_CACHE_H */
