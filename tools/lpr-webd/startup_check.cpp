#include "startup_check.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "Database.h"
#include "lpr_cgi_cache.h"
#include "lpr_defs.h"
#include "lpr_zmq.h"

namespace webd {
namespace {

constexpr std::chrono::milliseconds kRetryInterval(100);

bool has_hot_journal(const std::string& dbPath) {
    struct stat st;
    return stat((dbPath + "-journal").c_str(), &st) == 0 && st.st_size > 0;
}

/* Both records of the database, read as the library reads them; false with the reason. */
bool read_database(const std::string& dbPath, lpr_advanced_t* adv, VEHICLE_COUNT_SETTING* vcs,
                   std::string* error) {
    Database::Connection conn;
    if (conn.open(dbPath.c_str(), "qzdb") != 0) {
        *error = Database::last_error();
        return false;
    }
    std::memset(adv, 0, sizeof *adv);
    std::memset(vcs, 0, sizeof *vcs);
    if (Database::get_instance().get_lpr_advanced(adv, conn.get()) != 0 ||
        Database::get_instance().get_lpr_vehicle_count(vcs, conn.get()) != 0) {
        *error = Database::last_error();
        return false;
    }
    return true;
}

bool cache_holds(const lpr_advanced_t& adv, const VEHICLE_COUNT_SETTING& vcs) {
    lpr_advanced_t cachedAdv;
    VEHICLE_COUNT_SETTING cachedVcs;
    lpr::LprCgiCache& cache = lpr::LprCgiCache::get_instance();
    cache.get_lpr_advanced(cachedAdv);
    cache.get_vehicle_count_setting(cachedVcs);
    return std::memcmp(&adv, &cachedAdv, sizeof adv) == 0 &&
           std::memcmp(&vcs, &cachedVcs, sizeof vcs) == 0;
}

}  // namespace

bool bus_started(std::string* error) {
    if (lpr_zmq_is_running() == 1) {
        return true;
    }
    char reason[256];
    const int rc = lpr_zmq_last_init_error(reason, sizeof reason);
    *error = std::string("the settings library's bus client did not start: ") +
             lpr_zmq_strerror(rc) + " (" + reason + ")";
    if (rc == LPR_ZMQ_EADDRINUSE) {
        *error += "; is another lpr-webd running on the same LPR_ZMQ_IPC_DIR?";
    }
    return false;
}

bool cache_matches_database(const std::string& dbPath, std::chrono::seconds wait,
                            std::string* error) {
    // Flag 0: the library's own init and uninit decide when SQLite shuts down.
    const Database::User database(0);
    if (!database.ok()) {
        *error =
            std::string("the settings database component did not start: ") + Database::last_error();
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool told = false;
    while (true) {
        lpr_advanced_t adv;
        VEHICLE_COUNT_SETTING vcs;
        std::string reason;
        if (read_database(dbPath, &adv, &vcs, &reason)) {
            if (cache_holds(adv, vcs)) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                *error = "the settings cache does not hold what the database " + dbPath + " holds";
                return false;
            }
            // The load at start-up failed (the cache holds zeros or half a record), or the
            // daemon stored a record since: load what the database holds now, then compare.
            lpr::LprCgiCache::get_instance().load(dbPath.c_str());
            continue;
        }
        if (has_hot_journal(dbPath)) {
            reason =
                "it holds a hot journal (a write was interrupted) that only the settings "
                "daemon may roll back; start lpr-settingsd";
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = "cannot read the settings database " + dbPath + " within " +
                     std::to_string(wait.count()) + " s: " + reason;
            return false;
        }
        if (!told) {
            std::printf(
                "lpr-webd: cannot read the settings database %s yet (%s); waiting up to "
                "%lld s\n",
                dbPath.c_str(), reason.c_str(), static_cast<long long>(wait.count()));
            told = true;
        }
        std::this_thread::sleep_for(kRetryInterval);
    }
}

}  // namespace webd
