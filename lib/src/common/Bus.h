// The bus client's core: the one client of the process (bus()), its start and stop, the
// publishers on the PUB socket and the receive thread on the SUB socket.
//
// A started client owns one Session (bus_session.h). Every thread that publishes uses the
// PUB socket, one at a time, behind m_pubMutex. Only the receive thread touches the SUB
// socket: subscribe and unsubscribe change the subscription table and queue the filter
// change, then wake the receive thread through the session's eventfd; the thread applies
// the queued filters itself. Callbacks run on the receive thread with no lock held.
#ifndef LPR_BUS_BUS_H
#define LPR_BUS_BUS_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "bus_session.h"
#include "lpr_zmq.h"

namespace lpr_bus {

class Bus {
  public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    // A process that exits without uninit: the receive thread stops before the sockets go.
    ~Bus();

    // The lpr_zmq_ calls of the same names, after their null-pointer checks.
    int init(const lpr_zmq_config_t& cfg);
    int uninit();
    int last_publish(lpr_zmq_msg_info_t* info) const;
    int current_message(lpr_zmq_msg_info_t* info) const;
    bool running() const { return m_running; }
    int last_init_error(char* text, size_t size);
    int set_source(int source);
    int publish(const char* topic, int target, const void* data, size_t len);
    int subscribe(const char* topic, int target, int ignoreSource, lpr_zmq_msg_callback_t callback,
                  void* userData);
    int unsubscribe(const char* topic, int target, int ignoreSource);

  private:
    struct Subscription {
        lpr_zmq_msg_callback_t callback;
        void* userData;
        int ignoreSource;
    };
    struct FilterChange {
        bool subscribe;
        std::string topic;
    };

    int start(const lpr_zmq_config_t& cfg);
    int copy_info(const lpr_zmq_msg_info_t* found, lpr_zmq_msg_info_t* info) const;
    bool on_receive_thread() const { return m_receiverId.load() == std::this_thread::get_id(); }
    void stop_receiver();
    void wait_for_callback(std::unique_lock<std::mutex>& lock);
    int check_subscription(const char* topic, int target, int ignoreSource, bool hasCallback) const;
    void queue_filter(bool subscribe, const char* topic);
    static void wake(int fd);
    void receive_loop(void* sub, int wakeFd, int pollMs);
    void apply_filters(void* sub);
    bool receive_one(void* sub);

    std::mutex m_lifeMutex;  // init and uninit, one at a time
    std::unique_ptr<Session> m_session;
    std::atomic<bool> m_running{false};
    std::atomic<int> m_source{0};
    std::atomic<bool> m_stop{false};
    std::atomic<std::thread::id> m_receiverId{};
    // Counts successful starts: a thread's record of its last publish is valid only for the
    // start it was made in.
    std::atomic<uint64_t> m_generation{0};

    std::mutex m_initMutex;  // guards the two below
    int m_initResult = LPR_ZMQ_OK;
    std::string m_initError;

    std::mutex m_pubMutex;        // serialises publishers on the one PUB socket
    void* m_pubSocket = nullptr;  // guarded by m_pubMutex
    int m_sendFlags = 0;          // guarded by m_pubMutex
    uint32_t m_pubSession = 0;    // guarded by m_pubMutex
    uint64_t m_sequence = 0;      // last number given out; guarded by m_pubMutex

    std::mutex m_subMutex;  // guards everything below
    std::condition_variable m_callbackDone;
    bool m_subscriber = false;
    bool m_inCallback = false;
    int m_wakeFd = -1;
    std::unordered_map<std::string, Subscription> m_table;
    std::vector<FilterChange> m_filters;  // waiting for the receive thread
};

// The process's one client.
Bus& bus();

}  // namespace lpr_bus

#endif /* LPR_BUS_BUS_H */
