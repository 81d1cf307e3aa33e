/*
 * The storing side of the settings daemon: takes a raw settings record as it came off
 * the bus, checks its length and writes it into the settings database in one
 * transaction.
 */
#ifndef LPR_SETTINGSD_SETTINGS_STORE_H
#define LPR_SETTINGSD_SETTINGS_STORE_H

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

struct sqlite3;

namespace settingsd {

/* Topics of the web server library's writes. */
constexpr char kTopicAdvanced[] = "lpr.config.advanced";
constexpr char kTopicCount[] = "lpr.config.count";

/* "[<time> <pid>] settingsd: <message>" on standard output. */
void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct ConnCloser {
    void operator()(sqlite3* conn) const;
};
using ConnPtr = std::unique_ptr<sqlite3, ConnCloser>;

class SettingsStore {
  public:
    /* Creates the database at path with the defaults when there is none, then opens it
     * for writing. false (logged) when neither works. */
    bool open(const std::string& path);

    /* Stores one bus message: the topic says which record, the length must be the
     * record's size. Logs what it did; true when stored. */
    bool store(const char* topic, const void* data, size_t len);

  private:
    std::mutex m_mutex;
    ConnPtr m_conn;
};

}  // namespace settingsd

#endif /* LPR_SETTINGSD_SETTINGS_STORE_H */
