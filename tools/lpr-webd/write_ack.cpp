#include "write_ack.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "lpr_bus_topics.h"
#include "lpr_cgi_cache.h"
#include "lpr_defs.h"
#include "program_log.h"

namespace webd {
namespace {

std::string copy_advanced() {
    lpr_advanced_t record;
    lpr::LprCgiCache::get_instance().get_lpr_advanced(record);
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

std::string copy_vehicle_count() {
    VEHICLE_COUNT_SETTING record;
    lpr::LprCgiCache::get_instance().get_vehicle_count_setting(record);
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

/* The settings records, each with the library's write action that changes it, its topic
 * and the cache's public copy of it. */
const struct {
    LprCgiHandler writer;
    const char* topic;
    std::string (*copy)();
} kRecords[] = {
    {set_lpr_advanced_handler, LPR_BUS_TOPIC_ADVANCED, copy_advanced},
    {set_vehicle_count_handler, LPR_BUS_TOPIC_COUNT, copy_vehicle_count},
};

/* How long lpr-webd waits for each answer to a ping at start-up. */
constexpr std::chrono::milliseconds kPingInterval(200);
/* Acknowledgements kept for waits registered after their answer: far more than the messages
 * published between a publish and its registration (one per HTTP worker thread). */
constexpr size_t kRecentAcks = 256;

bool same_message(const lpr_zmq_msg_info_t& a, const lpr_zmq_msg_info_t& b) {
    return a.session == b.session && a.sequence == b.sequence;
}

}  // namespace

/* Per settings record: the gate and whether the database is behind the cache. */
struct WriteAcks::RecordState {
    std::mutex gate;
    /* Guarded by WriteAcks::m_mutex. unstoredSince: the sequence from which on a stored
     * message of this record brings the database level with the cache; 0 when it is. */
    uint64_t unstoredSince = 0;
    bool resending = false;
    AckClock::time_point lastResend;
};

WriteAcks::WriteAcks(std::chrono::milliseconds timeout) : m_timeout(timeout) {
    for (size_t i = 0; i < std::size(kRecords); ++i) {
        m_records.push_back(std::make_unique<RecordState>());
    }
}

WriteAcks::~WriteAcks() {
    stop();
}

bool WriteAcks::start(std::string* error) {
    if (lpr_zmq_is_running() != 1) {
        *error = "the bus client does not run";
        return false;
    }
    for (auto topic : {std::make_pair(LPR_BUS_TOPIC_ACK, &WriteAcks::on_ack),
                       std::make_pair(LPR_BUS_TOPIC_HEARTBEAT, &WriteAcks::on_heartbeat)}) {
        int rc = lpr_zmq_subscribe(topic.first, LPR_ZMQ_TARGET_BUS, 0, topic.second, this);
        if (rc != LPR_ZMQ_OK) {
            *error = std::string("cannot subscribe ") + topic.first + ": " + lpr_zmq_strerror(rc);
            return false;
        }
        m_subscribed = true;
    }
    try {
        m_thread = std::thread(&WriteAcks::run, this);
    } catch (const std::system_error& e) {
        *error = std::string("cannot start the acknowledgement thread: ") + e.what();
        return false;
    }
    return true;
}

bool WriteAcks::ping_daemon(std::chrono::milliseconds limit) {
    const AckClock::time_point end = AckClock::now() + limit;
    while (AckClock::now() < end) {
        const AckClock::time_point deadline = std::min(AckClock::now() + kPingInterval, end);
        lpr_zmq_msg_info_t info{};
        if (lpr_zmq_publish_to(LPR_BUS_TOPIC_PING, LPR_ZMQ_TARGET_BUS, "", 0) != LPR_ZMQ_OK ||
            lpr_zmq_last_publish(&info) != LPR_ZMQ_OK) {
            std::this_thread::sleep_until(deadline);
            continue;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        std::shared_ptr<PendingWrite> ping = add_pending(info, deadline, nullptr);
        m_changed.wait_until(lock, deadline, [&] { return ping->done; });
        if (!ping->done) {
            resolve(*ping, false, "no answer");
        }
        if (ping->outcome.stored) {
            return true;
        }
    }
    return false;
}

void WriteAcks::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        while (!m_pending.empty()) {
            resolve(*m_pending.front(), false, "the web server is stopping");
        }
        m_changed.notify_all();
    }
    if (m_thread.joinable()) {
        m_thread.join();
    }
    if (m_subscribed) {
        // Once these return no callback of this object runs any more.
        lpr_zmq_unsubscribe(LPR_BUS_TOPIC_ACK, LPR_ZMQ_TARGET_BUS, 0);
        lpr_zmq_unsubscribe(LPR_BUS_TOPIC_HEARTBEAT, LPR_ZMQ_TARGET_BUS, 0);
        m_subscribed = false;
    }
}

WriteAcks::Gate::Gate(WriteAcks& acks, LprCgiHandler handler) : m_acks(acks) {
    for (size_t i = 0; i < std::size(kRecords); ++i) {
        if (kRecords[i].writer == handler) {
            m_write.record = static_cast<int>(i);
            m_lock = std::unique_lock<std::mutex>(acks.m_records[i]->gate);
            // What this thread published last, to tell whether the library publishes now.
            lpr_zmq_last_publish(&m_write.info);
            break;
        }
    }
}

WriteAcks::Gate::~Gate() = default;

PublishedWrite WriteAcks::Gate::release() {
    if (m_write.record >= 0) {
        lpr_zmq_msg_info_t after{};
        m_write.published = lpr_zmq_last_publish(&after) == LPR_ZMQ_OK &&
                            !same_message(after, m_write.info) &&
                            std::strcmp(after.topic, kRecords[m_write.record].topic) == 0;
        m_write.info = after;
        if (m_write.published) {
            m_acks.note_published(after);
        }
    }
    if (m_lock.owns_lock()) {
        m_lock.unlock();
    }
    return m_write;
}

bool WriteAcks::wait(const PublishedWrite& write, MHD_Connection* connection,
                     std::shared_ptr<PendingWrite>* pending) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || !write.published) {
        *pending = std::make_shared<PendingWrite>();
        (*pending)->topic = kRecords[write.record].topic;
        resolve(**pending, false,
                m_stopping ? "the web server is stopping" : "the bus did not take the record");
        return false;
    }
    // Suspended under m_mutex: the resume, also under it, can only follow the suspension.
    *pending = add_pending(write.info, AckClock::now() + m_timeout, connection);
    if ((*pending)->done) {
        return false;  // answered before this thread got here
    }
    MHD_suspend_connection(connection);
    return true;
}

WriteOutcome WriteAcks::outcome(const PendingWrite& pending) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return pending.outcome;
}

DaemonContact WriteAcks::daemon_contact() {
    std::lock_guard<std::mutex> lock(m_mutex);
    DaemonContact contact = m_contact;
    for (size_t i = 0; i < std::size(kRecords); ++i) {
        if (m_records[i]->unstoredSince != 0) {
            contact.behind.push_back(kRecords[i].topic);
        }
    }
    return contact;
}

// Called with m_mutex held.
std::shared_ptr<PendingWrite> WriteAcks::add_pending(const lpr_zmq_msg_info_t& info,
                                                     AckClock::time_point deadline,
                                                     MHD_Connection* connection) {
    auto pending = std::make_shared<PendingWrite>();
    pending->session = info.session;
    pending->sequence = info.sequence;
    pending->topic = info.topic;
    pending->deadline = deadline;
    m_pending.push_back(pending);
    for (const lpr_bus_ack_t& ack : m_recentAcks) {
        if (answered(*pending, ack)) {
            return pending;  // done, nothing to resume
        }
    }
    pending->connection = connection;
    m_changed.notify_all();
    return pending;
}

// Called with m_mutex held: resolves pending when ack covers it.
bool WriteAcks::answered(PendingWrite& pending, const lpr_bus_ack_t& ack) {
    if (pending.session != ack.session || pending.sequence < ack.first_sequence ||
        pending.sequence > ack.last_sequence || pending.topic != ack.topic) {
        return false;
    }
    resolve(pending, ack.result == LPR_BUS_ACK_STORED,
            std::string("the settings daemon refused it: ") + ack.reason);
    return true;
}

// Called with m_mutex held.
void WriteAcks::resolve(PendingWrite& pending, bool stored, const std::string& reason) {
    if (pending.done) {
        return;
    }
    pending.done = true;
    pending.outcome.stored = stored;
    pending.outcome.reason = reason;
    m_pending.erase(
        std::remove_if(m_pending.begin(), m_pending.end(),
                       [&](const std::shared_ptr<PendingWrite>& p) { return p.get() == &pending; }),
        m_pending.end());
    if (pending.resentRecord >= 0) {
        m_records[static_cast<size_t>(pending.resentRecord)]->resending = false;
    }
    if (!stored) {
        mark_unstored(pending.topic,
                      pending.sequence != 0 ? pending.sequence : m_highestSequence + 1, reason);
    }
    if (pending.connection != nullptr) {
        MHD_resume_connection(pending.connection);
        pending.connection = nullptr;
    }
    m_changed.notify_all();
}

// Called with m_mutex held.
void WriteAcks::mark_unstored(const std::string& topic, uint64_t sequence,
                              const std::string& reason) {
    for (size_t i = 0; i < std::size(kRecords); ++i) {
        RecordState& record = *m_records[i];
        if (topic != kRecords[i].topic) {
            continue;
        }
        if (record.unstoredSince == 0) {
            std::printf(
                "lpr-webd: the settings database is behind the web server's %s record (%s); "
                "it is sent again whenever the settings daemon is heard\n",
                kRecords[i].topic, reason.c_str());
        }
        record.unstoredSince = std::max(record.unstoredSince, sequence);
    }
}

void WriteAcks::note_published(const lpr_zmq_msg_info_t& info) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_session = info.session;
    m_highestSequence = std::max(m_highestSequence, info.sequence);
}

void WriteAcks::on_ack(const char*, const void* data, size_t len, void* self) {
    auto* acks = static_cast<WriteAcks*>(self);
    lpr_bus_ack_t ack;
    if (len != sizeof ack) {
        return;
    }
    std::memcpy(&ack, data, sizeof ack);
    ack.topic[sizeof ack.topic - 1] = '\0';
    ack.reason[sizeof ack.reason - 1] = '\0';
    if (ack.version != LPR_BUS_ACK_VERSION) {
        return;
    }
    const bool stored = ack.result == LPR_BUS_ACK_STORED;
    try {
        std::lock_guard<std::mutex> lock(acks->m_mutex);
        acks->m_contact.heardAck = true;
        acks->m_contact.ackAt = AckClock::now();
        acks->m_contact.ack = ack;
        acks->m_recentAcks.push_back(ack);
        if (acks->m_recentAcks.size() > kRecentAcks) {
            acks->m_recentAcks.pop_front();
        }
        const std::vector<std::shared_ptr<PendingWrite>> pending = acks->m_pending;
        for (const auto& p : pending) {
            acks->answered(*p, ack);
        }
        // A stored record published after the last write that was not stored brings the
        // database level with the cache again, whoever waited for it.
        for (size_t i = 0; i < std::size(kRecords); ++i) {
            RecordState& record = *acks->m_records[i];
            if (stored && ack.session == acks->m_session && record.unstoredSince != 0 &&
                ack.last_sequence >= record.unstoredSince &&
                std::strcmp(ack.topic, kRecords[i].topic) == 0) {
                record.unstoredSince = 0;
                std::printf(
                    "lpr-webd: the settings database holds the web server's %s record "
                    "again\n",
                    kRecords[i].topic);
            }
        }
    } catch (...) {
        // Nothing may pass into the bus client's thread; a lost acknowledgement times out.
        tools::log_caught("lpr-webd", "an acknowledgement was lost");
    }
}

void WriteAcks::on_heartbeat(const char*, const void* data, size_t len, void* self) {
    auto* acks = static_cast<WriteAcks*>(self);
    try {
        std::lock_guard<std::mutex> lock(acks->m_mutex);
        acks->m_lastHeartbeat = AckClock::now();
        // Any message on the topic says that the daemon runs; its figures are kept only
        // from a heartbeat of the known layout.
        lpr_bus_heartbeat_t beat;
        if (len == sizeof beat) {
            std::memcpy(&beat, data, sizeof beat);
        }
        if (len == sizeof beat && beat.version == LPR_BUS_HEARTBEAT_VERSION) {
            acks->m_contact.heardHeartbeat = true;
            acks->m_contact.heartbeatAt = acks->m_lastHeartbeat;
            acks->m_contact.heartbeat = beat;
        }
        acks->m_heardDaemon = true;
        acks->m_changed.notify_all();
    } catch (...) {
        // Nothing may pass into the bus client's thread; the next heartbeat counts as well.
        tools::log_caught("lpr-webd", "a heartbeat was lost");
    }
}

void WriteAcks::run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        const AckClock::time_point now = AckClock::now();
        const std::vector<std::shared_ptr<PendingWrite>> pending = m_pending;
        for (const auto& p : pending) {
            if (p->deadline <= now) {
                resolve(*p, false,
                        "the settings daemon did not answer within " +
                            std::to_string(m_timeout.count()) + " ms");
            }
        }
        for (size_t i = 0; i < m_records.size(); ++i) {
            RecordState& record = *m_records[i];
            if (record.unstoredSince != 0 && !record.resending && m_heardDaemon &&
                m_lastHeartbeat > record.lastResend) {
                record.resending = true;
                record.lastResend = now;
                lock.unlock();
                resend(i);
                lock.lock();
            }
        }
        AckClock::time_point wake = now + std::chrono::seconds(1);
        for (const auto& p : m_pending) {
            wake = std::min(wake, p->deadline);
        }
        m_changed.wait_until(lock, wake);
    }
}

// The cache's current record, published under the record's gate like a write, so that it
// takes its place in the order of the stores.
void WriteAcks::resend(size_t record) {
    lpr_zmq_msg_info_t info{};
    int rc;
    {
        std::lock_guard<std::mutex> gate(m_records[record]->gate);
        const std::string bytes = kRecords[record].copy();
        rc = lpr_zmq_publish_to(kRecords[record].topic, LPR_ZMQ_TARGET_BUS, bytes.data(),
                                bytes.size());
        if (rc == LPR_ZMQ_OK) {
            rc = lpr_zmq_last_publish(&info);
        }
        if (rc == LPR_ZMQ_OK) {
            note_published(info);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (rc != LPR_ZMQ_OK) {
        m_records[record]->resending = false;
        return;
    }
    std::shared_ptr<PendingWrite> pending = add_pending(info, AckClock::now() + m_timeout, nullptr);
    if (pending->done) {
        m_records[record]->resending = false;  // answered before it was registered
    } else {
        pending->resentRecord = static_cast<int>(record);
    }
}

}  // namespace webd
