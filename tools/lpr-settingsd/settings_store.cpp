#include "settings_store.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "Database.h"
#include "lpr_common.h"
#include "lpr_defs.h"

namespace settingsd {

void log_line(const char* format, ...) {
    char when[32] = {};
    lpr_get_time_string(when, sizeof when);
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    std::printf("[%s %d] settingsd: %s\n", when, static_cast<int>(getpid()), message);
}

void ConnCloser::operator()(sqlite3* conn) const {
    Database::sqlite_disconn(conn);
}

bool SettingsStore::open(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0) {
        if (Database::create_default(path.c_str()) != 0) {
            log_line("cannot create settings database %s: %s", path.c_str(),
                     Database::last_error());
            return false;
        }
        log_line("created settings database %s with the default settings", path.c_str());
    }
    sqlite3* conn = nullptr;
    if (Database::sqlite_conn_rw(path.c_str(), &conn) != 0) {
        log_line("cannot open settings database %s: %s", path.c_str(), Database::last_error());
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_conn.reset(conn);
    return true;
}

bool SettingsStore::store(const char* topic, const void* data, size_t len) {
    const bool advanced = std::strcmp(topic, kTopicAdvanced) == 0;
    const bool count = std::strcmp(topic, kTopicCount) == 0;
    if (!advanced && !count) {
        log_line("ignored %s (%zu bytes): not a settings topic", topic, len);
        return false;
    }
    const size_t expected = advanced ? sizeof(lpr_advanced_t) : sizeof(VEHICLE_COUNT_SETTING);
    if (len != expected || data == nullptr) {
        log_line("refused %s: %zu bytes, a record has %zu", topic, len, expected);
        return false;
    }
    // The payload carries no alignment: copy it into a record of its own first.
    int rc;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (advanced) {
        lpr_advanced_t record;
        std::memcpy(&record, data, sizeof record);
        rc = Database::get_instance().set_lpr_advanced(&record, m_conn.get());
    } else {
        VEHICLE_COUNT_SETTING record;
        std::memcpy(&record, data, sizeof record);
        rc = Database::get_instance().set_lpr_vehicle_count(&record, m_conn.get());
    }
    if (rc != 0) {
        log_line("cannot store %s: %s", topic, Database::last_error());
        return false;
    }
    log_line("stored %s (%zu bytes)", topic, len);
    return true;
}

}  // namespace settingsd
