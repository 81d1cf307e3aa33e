#include "lpr_cgi_cache.h"

#include <cstring>

#include "Database.h"

#define LPR_LOG_TAG "lpr_cgi_cache"
#define LPR_LOG_FILE "lib/src/cgi/lpr_cgi_cache.cpp"
#include "lpr_cgi_log.h"

namespace lpr {

namespace {
// Line numbers of the cache's log lines, as log readers know them.
constexpr int kLineOpenFailed = 41;
constexpr int kLineAdvancedFailed = 47;
constexpr int kLineVehicleCountFailed = 53;
constexpr int kLineLoaded = 59;
}  // namespace

LprCgiCache& LprCgiCache::get_instance() {
    static LprCgiCache instance;
    return instance;
}

LprCgiCache::LprCgiCache() {
    std::memset(&m_lprAdvanced, 0, sizeof m_lprAdvanced);
    std::memset(&m_vehicleCountSetting, 0, sizeof m_vehicleCountSetting);
}

LprCgiCache::~LprCgiCache() = default;

int LprCgiCache::load(const char* dbPath) {
    if (dbPath == nullptr) {
        return -1;
    }
    // Declared before the connection, so that the connection is closed while the lock is
    // still held; taken only once the database is open.
    std::unique_lock<std::mutex> guard(m_mutex, std::defer_lock);
    sqlite3* conn = nullptr;
    if (Database::sqlite_conn(dbPath, "qzdb", &conn) != 0) {
        LPR_LOG(kLineOpenFailed, "failed to open %s", dbPath);
        return -1;
    }
    // Closes it with Database::sqlite_disconn on every way out, after a failure's log line.
    Database::Connection closer(conn);

    guard.lock();
    // On a failed read the record keeps whatever the database left in it; the read
    // never writes outside the record.
    if (Database::get_instance().get_lpr_advanced(&m_lprAdvanced, conn) != 0) {
        LPR_LOG(kLineAdvancedFailed, "failed to read lpr_advanced from %s", dbPath);
        return -1;
    }
    if (Database::get_instance().get_lpr_vehicle_count(&m_vehicleCountSetting, conn) != 0) {
        LPR_LOG(kLineVehicleCountFailed, "failed to read lpr_vehicle_count from %s", dbPath);
        return -1;
    }
    closer.reset();  // closed before the "loaded" line
    LPR_LOG(kLineLoaded, "loaded from %s", dbPath);
    return 0;
}

// Whole records are copied byte for byte, gaps included: the bytes that leave the cache
// are the bytes that went in.
std::unique_lock<std::mutex> LprCgiCache::lock() {
    return std::unique_lock<std::mutex>(m_mutex);
}

void LprCgiCache::set_lpr_advanced(const lpr_advanced_t& adv) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::memcpy(&m_lprAdvanced, &adv, sizeof m_lprAdvanced);
}

void LprCgiCache::get_lpr_advanced(lpr_advanced_t& adv) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::memcpy(&adv, &m_lprAdvanced, sizeof adv);
}

void LprCgiCache::set_vehicle_count_setting(const VEHICLE_COUNT_SETTING& vcs) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::memcpy(&m_vehicleCountSetting, &vcs, sizeof m_vehicleCountSetting);
}

void LprCgiCache::get_vehicle_count_setting(VEHICLE_COUNT_SETTING& vcs) {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::memcpy(&vcs, &m_vehicleCountSetting, sizeof vcs);
}

}  // namespace lpr
