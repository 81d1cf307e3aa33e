#include "store_queue.h"

#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>

#include "program_log.h"

namespace settingsd {
namespace {

void copy_text(char* dst, size_t size, const std::string& text) {
    std::snprintf(dst, size, "%s", text.c_str());
}

lpr_bus_ack_t make_ack(uint16_t source, uint32_t session, const std::string& topic, uint64_t first,
                       uint64_t last, bool stored, const std::string& reason) {
    lpr_bus_ack_t ack;
    std::memset(&ack, 0, sizeof ack);
    ack.version = LPR_BUS_ACK_VERSION;
    ack.result = stored ? LPR_BUS_ACK_STORED : LPR_BUS_ACK_REFUSED;
    ack.source = source;
    ack.session = session;
    ack.first_sequence = first;
    ack.last_sequence = last;
    copy_text(ack.topic, sizeof ack.topic, topic);
    copy_text(ack.reason, sizeof ack.reason, reason);
    return ack;
}

void publish(const lpr_bus_ack_t& ack) {
    int rc = lpr_zmq_publish_to(LPR_BUS_TOPIC_ACK, LPR_ZMQ_TARGET_BUS, &ack, sizeof ack);
    if (rc != LPR_ZMQ_OK) {
        tools::log_line(kLogTag, "cannot acknowledge %s %llu..%llu: %s", ack.topic,
                        static_cast<unsigned long long>(ack.first_sequence),
                        static_cast<unsigned long long>(ack.last_sequence), lpr_zmq_strerror(rc));
    }
}

}  // namespace

bool StoreQueue::start() {
    try {
        m_thread = std::thread(&StoreQueue::run, this);
    } catch (const std::system_error& e) {
        tools::log_line(kLogTag, "cannot start the store thread: %s", e.what());
        return false;
    }
    return true;
}

void StoreQueue::add(const char* topic, const void* data, size_t len) {
    lpr_zmq_msg_info_t info{};
    lpr_zmq_current_message(&info);
    const std::string name = topic;
    // A message without a sequence (a publisher that does not number its messages) is stored
    // all the same but cannot be acknowledged.
    const bool numbered = info.sequence != 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (name == LPR_BUS_TOPIC_PING) {
        if (numbered) {
            m_batch.answers.push_back(
                make_ack(info.source, info.session, name, info.sequence, info.sequence, true, ""));
        }
    } else {
        const size_t expected = record_size(name);
        if (len != expected || data == nullptr) {
            char reason[96];
            std::snprintf(reason, sizeof reason, "%zu bytes, a record has %zu", len, expected);
            tools::log_line(kLogTag, "refused %s: %s", topic, reason);
            ++m_stats.refused;
            if (numbered) {
                m_batch.answers.push_back(make_ack(info.source, info.session, name, info.sequence,
                                                   info.sequence, false, reason));
            }
        } else {
            m_batch.records[name].assign(static_cast<const char*>(data), len);
            ++m_batch.counts[name];
            if (numbered) {
                bool found = false;
                for (Covered& c : m_batch.covered) {
                    if (c.source == info.source && c.session == info.session && c.topic == name) {
                        c.last = info.sequence;  // a publisher's messages arrive in its order
                        found = true;
                    }
                }
                if (!found) {
                    m_batch.covered.push_back(
                        Covered{info.source, info.session, name, info.sequence, info.sequence});
                }
            }
        }
    }
    m_wake.notify_one();
}

void StoreQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

StoreStats StoreQueue::stats() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

void StoreQueue::run() {
    while (true) {
        Batch batch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_batch.empty(); });
            if (m_batch.empty()) {
                return;  // stopping, and nothing left to store
            }
            std::swap(batch, m_batch);
        }
        for (const lpr_bus_ack_t& ack : batch.answers) {
            publish(ack);
        }
        if (batch.records.empty()) {
            continue;
        }
        // Acknowledged only after the commit: a publisher that hears "stored" may rely on
        // the record surviving a crash of this daemon.
        const StoreResult result = m_store.store(batch.records, batch.counts);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stats.databaseWritable = result.stored;
            if (result.stored) {
                ++m_stats.transactions;
            } else {
                for (const auto& count : batch.counts) {
                    m_stats.refused += count.second;
                }
            }
        }
        for (const Covered& c : batch.covered) {
            publish(make_ack(c.source, c.session, c.topic, c.first, c.last, result.stored,
                             result.reason));
        }
    }
}

}  // namespace settingsd
