/*
 * The change log: one JSON line per settings write that the library accepted, appended
 * once the write's outcome is known (stored by the settings daemon, or not and why):
 *
 *   {"time":"2026-01-31T12:00:00.123Z","user":"admin","client":"127.0.0.1",
 *    "action":"set_vehicle_count","stored":true,
 *    "changes":[{"member":"resetHour","old":0,"new":3}]}
 *
 * Members are named as the API names them (document_diff.h); passwords are shown as the
 * placeholder (or "" when empty), never in clear. When appending a line would take the
 * file past its size limit, the file becomes PATH.1 (replacing the one before) and a new
 * PATH begins, so the log holds at most twice the limit. GET /api/v1/changes?limit=N
 * (permission change) answers the newest N entries, newest first. docs/host.md ("Change
 * log") describes the format.
 *
 * What a write changed is told by the documents the library's read action answers right
 * before and after it: capture() runs under the record's gate (write_ack.h), so the writes
 * of one record are seen one at a time, in the order of the cache's stores; the document
 * after one write is the document before the next. Everything else runs outside the gate.
 *
 * Thread-safety: every function may run on any thread; one mutex guards the file, another
 * the documents. No function throws: a failure to write the log is reported on standard error
 * and in state(), and the web server goes on serving.
 */
#ifndef LPR_WEBD_CHANGE_LOG_H
#define LPR_WEBD_CHANGE_LOG_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "settings_table.h"
#include "unique_fd.h"
#include "write_ack.h"

namespace webd {

/* The documents before and after one write the library accepted; empty (doc null) for
 * anything else. */
struct CapturedChange {
    const settings::Document* doc = nullptr;
    std::string action;
    std::string before;
    std::string after;
};

class ChangeLog {
  public:
    /* Most entries GET /api/v1/changes answers, and how many without a limit. */
    static constexpr size_t kMaxLimit = 1000;
    static constexpr size_t kDefaultLimit = 100;

    ChangeLog(std::string path, size_t maxBytes);
    ~ChangeLog();
    ChangeLog(const ChangeLog&) = delete;
    ChangeLog& operator=(const ChangeLog&) = delete;

    /* Opens the log for appending (made with mode 0640 when missing) and reads both
     * documents through the library, whose read actions must be registered. false with
     * *error when either fails. */
    bool open(std::string* error);

    /* Right after lpr_cgi_handle ran action, still under the record's gate: what a write
     * that the library answered with code changed. Empty unless action is a settings
     * write and code is 200. */
    CapturedChange capture(const std::string& action, int32_t code);

    /* Appends the entry of a captured write once its outcome is known. Does nothing for
     * an empty capture. */
    void append(const CapturedChange& change, const std::string& user, const std::string& client,
                const WriteOutcome& outcome);

    /* The reply to GET /api/v1/changes: the newest entries as a JSON array, newest first,
     * or a 400 envelope for a limit (the query argument, null when absent) that is not
     * a whole number from 1 to kMaxLimit; *status receives the HTTP status. */
    std::string reply(const char* limit, unsigned* status) const;

    struct State {
        std::string path;
        size_t maxBytes = 0;
        size_t bytes = 0;     /* of the current file */
        uint64_t entries = 0; /* appended since the start */
        std::string error;    /* the last failure to write; "" when none */
    };
    State state() const;

  private:
    bool read_document(const settings::Document& doc, std::string* text) const;
    bool write_line(const std::string& line);
    void newest_lines(size_t limit, std::vector<std::string>* lines) const;

    const std::string m_path;
    const size_t m_maxBytes;
    /* The file: a reader of the newest entries holds it while it reads, which must not
     * hold up capture() under a record's gate, so the documents have a mutex of their own. */
    mutable std::mutex m_mutex; /* guards m_fd, m_entries, m_error */
    tools::UniqueFd m_fd;
    uint64_t m_entries = 0;
    std::string m_error;
    std::mutex m_documentsMutex;          /* guards m_documents */
    std::vector<std::string> m_documents; /* per settings document, the latest */
};

}  // namespace webd

#endif /* LPR_WEBD_CHANGE_LOG_H */
