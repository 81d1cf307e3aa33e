// Message bus client of liblprcommon on ZeroMQ publish/subscribe sockets.
//
// One client per process (the object behind bus()). A started client owns one ZeroMQ context with
// up to two sockets: a PUB socket bound at pub_endpoint, used by every thread that publishes (one
// at a time, behind m_pubMutex), and a SUB socket connected to sub_endpoint, used only by the
// receive thread. Other threads never touch the SUB socket: subscribe and unsubscribe change the
// subscription table and queue the filter change, then wake the receive thread through an eventfd;
// the thread applies the queued filters itself. Wire format, endpoint relocation and the lock file
// that keeps a second publisher off an endpoint are described in docs/bus.md.
#include "lpr_zmq.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "lpr_common.h"

namespace {

// Second frame of every message: magic "LB", format version, flags (none yet), the sender's source
// identifier as uint16 little-endian, two reserved zero bytes; from version 2 on also the sender's
// session (uint32) and the message's sequence number (uint64), both little-endian. Bytes 0..5 keep
// their place in every version, so a reader of version 1 still finds the source.
constexpr unsigned char kMagic0 = 'L';
constexpr unsigned char kMagic1 = 'B';
constexpr unsigned char kVersion = 2;
constexpr size_t kHeaderSize = 20;
constexpr size_t kHeaderV1Size = 8;
constexpr size_t kHeaderSourceOffset = 4;
constexpr size_t kHeaderSessionOffset = 8;
constexpr size_t kHeaderSequenceOffset = 12;

constexpr char kIpcScheme[] = "ipc://";
constexpr size_t kIpcSchemeLen = sizeof kIpcScheme - 1;
constexpr char kIpcDirVariable[] = "LPR_ZMQ_IPC_DIR";

constexpr int kMaxSource = 65535;
// Messages read from the SUB socket per wake-up before queued filters and the stop flag are looked
// at again.
constexpr int kReceiveBatch = 64;

// ---- logging ------------------------------------------------------------------------

std::atomic<int> s_logLevel{LPR_ZMQ_LOG_WARN};
std::mutex s_logMutex;    // guards s_identity and s_lastError, and keeps lines whole
std::string s_identity;   // process name of the started (or last started) client
std::string s_lastError;  // text of the last ERROR line, whatever the log level

const char* level_name(int level) {
    static const char* const kNames[] = {"ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
    return level >= 0 && level <= LPR_ZMQ_LOG_TRACE ? kNames[level] : "?";
}

// One line on standard error: "[<time> <pid>] lpr_zmq[<identity>] <LEVEL>: <text>".
// ERROR texts are kept (s_lastError) even when not printed: a failed start reports its reason
// through lpr_zmq_last_init_error.
__attribute__((format(printf, 2, 3))) void bus_log(int level, const char* fmt, ...) {
    const bool print = level <= s_logLevel.load(std::memory_order_relaxed);
    if (!print && level != LPR_ZMQ_LOG_ERROR) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    char stamp[32] = {};
    lpr_get_time_string(stamp, sizeof stamp);
    std::lock_guard<std::mutex> guard(s_logMutex);
    if (level == LPR_ZMQ_LOG_ERROR) {
        s_lastError = text;
    }
    if (!print) {
        return;
    }
    std::fprintf(stderr, "[%s %d] lpr_zmq[%s] %s: %s\n", stamp, static_cast<int>(getpid()),
                 s_identity.c_str(), level_name(level), text);
}

// ---- RAII for ZeroMQ and descriptors ------------------------------------------------

struct ContextCloser {
    void operator()(void* ctx) const {
        // Returns once every socket is closed and its linger has run out.
        while (zmq_ctx_term(ctx) != 0 && zmq_errno() == EINTR) {
        }
    }
};
struct SocketCloser {
    void operator()(void* sock) const { zmq_close(sock); }
};
using ContextPtr = std::unique_ptr<void, ContextCloser>;
using SocketPtr = std::unique_ptr<void, SocketCloser>;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

  private:
    int m_fd = -1;
};

class Message {
  public:
    Message() { zmq_msg_init(&m_msg); }
    ~Message() { zmq_msg_close(&m_msg); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;
    zmq_msg_t* get() { return &m_msg; }
    const char* data() { return static_cast<const char*>(zmq_msg_data(&m_msg)); }
    size_t size() { return zmq_msg_size(&m_msg); }
    bool more() { return zmq_msg_more(&m_msg) != 0; }

  private:
    zmq_msg_t m_msg;
};

// ---- configuration ------------------------------------------------------------------

struct Range {
    const char* name;
    int32_t lpr_zmq_config_t::*field;
    int32_t min;
    int32_t max;
};

// Accepted values of the numeric fields. A negative linger would let uninit wait forever and a
// negative send timeout would let a publish block, so both are refused.
const Range kRanges[] = {
    {"send_hwm", &lpr_zmq_config_t::send_hwm, 0, 1000000},
    {"recv_hwm", &lpr_zmq_config_t::recv_hwm, 0, 1000000},
    {"send_timeout_ms", &lpr_zmq_config_t::send_timeout_ms, 0, 1000},
    {"recv_timeout_ms", &lpr_zmq_config_t::recv_timeout_ms, 1, 10000},
    {"linger_ms", &lpr_zmq_config_t::linger_ms, 0, 10000},
    {"io_threads", &lpr_zmq_config_t::io_threads, 1, 16},
    {"reconnect_ivl_ms", &lpr_zmq_config_t::reconnect_ivl_ms, 0, 3600000},
    {"reconnect_ivl_max_ms", &lpr_zmq_config_t::reconnect_ivl_max_ms, 0, 3600000},
};

bool terminated(const char* text, size_t size) {
    return std::memchr(text, '\0', size) != nullptr;
}

bool publishes(int role) {
    return role == LPR_ZMQ_ROLE_PUBLISHER || role == LPR_ZMQ_ROLE_PUBSUB;
}

bool subscribes(int role) {
    return role == LPR_ZMQ_ROLE_SUBSCRIBER || role == LPR_ZMQ_ROLE_PUBSUB;
}

bool valid_source(int source) {
    return source >= 0 && source <= kMaxSource;
}

int check_config(const lpr_zmq_config_t& cfg) {
    if (!publishes(cfg.role) && !subscribes(cfg.role)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "role %d not supported (publisher 1, subscriber 2, both 3)",
                static_cast<int>(cfg.role));
        return LPR_ZMQ_EROLE;
    }
    if (!terminated(cfg.identity, sizeof cfg.identity)) {
        bus_log(LPR_ZMQ_LOG_ERROR, "identity is not NUL-terminated");
        return LPR_ZMQ_EINVAL;
    }
    if (cfg.log_level < LPR_ZMQ_LOG_ERROR || cfg.log_level > LPR_ZMQ_LOG_TRACE) {
        bus_log(LPR_ZMQ_LOG_ERROR, "log_level %d out of range 0..4",
                static_cast<int>(cfg.log_level));
        return LPR_ZMQ_EINVAL;
    }
    for (const Range& r : kRanges) {
        int32_t value = cfg.*r.field;
        if (value < r.min || value > r.max) {
            bus_log(LPR_ZMQ_LOG_ERROR, "%s %d out of range %d..%d", r.name, value, r.min, r.max);
            return LPR_ZMQ_EINVAL;
        }
    }
    struct {
        const char* name;
        const char* text;
        bool used;
    } endpoints[] = {
        {"pub_endpoint", cfg.pub_endpoint, publishes(cfg.role)},
        {"sub_endpoint", cfg.sub_endpoint, subscribes(cfg.role)},
    };
    for (const auto& e : endpoints) {
        if (e.used && (!terminated(e.text, sizeof cfg.pub_endpoint) || e.text[0] == '\0')) {
            bus_log(LPR_ZMQ_LOG_ERROR, "%s is empty or not NUL-terminated", e.name);
            return LPR_ZMQ_EENDPOINT;
        }
    }
    return LPR_ZMQ_OK;
}

// ---- endpoints ----------------------------------------------------------------------

bool is_ipc(const std::string& endpoint) {
    return endpoint.compare(0, kIpcSchemeLen, kIpcScheme) == 0;
}

// With LPR_ZMQ_IPC_DIR set, "ipc://<dir>/<name>" becomes "ipc://$LPR_ZMQ_IPC_DIR/<name>"; other
// endpoints are used as given.
std::string relocate(const std::string& endpoint) {
    const char* dir = std::getenv(kIpcDirVariable);
    if (dir == nullptr || *dir == '\0' || !is_ipc(endpoint)) {
        return endpoint;
    }
    std::string path = endpoint.substr(kIpcSchemeLen);
    size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return std::string(kIpcScheme) + dir + "/" + name;
}

bool folder_exists(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder =
        slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
    struct stat st;
    return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// True when a process accepts connections on the unix socket at path: a live publisher, whether or
// not it took the lock file.
bool socket_is_live(const std::string& path) {
    struct sockaddr_un addr;
    if (path.size() >= sizeof addr.sun_path) {
        return false;
    }
    Fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0) {
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return connect(sock.get(), reinterpret_cast<const struct sockaddr*>(&addr), sizeof addr) == 0;
}

int endpoint_error(int err) {
    switch (err) {
        case EADDRINUSE:
            return LPR_ZMQ_EADDRINUSE;
        case ENOENT:
        case ENOTDIR:
        case EACCES:
        case EPERM:
        case ENAMETOOLONG:
        case EINVAL:
        case EPROTONOSUPPORT:
        case EADDRNOTAVAIL:
        case ENODEV:
        case ENOCOMPATPROTO:
            return LPR_ZMQ_EENDPOINT;
        default:
            return LPR_ZMQ_EZMQ;
    }
}

int set_option(void* sock, int option, int value, const char* name) {
    if (zmq_setsockopt(sock, option, &value, sizeof value) != 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot set %s to %d: %s", name, value,
                zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    return LPR_ZMQ_OK;
}

// ---- the client ---------------------------------------------------------------------

struct Subscription {
    lpr_zmq_msg_callback_t callback;
    void* userData;
    int ignoreSource;
};

struct FilterChange {
    bool subscribe;
    std::string topic;
};

// The calling thread's last successful publish, valid for the start of the client whose
// generation it carries.
struct PublishRecord {
    uint64_t generation = 0;
    lpr_zmq_msg_info_t info{};
};
thread_local PublishRecord t_lastPublish;
// Set on the receive thread for the duration of a callback.
thread_local const lpr_zmq_msg_info_t* t_delivering = nullptr;

// Copies at most size-1 bytes of text, never ending inside a UTF-8 sequence.
void copy_text(char* dst, size_t size, const char* text) {
    size_t n = text == nullptr ? 0 : strnlen(text, size);
    if (n >= size) {
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;  // text[n] continues a sequence: cut before the sequence's lead byte
        }
    }
    std::memcpy(dst, text == nullptr ? "" : text, n);
    dst[n] = '\0';
}

void set_topic(lpr_zmq_msg_info_t& info, const char* topic, size_t len) {
    len = std::min(len, sizeof info.topic - 1);
    std::memcpy(info.topic, topic, len);
    info.topic[len] = '\0';
}

void read_le(const std::string& bytes, size_t offset, size_t width, uint64_t* out) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
    }
    *out = value;
}

void write_le(unsigned char* at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) {
        at[i] = static_cast<unsigned char>(value >> (8 * i));
    }
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

// Everything one start of the client owns. Members are released in reverse order: sockets close
// first, the context then waits at most linger_ms for unsent messages, and only then is the
// endpoint's lock file released, so that a successor cannot bind while this client's socket is
// still open.
struct Session {
    Fd lock;
    ContextPtr ctx;
    SocketPtr pub;
    SocketPtr sub;
    Fd wake;
    std::thread receiver;
};

class Bus {
  public:
    Bus() = default;
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;
    ~Bus() {
        // A process that exits without uninit: stop the receive thread before the sockets go, and
        // leave it alone if exit was called from a callback.
        if (m_session && m_session->receiver.joinable()) {
            if (m_session->receiver.get_id() == std::this_thread::get_id()) {
                m_session->receiver.detach();
                m_session.release();  // the thread still uses it; the process is ending
                return;
            }
            m_stop = true;
            wake(m_session->wake.get());
            m_session->receiver.join();
        }
    }

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
    int start(const lpr_zmq_config_t& cfg);
    int bind_publisher(Session& s, const lpr_zmq_config_t& cfg, const std::string& endpoint);
    int connect_subscriber(Session& s, const lpr_zmq_config_t& cfg, const std::string& endpoint);
    bool on_receive_thread() const { return m_receiverId.load() == std::this_thread::get_id(); }
    void wait_for_callback(std::unique_lock<std::mutex>& lock);
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
    {
        std::lock_guard<std::mutex> guard(s_logMutex);
        s_lastError.clear();
    }
    const int rc = start(cfg);
    std::string reason;
    if (rc != LPR_ZMQ_OK) {
        std::lock_guard<std::mutex> guard(s_logMutex);
        reason = s_lastError.empty() ? lpr_zmq_strerror(rc) : s_lastError;
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
    {
        std::lock_guard<std::mutex> guard(s_logMutex);
        s_identity.assign(cfg.identity, strnlen(cfg.identity, sizeof cfg.identity));
    }
    if (cfg.log_level >= LPR_ZMQ_LOG_ERROR && cfg.log_level <= LPR_ZMQ_LOG_TRACE) {
        s_logLevel = cfg.log_level;
    }
    int rc = check_config(cfg);
    if (rc != LPR_ZMQ_OK) {
        return rc;
    }
    const bool pub = publishes(cfg.role);
    const bool sub = subscribes(cfg.role);
    const std::string pubEndpoint = pub ? relocate(cfg.pub_endpoint) : std::string();
    const std::string subEndpoint = sub ? relocate(cfg.sub_endpoint) : std::string();

    auto s = std::make_unique<Session>();
    s->ctx.reset(zmq_ctx_new());
    if (!s->ctx) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create a ZeroMQ context: %s", zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    if (zmq_ctx_set(s->ctx.get(), ZMQ_IO_THREADS, cfg.io_threads) != 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot use %d io threads", cfg.io_threads);
        return LPR_ZMQ_EZMQ;
    }
    if (pub && (rc = bind_publisher(*s, cfg, pubEndpoint)) != LPR_ZMQ_OK) {
        return rc;
    }
    if (sub && (rc = connect_subscriber(*s, cfg, subEndpoint)) != LPR_ZMQ_OK) {
        return rc;
    }

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
            pub ? pubEndpoint.c_str() : "(none)", sub ? subEndpoint.c_str() : "(none)");
    return LPR_ZMQ_OK;
}

int Bus::bind_publisher(Session& s, const lpr_zmq_config_t& cfg, const std::string& endpoint) {
    if (is_ipc(endpoint)) {
        const std::string path = endpoint.substr(kIpcSchemeLen);
        if (!folder_exists(path)) {
            bus_log(LPR_ZMQ_LOG_ERROR, "no folder for the socket %s", path.c_str());
            return LPR_ZMQ_EENDPOINT;
        }
        // The lock file tells a live publisher from a stale socket file: ZeroMQ would otherwise
        // unlink the live one's socket and take the endpoint over.
        const std::string lockPath = path + ".lock";
        s.lock = Fd(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
        if (s.lock.get() < 0) {
            bus_log(LPR_ZMQ_LOG_ERROR, "cannot open %s: %s", lockPath.c_str(),
                    std::strerror(errno));
            return LPR_ZMQ_EENDPOINT;
        }
        if (flock(s.lock.get(), LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            bus_log(LPR_ZMQ_LOG_ERROR, "%s: %s", endpoint.c_str(),
                    err == EWOULDBLOCK ? "another process publishes here" : std::strerror(err));
            return err == EWOULDBLOCK ? LPR_ZMQ_EADDRINUSE : LPR_ZMQ_EENDPOINT;
        }
        if (socket_is_live(path)) {
            bus_log(LPR_ZMQ_LOG_ERROR, "%s: a process without the lock file listens here",
                    endpoint.c_str());
            return LPR_ZMQ_EADDRINUSE;
        }
    }
    s.pub.reset(zmq_socket(s.ctx.get(), ZMQ_PUB));
    if (!s.pub) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create the PUB socket: %s", zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    int rc = LPR_ZMQ_OK;
    if ((rc = set_option(s.pub.get(), ZMQ_LINGER, cfg.linger_ms, "linger")) != LPR_ZMQ_OK ||
        (rc = set_option(s.pub.get(), ZMQ_SNDHWM, cfg.send_hwm, "send hwm")) != LPR_ZMQ_OK ||
        (rc = set_option(s.pub.get(), ZMQ_SNDTIMEO, cfg.send_timeout_ms, "send timeout")) !=
            LPR_ZMQ_OK) {
        return rc;
    }
    if (zmq_bind(s.pub.get(), endpoint.c_str()) != 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot bind %s: %s", endpoint.c_str(), zmq_strerror(err));
        return endpoint_error(err);
    }
    return LPR_ZMQ_OK;
}

int Bus::connect_subscriber(Session& s, const lpr_zmq_config_t& cfg, const std::string& endpoint) {
    // Connecting never fails for a missing socket file (the publisher may start later), but a
    // missing folder is a configuration fault worth reporting now.
    if (is_ipc(endpoint) && !folder_exists(endpoint.substr(kIpcSchemeLen))) {
        bus_log(LPR_ZMQ_LOG_ERROR, "no folder for the socket %s",
                endpoint.substr(kIpcSchemeLen).c_str());
        return LPR_ZMQ_EENDPOINT;
    }
    s.wake = Fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (s.wake.get() < 0) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create an eventfd: %s", std::strerror(errno));
        return LPR_ZMQ_ETHREAD;
    }
    s.sub.reset(zmq_socket(s.ctx.get(), ZMQ_SUB));
    if (!s.sub) {
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot create the SUB socket: %s", zmq_strerror(zmq_errno()));
        return LPR_ZMQ_EZMQ;
    }
    int rc = LPR_ZMQ_OK;
    if ((rc = set_option(s.sub.get(), ZMQ_LINGER, cfg.linger_ms, "linger")) != LPR_ZMQ_OK ||
        (rc = set_option(s.sub.get(), ZMQ_RCVHWM, cfg.recv_hwm, "receive hwm")) != LPR_ZMQ_OK ||
        (rc = set_option(s.sub.get(), ZMQ_RECONNECT_IVL, cfg.reconnect_ivl_ms,
                         "reconnect interval")) != LPR_ZMQ_OK ||
        (rc = set_option(s.sub.get(), ZMQ_RECONNECT_IVL_MAX, cfg.reconnect_ivl_max_ms,
                         "reconnect interval max")) != LPR_ZMQ_OK) {
        return rc;
    }
    if (zmq_connect(s.sub.get(), endpoint.c_str()) != 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_ERROR, "cannot connect %s: %s", endpoint.c_str(), zmq_strerror(err));
        return endpoint_error(err);
    }
    return LPR_ZMQ_OK;
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
    if (m_session->receiver.joinable()) {
        m_stop = true;
        wake(m_session->wake.get());
        m_session->receiver.join();
    }
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

// Every call of a client that is not running gives LPR_ZMQ_ENOTINIT, whatever its arguments; the
// arguments are checked next, the role last.
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
    const auto source = static_cast<uint16_t>(m_source.load());
    const uint64_t sequence = ++m_sequence;  // a refused message leaves a gap, never a repeat
    unsigned char header[kHeaderSize] = {kMagic0, kMagic1, kVersion};
    write_le(header + kHeaderSourceOffset, source, 2);
    write_le(header + kHeaderSessionOffset, m_pubSession, 4);
    write_le(header + kHeaderSequenceOffset, sequence, 8);
    // zmq_send copies each frame. A PUB socket accepts the first frame only when it can take the
    // whole message, so a refusal can only happen there.
    if (zmq_send(m_pubSocket, topic, std::strlen(topic), ZMQ_SNDMORE | m_sendFlags) < 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_WARN, "publish on %s dropped: %s", topic, zmq_strerror(err));
        return err == EAGAIN ? LPR_ZMQ_EAGAIN : LPR_ZMQ_EZMQ;
    }
    if (zmq_send(m_pubSocket, header, sizeof header, ZMQ_SNDMORE | m_sendFlags) < 0 ||
        zmq_send(m_pubSocket, data, len, m_sendFlags) < 0) {
        int err = zmq_errno();
        bus_log(LPR_ZMQ_LOG_ERROR, "publish on %s cut short: %s", topic, zmq_strerror(err));
        return LPR_ZMQ_EZMQ;
    }
    bus_log(LPR_ZMQ_LOG_TRACE, "published %s, %zu bytes, source %u, sequence %llu", topic, len,
            static_cast<unsigned>(source), static_cast<unsigned long long>(sequence));
    PublishRecord& last = t_lastPublish;
    last.generation = m_generation.load();
    last.info.sequence = sequence;
    last.info.session = m_pubSession;
    last.info.source = source;
    set_topic(last.info, topic, std::strlen(topic));
    return LPR_ZMQ_OK;
}

int Bus::last_publish(lpr_zmq_msg_info_t* info) const {
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (info == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    if (t_lastPublish.generation != m_generation.load()) {
        return LPR_ZMQ_ENOMSG;
    }
    *info = t_lastPublish.info;
    return LPR_ZMQ_OK;
}

int Bus::current_message(lpr_zmq_msg_info_t* info) const {
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (info == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    if (t_delivering == nullptr) {
        return LPR_ZMQ_ENOMSG;
    }
    *info = *t_delivering;
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

// Called with m_subMutex held: returns once no callback runs, so that the caller may free what a
// replaced or removed subscription's user data points at. A callback that changes subscriptions
// itself does not wait for its own end.
void Bus::wait_for_callback(std::unique_lock<std::mutex>& lock) {
    if (!on_receive_thread()) {
        m_callbackDone.wait(lock, [this] { return !m_inCallback; });
    }
}

int Bus::subscribe(const char* topic, int target, int ignoreSource, lpr_zmq_msg_callback_t callback,
                   void* userData) {
    std::unique_lock<std::mutex> lock(m_subMutex);
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (topic == nullptr || *topic == '\0' || target != LPR_ZMQ_TARGET_BUS || callback == nullptr ||
        !valid_source(ignoreSource)) {
        return LPR_ZMQ_EINVAL;
    }
    if (!m_subscriber) {
        return LPR_ZMQ_EROLE;
    }
    auto found = m_table.find(topic);
    if (found == m_table.end()) {
        m_table.emplace(topic, Subscription{callback, userData, ignoreSource});
        m_filters.push_back(FilterChange{true, topic});
        wake(m_wakeFd);
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
    if (!m_running) {
        return LPR_ZMQ_ENOTINIT;
    }
    if (topic == nullptr || *topic == '\0' || target != LPR_ZMQ_TARGET_BUS ||
        !valid_source(ignoreSource)) {
        return LPR_ZMQ_EINVAL;
    }
    if (!m_subscriber) {
        return LPR_ZMQ_EROLE;
    }
    auto found = m_table.find(topic);
    if (found == m_table.end()) {
        return LPR_ZMQ_ENOENT;
    }
    m_table.erase(found);
    m_filters.push_back(FilterChange{false, topic});
    wake(m_wakeFd);
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
    std::string header;
    std::string payload;
    size_t frames = 0;
    bool more = true;
    while (more) {
        Message part;
        if (zmq_msg_recv(part.get(), sub, ZMQ_DONTWAIT) < 0) {
            if (frames > 0) {
                bus_log(LPR_ZMQ_LOG_ERROR, "message cut short: %s", zmq_strerror(zmq_errno()));
            }
            return false;
        }
        more = part.more();
        if (frames == 0) {
            topic.assign(part.data(), part.size());
        } else if (frames == 1 && more) {
            header.assign(part.data(), part.size());
        } else if (!more) {
            payload.assign(part.data(), part.size());
        }
        ++frames;
    }
    if (frames < 2) {
        bus_log(LPR_ZMQ_LOG_DEBUG, "message without payload frame on %s dropped", topic.c_str());
        return true;
    }
    // A message without our header (a plain ZeroMQ publisher) has the unknown source 0; one with
    // a version 1 header has no session and sequence (0).
    lpr_zmq_msg_info_t info{};
    set_topic(info, topic.data(), topic.size());
    if (header.size() >= kHeaderV1Size && static_cast<unsigned char>(header[0]) == kMagic0 &&
        static_cast<unsigned char>(header[1]) == kMagic1) {
        uint64_t value = 0;
        read_le(header, kHeaderSourceOffset, 2, &value);
        info.source = static_cast<uint16_t>(value);
        if (static_cast<unsigned char>(header[2]) >= 2 && header.size() >= kHeaderSize) {
            read_le(header, kHeaderSessionOffset, 4, &value);
            info.session = static_cast<uint32_t>(value);
            read_le(header, kHeaderSequenceOffset, 8, &info.sequence);
        }
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

}  // namespace

extern "C" {

int lpr_zmq_get_default_config(lpr_zmq_config_t* cfg, lpr_zmq_role_t role, const char* identity) {
    if (cfg == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    std::memset(cfg, 0, sizeof *cfg);
    cfg->role = role;
    copy_text(cfg->identity, sizeof cfg->identity, identity);
    cfg->send_hwm = 1000;
    cfg->recv_hwm = 1000;
    cfg->send_timeout_ms = 0;
    cfg->recv_timeout_ms = 100;
    cfg->linger_ms = 100;
    cfg->io_threads = 1;
    cfg->reconnect_ivl_ms = 100;
    // ipc endpoints are local: a failed reconnect costs one connect(), so a peer that comes back
    // is reached within 100 ms rather than after a back-off of seconds.
    cfg->reconnect_ivl_max_ms = 0;
    cfg->log_level = LPR_ZMQ_LOG_WARN;
    switch (role) {
        case LPR_ZMQ_ROLE_PUBLISHER:
        case LPR_ZMQ_ROLE_SUBSCRIBER:
        case LPR_ZMQ_ROLE_PUBSUB:
        case LPR_ZMQ_ROLE_REQUESTER:
        case LPR_ZMQ_ROLE_REPLIER:
            return LPR_ZMQ_OK;
    }
    return LPR_ZMQ_EINVAL;
}

int lpr_zmq_init(const lpr_zmq_config_t* cfg) {
    if (cfg == nullptr) {
        return LPR_ZMQ_EINVAL;
    }
    try {
        return bus().init(*cfg);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

const char* lpr_zmq_strerror(int err) {
    switch (err) {
        case LPR_ZMQ_OK:
            return "success";
        case LPR_ZMQ_EINVAL:
            return "invalid argument";
        case LPR_ZMQ_ENOTINIT:
            return "bus client not started";
        case LPR_ZMQ_EALREADY:
            return "bus client already started";
        case LPR_ZMQ_EROLE:
            return "role does not support this";
        case LPR_ZMQ_EENDPOINT:
            return "endpoint not usable";
        case LPR_ZMQ_EADDRINUSE:
            return "another process publishes on the endpoint";
        case LPR_ZMQ_EZMQ:
            return "ZeroMQ refused the operation";
        case LPR_ZMQ_EAGAIN:
            return "message dropped: send queue full";
        case LPR_ZMQ_ENOMEM:
            return "out of memory";
        case LPR_ZMQ_ENOENT:
            return "topic not subscribed";
        case LPR_ZMQ_ETHREAD:
            return "receive thread could not start";
        case LPR_ZMQ_ECALLBACK:
            return "not allowed inside a message callback";
        case LPR_ZMQ_ENOMSG:
            return "no such message";
        default:
            return "unknown bus client error";
    }
}

int lpr_zmq_set_source(int source) {
    return bus().set_source(source);
}

int lpr_zmq_publish_to(const char* topic, int target, const void* data, size_t len) {
    return bus().publish(topic, target, data, len);
}

int lpr_zmq_subscribe(const char* topic, int target, int ignore_source,
                      lpr_zmq_msg_callback_t callback, void* user_data) {
    try {
        return bus().subscribe(topic, target, ignore_source, callback, user_data);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

int lpr_zmq_unsubscribe(const char* topic, int target, int ignore_source) {
    try {
        return bus().unsubscribe(topic, target, ignore_source);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

int lpr_zmq_uninit(void) {
    return bus().uninit();
}

int lpr_zmq_last_publish(lpr_zmq_msg_info_t* info) {
    return bus().last_publish(info);
}

int lpr_zmq_current_message(lpr_zmq_msg_info_t* info) {
    return bus().current_message(info);
}

int lpr_zmq_is_running(void) {
    return bus().running() ? 1 : 0;
}

int lpr_zmq_last_init_error(char* text, size_t size) {
    try {
        return bus().last_init_error(text, size);
    } catch (const std::bad_alloc&) {
        return LPR_ZMQ_ENOMEM;
    }
}

}  // extern "C"
