#include "Bus.h"

#include <sys/random.h>
#include <unistd.h>
#include <zmq.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <utility>

#include "bus_config.h"
#include "bus_frame.h"
#include "bus_log.h"

namespace lpr_bus {
namespace {

constexpr int kMaxSource = 65535;
// Messages read from the SUB socket per wake-up before queued filters and the stop flag are
// looked at again.
constexpr int kReceiveBatch = 64;

// The calling thread's last successful publish, valid for the start of the client whose
// generation it carries.
struct PublishRecord {
    uint64_t generation = 0;
    lpr_zmq_msg_info_t info{};
};
thread_local PublishRecord t_lastPublish;
// Set on the receive thread for the duration of a callback.
thread_local const lpr_zmq_msg_info_t* t_delivering = nullptr;

bool valid_source(int source) {
    return source >= 0 && source <= kMaxSource;
}

// A new session number for each start, never 0 (0 means "unknown" to readers).
uint32_t new_session() {
    uint32_t session = 0;
    if (getrandom(&session, sizeof session, 0) != static_cast<ssize_t>(sizeof session)) {
        session =
            static_cast<uint32_t>(getpid()) ^
            static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return session != 0 ? session : 1;
}

}  // namespace

Bus::~Bus() {
    if (m_session && m_session->receiver.joinable() &&
        m_session->receiver.get_id() == std::this_thread::get_id()) {
        // exit() called from a callback: the thread still uses the session, and the process
        // is ending.
        m_session->receiver.detach();
        m_session.release();
        return;
    }
    if (m_session) {
        stop_receiver();
    }
}

int Bus::init(const lpr_zmq_config_t& cfg) {
    // Checked before the lock: an uninit running on another thread holds it while it
    // waits for this very callback to end.
    if (on_receive_thread()) {
        return LPR_ZMQ_ECALLBACK;
    }
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (m_running) {
        return LPR_ZMQ_EALREADY;
    }
    clear_last_error();
    const int rc = start(cfg);
    std::string reason;
    if (rc != LPR_ZMQ_OK) {
        reason = last_error();
        if (reason.empty()) {
            reason = lpr_zmq_strerror(rc);
        }
    }
    std::lock_guard<std::mutex> guard(m_initMutex);
    m_initResult = rc;
    m_initError = reason;
    return rc;
}

int Bus::last_init_error(char* text, size_t size) {
    std::lock_guard<std::mutex> guard(m_initMutex);
    if (text != nullptr && size > 0) {
        copy_text(text, size, m_initError.c_str());
    }
    return m_initResult;
}

// Called with m_lifeMutex held on a stopped client.
int Bus::start(const lpr_zmq_config_t& cfg) {
    set_log_identity(cfg.identity, sizeof cfg.identity);
    set_log_level(cfg.log_level);
    int rc = check_config(cfg);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    auto s = std::make_unique<Session>();
    if ((rc = open_session(cfg, s.get())) != LPR_ZMQ_OK) {
        return rc;
    }
    const bool sub = s->sub != nullptr;
    m_source = 0;
    m_stop = false;
    if (sub) {
        try {
            s->receiver = std::thread(&Bus::receive_loop, this, s->sub.get(), s->wake.get(),
                                      static_cast<int>(cfg.recv_timeout_ms));
        } catch (const std::system_error& e) {
            bus_log(LPR_ZMQ_LOG_ERROR, "cannot start the receive thread: %s", e.what());
            return LPR_ZMQ_ETHREAD;
        }
        m_receiverId = s->receiver.get_id();
    }
    {
        std::lock_guard<std::mutex> guard(m_pubMutex);
        m_pubSocket = s->pub.get();
        m_sendFlags = cfg.send_timeout_ms == 0 ? ZMQ_DONTWAIT : 0;
        m_pubSession = new_session();
        m_sequence = 0;
    }
    ++m_generation;
    {
        std::lock_guard<std::mutex> guard(m_subMutex);
        m_subscriber = sub;
        m_wakeFd = s->wake.get();
        m_table.clear();
        m_filters.clear();
    }
    m_session = std::move(s);
    m_running = true;
    bus_log(LPR_ZMQ_LOG_INFO, "started: publishes on %s, subscribes to %s",
            m_session->pub ? m_session->pubEndpoint.c_str() : "(none)",
            sub ? m_session->subEndpoint.c_str() : "(none)");
    return LPR_ZMQ_OK;
}

void Bus::stop_receiver() {
    if (m_session->receiver.joinable()) {
        m_stop = true;
        wake(m_session->wake.get());
        m_session->receiver.join();
    }
}

int Bus::uninit() {
    // Joining the receive thread from itself cannot work, and the lock below may be held
    // by an uninit on another thread that waits for this callback to end.
    if (on_receive_thread()) {
        bus_log(LPR_ZMQ_LOG_WARN, "uninit called from a message callback: refused");
        return LPR_ZMQ_ECALLBACK;
    }
    std::lock_guard<std::mutex> life(m_lifeMutex);
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    m_running = false;
    {
        std::lock_guard<std::mutex> guard(m_pubMutex);
        m_pubSocket = nullptr;
    }
    stop_receiver();
    m_receiverId = std::thread::id();
    {
        std::lock_guard<std::mutex> guard(m_subMutex);
        m_subscriber = false;
        m_wakeFd = -1;
        m_table.clear();
        m_filters.clear();
    }
    m_session.reset();  // closes the sockets, waits at most linger_ms, releases the lock
    bus_log(LPR_ZMQ_LOG_INFO, "stopped");
    return LPR_ZMQ_OK;
}

int Bus::set_source(int source) {
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (!valid_source(source)) {
        return LPR_ZMQ_EINVAL;
    }
    m_source = source;
    return LPR_ZMQ_OK;
}

// Every call of a client that is not running gives LPR_ZMQ_ENOTINIT, whatever its arguments;
// the arguments are checked next, the role last.
int Bus::publish(const char* topic, int target, const void* data, size_t len) {
    std::lock_guard<std::mutex> guard(m_pubMutex);
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (topic == nullptr || *topic == '\0' || target != LPR_ZMQ_TARGET_BUS ||
        (data == nullptr && len != 0)) {
        return LPR_ZMQ_EINVAL;
    }
    if (m_pubSocket == nullptr) {
        return LPR_ZMQ_EROLE;
    }
    lpr_zmq_msg_info_t header{};
    header.source = static_cast<uint16_t>(m_source.load());
    header.session = m_pubSession;
    header.sequence = ++m_sequence;  // a refused message leaves a gap, never a repeat
    const int rc = send_message(m_pubSocket, topic, header, data, len, m_sendFlags);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    bus_log(LPR_ZMQ_LOG_TRACE, "published %s, %zu bytes, source %u, sequence %llu", topic, len,
            static_cast<unsigned>(header.source), static_cast<unsigned long long>(header.sequence));
    set_topic(header, topic, std::strlen(topic));
    t_lastPublish.generation = m_generation.load();
    t_lastPublish.info = header;
    return LPR_ZMQ_OK;
}

int Bus::last_publish(lpr_zmq_msg_info_t* info) const {
    const bool current = t_lastPublish.generation == m_generation.load();
    return copy_info(current ? &t_lastPublish.info : nullptr, info);
}

int Bus::current_message(lpr_zmq_msg_info_t* info) const {
    return copy_info(t_delivering, info);
}

// A header for the caller: LPR_ZMQ_ENOTINIT, LPR_ZMQ_EINVAL for a null info, or
// LPR_ZMQ_ENOMSG when there is none (found is null).
int Bus::copy_info(const lpr_zmq_msg_info_t* found, lpr_zmq_msg_info_t* info) const {
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (info == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    if (found == nullptr) {
        return LPR_ZMQ_ENOMSG;
    }
    *info = *found;
    return LPR_ZMQ_OK;
}

void Bus::wake(int fd) {
    if (fd >= 0) {
        const uint64_t one = 1;
        // A full counter means a wake-up is pending anyway.
        ssize_t n = write(fd, &one, sizeof one);
        (void)n;
    }
}

// Called with m_subMutex held: returns once no callback runs, so that the caller may free
// what a replaced or removed subscription's user data points at. A callback that changes
// subscriptions itself does not wait for its own end.
void Bus::wait_for_callback(std::unique_lock<std::mutex>& lock) {
    if (!on_receive_thread()) {
        m_callbackDone.wait(lock, [this] { return !m_inCallback; });
    }
}

// Called with m_subMutex held: the checks of subscribe and unsubscribe, in their order.
int Bus::check_subscription(const char* topic, int target, int ignoreSource,
                            bool hasCallback) const {
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (topic == nullptr || *topic == '\0' || target != LPR_ZMQ_TARGET_BUS || !hasCallback ||
        !valid_source(ignoreSource)) {
        return LPR_ZMQ_EINVAL;
    }
    return m_subscriber ? LPR_ZMQ_OK : LPR_ZMQ_EROLE;
}

// Called with m_subMutex held: the receive thread changes the SUB socket's filter.
void Bus::queue_filter(bool subscribe, const char* topic) {
    m_filters.push_back(FilterChange{subscribe, topic});
    wake(m_wakeFd);
}

int Bus::subscribe(const char* topic, int target, int ignoreSource, lpr_zmq_msg_callback_t callback,
                   void* userData) {
    std::unique_lock<std::mutex> lock(m_subMutex);
    const int rc = check_subscription(topic, target, ignoreSource, callback != nullptr);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    auto found = m_table.find(topic);
    if (found == m_table.end()) {
        m_table.emplace(topic, Subscription{callback, userData, ignoreSource});
        queue_filter(true, topic);
        bus_log(LPR_ZMQ_LOG_DEBUG, "subscribed %s (ignoring source %d)", topic, ignoreSource);
        return LPR_ZMQ_OK;
    }
    found->second = Subscription{callback, userData, ignoreSource};
    bus_log(LPR_ZMQ_LOG_DEBUG, "subscription of %s replaced (ignoring source %d)", topic,
            ignoreSource);
    wait_for_callback(lock);
    return LPR_ZMQ_OK;
}

// The subscription is found by its topic alone; ignoreSource is only checked for range.
int Bus::unsubscribe(const char* topic, int target, int ignoreSource) {
    std::unique_lock<std::mutex> lock(m_subMutex);
    const int rc = check_subscription(topic, target, ignoreSource, true);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    auto found = m_table.find(topic);
    if (found == m_table.end()) {
        return LPR_ZMQ_ENOENT;
    }
    m_table.erase(found);
    queue_filter(false, topic);
    bus_log(LPR_ZMQ_LOG_DEBUG, "unsubscribed %s", topic);
    wait_for_callback(lock);
    return LPR_ZMQ_OK;
}

void Bus::receive_loop(void* sub, int wakeFd, int pollMs) {
    while (!m_stop) {
        zmq_pollitem_t items[2] = {{sub, 0, ZMQ_POLLIN, 0}, {nullptr, wakeFd, ZMQ_POLLIN, 0}};
        if (zmq_poll(items, 2, pollMs) < 0) {
            if (zmq_errno() == EINTR) {
                continue;
            }
            bus_log(LPR_ZMQ_LOG_ERROR, "receive thread ends: %s", zmq_strerror(zmq_errno()));
            return;
        }
        if ((items[1].revents & ZMQ_POLLIN) != 0) {
            uint64_t count = 0;
            ssize_t n = read(wakeFd, &count, sizeof count);
            (void)n;
        }
        apply_filters(sub);
        if ((items[0].revents & ZMQ_POLLIN) != 0) {
            for (int i = 0; i < kReceiveBatch && !m_stop && receive_one(sub); ++i) {
            }
        }
    }
}

// ZeroMQ filters by prefix on the first frame; the exact topic is checked on receipt.
void Bus::apply_filters(void* sub) {
    std::vector<FilterChange> changes;
    {
        std::lock_guard<std::mutex> guard(m_subMutex);
        changes.swap(m_filters);
    }
    for (const FilterChange& c : changes) {
        if (zmq_setsockopt(sub, c.subscribe ? ZMQ_SUBSCRIBE : ZMQ_UNSUBSCRIBE, c.topic.data(),
                           c.topic.size()) != 0) {
            bus_log(LPR_ZMQ_LOG_ERROR, "cannot %s %s: %s",
                    c.subscribe ? "subscribe" : "unsubscribe", c.topic.c_str(),
                    zmq_strerror(zmq_errno()));
        }
    }
}

// Reads one whole message and hands it to its subscription. False when none waits.
bool Bus::receive_one(void* sub) {
    std::string topic;
    std::string payload;
    lpr_zmq_msg_info_t info;
    switch (receive_message(sub, &topic, &payload, &info)) {
        case Received::kNothing:
            return false;
        case Received::kDropped:
            return true;
        case Received::kMessage:
            break;
    }
    const int source = info.source;
    std::unique_lock<std::mutex> lock(m_subMutex);
    auto found = m_table.find(topic);
    if (found == m_table.end()) {
        bus_log(LPR_ZMQ_LOG_TRACE, "%s not subscribed, dropped", topic.c_str());
        return true;
    }
    const Subscription s = found->second;
    if (s.ignoreSource != 0 && s.ignoreSource == source) {
        bus_log(LPR_ZMQ_LOG_TRACE, "%s from ignored source %d dropped", topic.c_str(), source);
        return true;
    }
    m_inCallback = true;
    lock.unlock();
    bus_log(LPR_ZMQ_LOG_TRACE, "delivering %s, %zu bytes, source %d", topic.c_str(), payload.size(),
            source);
    t_delivering = &info;
    try {
        s.callback(topic.c_str(), payload.data(), payload.size(), s.userData);
    } catch (...) {
        bus_log(LPR_ZMQ_LOG_ERROR, "callback for %s threw an exception", topic.c_str());
    }
    t_delivering = nullptr;
    lock.lock();
    m_inCallback = false;
    m_callbackDone.notify_all();
    return true;
}

Bus& bus() {
    static Bus s_bus;
    return s_bus;
}

}  // namespace lpr_bus
