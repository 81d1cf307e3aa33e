/*
 * Between the bus and the database: the bus client's receive thread hands every message to
 * add(), which only files it (no disk I/O, so the receive thread keeps draining the bus
 * however slow a commit is); the store thread takes everything filed at once, stores the
 * newest record of each topic in one transaction and then acknowledges every message that
 * transaction covered (docs/bus.md, "Acknowledgements").
 */
#ifndef LPR_SETTINGSD_STORE_QUEUE_H
#define LPR_SETTINGSD_STORE_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lpr_bus_topics.h"
#include "lpr_zmq.h"
#include "settings_store.h"

namespace settingsd {

/* Counters for the heartbeat. */
struct StoreStats {
    bool databaseWritable = true;
    uint64_t transactions = 0;
    uint64_t refused = 0;
};

class StoreQueue {
  public:
    explicit StoreQueue(SettingsStore& store) : m_store(store) {}
    ~StoreQueue() { stop(); }
    StoreQueue(const StoreQueue&) = delete;
    StoreQueue& operator=(const StoreQueue&) = delete;

    /* Starts the store thread. false (logged) when it cannot. */
    bool start();

    /* Files one message (called on the bus client's receive thread, inside the callback:
     * the message's header is read with lpr_zmq_current_message). */
    void add(const char* topic, const void* data, size_t len);

    /* Stores and acknowledges what is filed, then ends the store thread. Call it after the
     * bus subscriptions have ended and before the bus client stops. Idempotent. */
    void stop();

    StoreStats stats();

  private:
    /* The messages of one publisher on one topic in the current batch. */
    struct Covered {
        uint16_t source;
        uint32_t session;
        std::string topic;
        uint64_t first;
        uint64_t last;
    };
    /* Everything filed since the store thread last looked. */
    struct Batch {
        std::vector<lpr_bus_ack_t> answers;          // refusals and pings, sent first
        std::map<std::string, std::string> records;  // topic -> newest record
        std::map<std::string, size_t> counts;        // topic -> messages it stands for
        std::vector<Covered> covered;
        bool empty() const { return answers.empty() && records.empty(); }
    };

    void run();

    SettingsStore& m_store;
    std::mutex m_mutex;  // guards everything below
    std::condition_variable m_wake;
    Batch m_batch;
    StoreStats m_stats;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace settingsd

#endif /* LPR_SETTINGSD_STORE_QUEUE_H */
