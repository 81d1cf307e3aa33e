#include "change_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cgi/lpr_cgi.h"
#include "document_diff.h"
#include "json_tree.h"
#include "unique_fd.h"
#include "users.h"

namespace webd {
namespace {

using tools::attach;
using tools::CJsonPtr;
using tools::UniqueFd;

/* Bytes read at a time from the end of the log when looking for the newest entries. */
constexpr size_t kTailBlock = 64 * 1024;

/* A reply of lpr_cgi_handle, released on every way out. */
struct LibraryReply {
    LprCgiResp resp{};
    ~LibraryReply() { lpr_cgi_resp_free(&resp); }
};

std::string utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const long long millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[48];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03lldZ", millis);
    return text;
}

/* old or new of one change: its JSON, the placeholder for a password, null when absent. */
cJSON* change_value(const std::string& value, bool secret) {
    if (value.empty()) {
        return cJSON_CreateNull();
    }
    return cJSON_CreateRaw((secret ? settings::masked_value(value) : value).c_str());
}

/* The "changes" of an entry; null when a document cannot be read. */
cJSON* changes_json(const CapturedChange& change) {
    CJsonPtr before(cJSON_Parse(change.before.c_str()));
    CJsonPtr after(cJSON_Parse(change.after.c_str()));
    if (!before || !after) {
        return cJSON_CreateNull();
    }
    CJsonPtr list(cJSON_CreateArray());
    for (const settings::MemberChange& c :
         settings::diff_documents(*change.doc, before.get(), after.get())) {
        cJSON* item = attach(list.get(), nullptr, cJSON_CreateObject());
        attach(item, "member", cJSON_CreateString(c.path.c_str()));
        attach(item, "old", change_value(c.before, c.secret));
        attach(item, "new", change_value(c.after, c.secret));
    }
    return list.release();
}

bool is_entry(const std::string& line) {
    CJsonPtr entry(cJSON_ParseWithLength(line.data(), line.size()));
    return cJSON_IsObject(entry.get());
}

/* Up to need entries from the end of the file at path, newest first, appended to out. A
 * last line without its line break (a write cut short) and lines that are not JSON
 * objects are passed over. */
void tail_entries(const std::string& path, size_t need, std::vector<std::string>* out) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const off_t size = fd.valid() ? ::lseek(fd.get(), 0, SEEK_END) : -1;
    if (size <= 0) {
        return;
    }
    const size_t wanted = out->size() + need;
    size_t pos = static_cast<size_t>(size);
    std::string pending;  // bytes from pos on not yet taken; ends with a line break once found
    bool tailDropped = false;
    while (out->size() < wanted && (pos > 0 || !pending.empty())) {
        if (pos > 0) {
            const size_t n = std::min(pos, kTailBlock);
            pos -= n;
            std::string block(n, '\0');
            if (::pread(fd.get(), &block[0], n, static_cast<off_t>(pos)) !=
                static_cast<ssize_t>(n)) {
                return;
            }
            pending.insert(0, block);
        }
        if (!tailDropped) {
            const size_t lastBreak = pending.rfind('\n');
            if (lastBreak == std::string::npos) {
                if (pos == 0) {
                    return;
                }
                continue;
            }
            pending.erase(lastBreak + 1);
            tailDropped = true;
        }
        // pending ends with a line break: whole lines are taken from its end.
        while (out->size() < wanted && !pending.empty()) {
            const size_t end = pending.size() - 1;  // the break that ends the last line
            const size_t previous = end == 0 ? std::string::npos : pending.rfind('\n', end - 1);
            if (previous == std::string::npos && pos > 0) {
                break;  // the line begins in a block not read yet
            }
            const size_t start = previous == std::string::npos ? 0 : previous + 1;
            const std::string line = pending.substr(start, end - start);
            pending.erase(start);
            if (is_entry(line)) {
                out->push_back(line);
            }
        }
    }
}

}  // namespace

ChangeLog::ChangeLog(std::string path, size_t maxBytes)
    : m_path(std::move(path)), m_maxBytes(maxBytes) {}

ChangeLog::~ChangeLog() = default;

bool ChangeLog::open(std::string* error) {
    std::lock_guard<std::mutex> fileLock(m_mutex);
    std::lock_guard<std::mutex> documentsLock(m_documentsMutex);
    m_fd.reset(::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
    if (!m_fd.valid()) {
        *error = "cannot open the change log " + m_path + ": " + std::strerror(errno);
        return false;
    }
    size_t count = 0;
    const settings::Document* docs = settings::documents(&count);
    m_documents.assign(count, std::string());
    for (size_t i = 0; i < count; ++i) {
        if (!read_document(docs[i], &m_documents[i])) {
            *error = std::string("the settings library does not answer ") + docs[i].readAction;
            return false;
        }
    }
    return true;
}

bool ChangeLog::read_document(const settings::Document& doc, std::string* text) const {
    LprCgiCtx ctx{};
    ctx.action = doc.readAction;
    ctx.method = QZ_HTTP_GET;
    ctx.lprPermission = kPermView;
    LibraryReply reply;
    if (lpr_cgi_handle(&ctx, &reply.resp) != 0 || reply.resp.code != 200 ||
        reply.resp.body == nullptr) {
        return false;
    }
    text->assign(reply.resp.body, static_cast<size_t>(reply.resp.bodyLen));
    return true;
}

CapturedChange ChangeLog::capture(const std::string& action, int32_t code) {
    const settings::Document* doc = settings::document_for_action(action);
    if (doc == nullptr || action != doc->writeAction || code != 200) {
        return {};
    }
    try {
        CapturedChange change;
        change.doc = doc;
        change.action = action;
        read_document(*doc, &change.after);  // left empty if it fails: changes unknown
        size_t count = 0;
        const size_t index = static_cast<size_t>(doc - settings::documents(&count));
        std::lock_guard<std::mutex> lock(m_documentsMutex);
        change.before = m_documents.at(index);
        m_documents[index] = change.after;
        return change;
    } catch (...) {
        return {};  // memory ran out: the write goes unlogged rather than the server down
    }
}

void ChangeLog::append(const CapturedChange& change, const std::string& user,
                       const std::string& client, const WriteOutcome& outcome) {
    if (change.doc == nullptr) {
        return;
    }
    try {
        CJsonPtr entry(cJSON_CreateObject());
        if (!entry) {
            throw std::bad_alloc();
        }
        attach(entry.get(), "time", cJSON_CreateString(utc_now().c_str()));
        attach(entry.get(), "user", cJSON_CreateString(user.c_str()));
        attach(entry.get(), "client", cJSON_CreateString(client.c_str()));
        attach(entry.get(), "action", cJSON_CreateString(change.action.c_str()));
        attach(entry.get(), "stored", cJSON_CreateBool(outcome.stored));
        if (!outcome.stored) {
            attach(entry.get(), "reason", cJSON_CreateString(outcome.reason.c_str()));
        }
        attach(entry.get(), "changes", changes_json(change));
        const std::string line = tools::print_compact(entry.get()) + "\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        if (write_line(line)) {
            ++m_entries;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lpr-webd: a change was not logged: %s\n", e.what());
    }
}

// Called with m_mutex held.
bool ChangeLog::write_line(const std::string& line) {
    struct stat st {};
    if (m_fd.valid() && ::fstat(m_fd.get(), &st) == 0 && st.st_size > 0 &&
        static_cast<size_t>(st.st_size) + line.size() > m_maxBytes) {
        const std::string older = m_path + ".1";
        if (::rename(m_path.c_str(), older.c_str()) == 0) {
            m_fd.reset(::open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640));
        }
    }
    std::string failure;
    if (!m_fd.valid()) {
        failure = "cannot open it: " + std::string(std::strerror(errno));
    } else {
        // One write per line, in append mode: lines of concurrent writers never mix.
        const ssize_t n = ::write(m_fd.get(), line.data(), line.size());
        if (n != static_cast<ssize_t>(line.size())) {
            failure = n < 0 ? std::strerror(errno) : "short write (disk full?)";
        }
    }
    if (!failure.empty()) {
        failure = "cannot write the change log " + m_path + ": " + failure;
        if (failure != m_error) {
            std::fprintf(stderr, "lpr-webd: %s\n", failure.c_str());
        }
        m_error = failure;
        return false;
    }
    m_error.clear();
    return true;
}

// Called with m_mutex held, so that no rotation comes between the two files.
void ChangeLog::newest_lines(size_t limit, std::vector<std::string>* lines) const {
    tail_entries(m_path, limit, lines);
    if (lines->size() < limit) {
        tail_entries(m_path + ".1", limit - lines->size(), lines);
    }
}

std::string ChangeLog::reply(const char* limit, unsigned* status) const {
    size_t wanted = kDefaultLimit;
    if (limit != nullptr) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(limit, &end, 10);
        if (*limit < '0' || *limit > '9' || *end != '\0' || errno != 0 || n < 1 || n > kMaxLimit) {
            *status = 400;
            return "{\"code\":400,\"msg\":\"Invalid parameter: limit\",\"hint\":\"limit is a "
                   "whole number from 1 to " +
                   std::to_string(kMaxLimit) + "; without it the newest " +
                   std::to_string(kDefaultLimit) + " entries are answered\"}";
        }
        wanted = static_cast<size_t>(n);
    }
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        newest_lines(wanted, &lines);
    }
    std::string body = "[";
    for (size_t i = 0; i < lines.size(); ++i) {
        body += (i == 0 ? "" : ",") + lines[i];
    }
    *status = 200;
    return body + "]";
}

ChangeLog::State ChangeLog::state() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    State s;
    s.path = m_path;
    s.maxBytes = m_maxBytes;
    struct stat st {};
    s.bytes = m_fd.valid() && ::fstat(m_fd.get(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    s.entries = m_entries;
    s.error = m_error;
    return s;
}

}  // namespace webd
