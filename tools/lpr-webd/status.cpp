#include "status.h"

#include <unistd.h>

#include "Database.h"
#include "cgi/lpr_cgi.h"
#include "json_tree.h"
#include "lpr_zmq.h"
#include "program_version.h"

namespace webd {
namespace {

using tools::attach;
using tools::CJsonPtr;
using Clock = std::chrono::steady_clock;

cJSON* number(double value) {
    return cJSON_CreateNumber(value);
}

double age_ms(Clock::time_point since, Clock::time_point now) {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count());
}

/* Whether the library dispatches: an action name that no one registers is answered "no
 * such action" (1) by a started library and "not started" (-1) otherwise, and runs no
 * handler. */
bool library_started() {
    LprCgiCtx ctx{};
    ctx.action = "";
    LprCgiResp resp{};
    const int32_t rc = lpr_cgi_handle(&ctx, &resp);
    lpr_cgi_resp_free(&resp);
    return rc == 1;
}

cJSON* library_json() {
    cJSON* library = cJSON_CreateObject();
    CJsonPtr owner(library);
    attach(library, "started", cJSON_CreateBool(library_started()));
    const bool running = lpr_zmq_is_running() == 1;
    attach(library, "busClient", cJSON_CreateString(running ? "running" : "stopped"));
    if (!running) {
        char reason[256] = {};
        lpr_zmq_last_init_error(reason, sizeof reason);
        attach(library, "busError", cJSON_CreateString(reason));
    }
    return owner.release();
}

cJSON* daemon_json(const DaemonContact& contact, Clock::time_point now) {
    CJsonPtr daemon(cJSON_CreateObject());
    const bool heard = contact.heardHeartbeat || contact.heardAck;
    const bool beatIsLast =
        contact.heardHeartbeat && (!contact.heardAck || contact.heartbeatAt >= contact.ackAt);
    const Clock::time_point last = beatIsLast ? contact.heartbeatAt : contact.ackAt;
    const char* state = !heard                             ? "not heard"
                        : now - last <= kDaemonSilentAfter ? "running"
                                                           : "silent";
    attach(daemon.get(), "state", cJSON_CreateString(state));
    attach(daemon.get(), "lastHeard",
           !heard ? cJSON_CreateNull()
                  : cJSON_CreateString(beatIsLast ? "heartbeat" : "acknowledgement"));
    attach(daemon.get(), "ageMs", heard ? number(age_ms(last, now)) : cJSON_CreateNull());
    if (contact.heardHeartbeat) {
        const lpr_bus_heartbeat_t& beat = contact.heartbeat;
        cJSON* h = attach(daemon.get(), "heartbeat", cJSON_CreateObject());
        attach(h, "ageMs", number(age_ms(contact.heartbeatAt, now)));
        attach(h, "pid", number(beat.pid));
        attach(h, "uptimeMs", number(static_cast<double>(beat.uptime_ms)));
        attach(h, "databaseWritable", cJSON_CreateBool(beat.database_writable != 0));
        attach(h, "transactions", number(static_cast<double>(beat.transactions)));
        attach(h, "refused", number(static_cast<double>(beat.refused)));
    } else {
        attach(daemon.get(), "heartbeat", cJSON_CreateNull());
    }
    if (contact.heardAck) {
        const lpr_bus_ack_t& ack = contact.ack;
        cJSON* a = attach(daemon.get(), "acknowledgement", cJSON_CreateObject());
        attach(a, "ageMs", number(age_ms(contact.ackAt, now)));
        attach(a, "topic", cJSON_CreateString(ack.topic));
        attach(a, "result",
               cJSON_CreateString(ack.result == LPR_BUS_ACK_STORED ? "stored" : "refused"));
        attach(a, "reason", cJSON_CreateString(ack.reason));
    } else {
        attach(daemon.get(), "acknowledgement", cJSON_CreateNull());
    }
    return daemon.release();
}

}  // namespace

ServerStatus::ServerStatus(const Options& options, WriteAcks& acks, const ChangeLog& changes)
    : m_options(options), m_acks(acks), m_changes(changes) {}

void ServerStatus::count(unsigned status) {
    m_requests.fetch_add(1, std::memory_order_relaxed);
    if (status < kStatusLimit) {
        m_byStatus[status].fetch_add(1, std::memory_order_relaxed);
    }
}

std::string ServerStatus::json() const {
    const Clock::time_point now = Clock::now();
    CJsonPtr root(cJSON_CreateObject());
    if (!root) {
        throw std::bad_alloc();
    }
    cJSON* top = root.get();
    attach(top, "program", cJSON_CreateString("lpr-webd"));
    attach(top, "version", cJSON_CreateString(LPR_PROGRAM_VERSION));
    attach(top, "pid", number(getpid()));
    attach(top, "uptimeSeconds",
           number(static_cast<double>(
               std::chrono::duration_cast<std::chrono::seconds>(now - m_started).count())));
    attach(top, "library", library_json());

    const DaemonContact contact = m_acks.daemon_contact();
    attach(top, "daemon", daemon_json(contact, now));

    cJSON* database = attach(top, "database", cJSON_CreateObject());
    attach(database, "path", cJSON_CreateString(m_options.dbPath.c_str()));
    attach(database, "schemaVersion", number(Database::kSchemaVersion));
    cJSON* behind = attach(database, "behind", cJSON_CreateArray());
    for (const std::string& topic : contact.behind) {
        attach(behind, nullptr, cJSON_CreateString(topic.c_str()));
    }

    cJSON* writes = attach(top, "writes", cJSON_CreateObject());
    attach(writes, "mode", cJSON_CreateString(m_options.lenient ? "lenient" : "strict"));
    attach(writes, "ackTimeoutMs", number(m_options.ackTimeoutMs));

    const ChangeLog::State log = m_changes.state();
    cJSON* changeLog = attach(top, "changeLog", cJSON_CreateObject());
    attach(changeLog, "path", cJSON_CreateString(log.path.c_str()));
    attach(changeLog, "bytes", number(static_cast<double>(log.bytes)));
    attach(changeLog, "maxBytes", number(static_cast<double>(log.maxBytes)));
    attach(changeLog, "entries", number(static_cast<double>(log.entries)));
    attach(changeLog, "error",
           log.error.empty() ? cJSON_CreateNull() : cJSON_CreateString(log.error.c_str()));

    cJSON* requests = attach(top, "requests", cJSON_CreateObject());
    attach(requests, "total",
           number(static_cast<double>(m_requests.load(std::memory_order_relaxed))));
    cJSON* byStatus = attach(requests, "byStatus", cJSON_CreateObject());
    for (unsigned status = 100; status < kStatusLimit; ++status) {
        const uint64_t n = m_byStatus[status].load(std::memory_order_relaxed);
        if (n > 0) {
            attach(byStatus, std::to_string(status).c_str(), number(static_cast<double>(n)));
        }
    }
    return tools::print_compact(top);
}

}  // namespace webd
