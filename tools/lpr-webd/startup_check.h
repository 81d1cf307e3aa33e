/*
 * What lpr-webd checks after the library started and before it serves anything. The
 * library starts whatever happens to its bus client and its cache load (a failed load
 * leaves the cache all zeros); the host must not serve, nor accept writes on, either.
 */
#ifndef LPR_WEBD_STARTUP_CHECK_H
#define LPR_WEBD_STARTUP_CHECK_H

#include <chrono>
#include <string>

namespace webd {

/* True when the library's bus client runs; otherwise false with the reason it did not
 * start (another lpr-webd on the same ipc folder, a missing folder, ...). */
bool bus_started(std::string* error);

/* True once the library's cache holds byte for byte what the settings database holds, both
 * records read through the Database component and compared with the cache's public copies.
 * A database that cannot be read (a hot journal that only the settings daemon may roll back,
 * a file of another schema version, ...) is read again every 100 ms for up to wait, and the
 * cache is loaded again once it reads; false with the reason when that does not happen. */
bool cache_matches_database(const std::string& dbPath, std::chrono::seconds wait,
                            std::string* error);

}  // namespace webd

#endif /* LPR_WEBD_STARTUP_CHECK_H */
